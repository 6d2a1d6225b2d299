#include "config/documents.h"

#include <libexslt/exslt.h>
#include <libxml/parser.h>
#include <libxml/xmlsave.h>
#include <libxslt/security.h>
#include <libxslt/transform.h>
#include <libxslt/xslt.h>
#include <libxslt/xsltutils.h>

#include <mutex>
#include <vector>

#include "common/exception.h"
#include "config/config_loader.h"

namespace belmor::korvex {

using common::RuntimeException;

namespace {

struct SchemaParserCtxtDeleter {
  void operator()(xmlSchemaParserCtxt* c) const { xmlSchemaFreeParserCtxt(c); }
};
struct SchemaValidCtxtDeleter {
  void operator()(xmlSchemaValidCtxt* c) const { xmlSchemaFreeValidCtxt(c); }
};
struct TransformCtxtDeleter {
  void operator()(xsltTransformContext* c) const { xsltFreeTransformContext(c); }
};
struct SecurityPrefsDeleter {
  void operator()(xsltSecurityPrefs* p) const { xsltFreeSecurityPrefs(p); }
};

// Invoices never need the network; a DOCTYPE pointing at a URL must not make
// the parser fetch it.
constexpr int kDocumentParseOptions = XML_PARSE_NONET;

// The prefs shared by every transformation: the trust center's stylesheets may
// read from the package, but never write, create directories or reach the network.
xsltSecurityPrefs* TransformSecurityPrefs() {
  static std::unique_ptr<xsltSecurityPrefs, SecurityPrefsDeleter> prefs = [] {
    std::unique_ptr<xsltSecurityPrefs, SecurityPrefsDeleter> p(xsltNewSecurityPrefs());
    if (p) {
      xsltSetSecurityPrefs(p.get(), XSLT_SECPREF_WRITE_FILE, xsltSecurityForbid);
      xsltSetSecurityPrefs(p.get(), XSLT_SECPREF_CREATE_DIRECTORY, xsltSecurityForbid);
      xsltSetSecurityPrefs(p.get(), XSLT_SECPREF_WRITE_NETWORK, xsltSecurityForbid);
      xsltSetSecurityPrefs(p.get(), XSLT_SECPREF_READ_NETWORK, xsltSecurityForbid);
    }
    return p;
  }();
  return prefs.get();
}

}  // namespace

// --- XmlDoc -----------------------------------------------------------------

namespace {

// The document is parsed once libxml2 can no longer reach files or URLs.
xmlDoc* ParseDocument(const std::string& text) {
  RefDocumentLoader::EnsureRegistered();
  return xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, kDocumentParseOptions);
}

}  // namespace

XmlDoc::XmlDoc(const std::string& text) : doc_(ParseDocument(text)) {}

XmlDoc::XmlDoc(xmlDoc* doc) : doc_(doc) {}

XmlDoc::~XmlDoc() = default;

std::string XmlDoc::ToString(const std::string& encoding) const {
  if (!doc_) return std::string();
  xmlChar* buffer = nullptr;
  int size = 0;
  xmlDocDumpMemoryEnc(doc_.get(), &buffer, &size, encoding.c_str());
  std::string text;
  if (buffer != nullptr) {
    text.assign(reinterpret_cast<const char*>(buffer), static_cast<size_t>(size));
    xmlFree(buffer);
  }
  return text;
}

// --- XsdDoc -----------------------------------------------------------------

XsdDoc::XsdDoc(const std::string& text) {
  // A schema's imports and includes must come from our loaders, never from
  // the network or the file system.
  RefDocumentLoader::EnsureRegistered();
  std::unique_ptr<xmlSchemaParserCtxt, SchemaParserCtxtDeleter> ctxt(
      xmlSchemaNewMemParserCtxt(text.data(), static_cast<int>(text.size())));
  if (!ctxt) throw RuntimeException("XsdDoc::LoadFromMemory: unable to create schema parser context");
  schema_.reset(xmlSchemaParse(ctxt.get()));
  if (schema_) text_ = text;
}

XsdDoc::~XsdDoc() = default;

bool XsdDoc::Validate(const XmlDoc& document, xmlStructuredErrorFunc handler, void* context) const {
  if (!schema_) throw RuntimeException("XsdDoc::Validate: no schem available");
  std::unique_ptr<xmlSchemaValidCtxt, SchemaValidCtxtDeleter> ctxt(xmlSchemaNewValidCtxt(schema_.get()));
  if (!ctxt) throw RuntimeException("XsdDoc::Validate: unable to create validation context");
  if (!document.Good()) throw RuntimeException("XsdDoc::Validate: doc is not a valid xml document");
  xmlSchemaSetValidStructuredErrors(ctxt.get(), handler, context);
  return xmlSchemaValidateDoc(ctxt.get(), document.get()) == 0;
}

// --- XslDoc -----------------------------------------------------------------

XslDoc::XslDoc(const std::string& text) {
  // Trust-center stylesheets may use the EXSLT functions (dates, strings, sets).
  static std::once_flag exslt;
  std::call_once(exslt, [] { exsltRegisterAll(); });
  RefDocumentLoader::EnsureRegistered();
  std::unique_ptr<xmlDoc, XmlDocDeleter> doc(xmlReadMemory(
      text.data(), static_cast<int>(text.size()), nullptr, nullptr, XSLT_PARSE_OPTIONS | XML_PARSE_NONET));
  if (!doc) throw RuntimeException("XslDoc::LoadFromMemeory: unable to parse xsl from memory");
  sheet_.reset(xsltParseStylesheetDoc(doc.get()));
  if (!sheet_) {
    // On failure libxslt leaves the document with its caller.
    throw RuntimeException("XslDoc::LoadFromDoc: unable to parse xsl from doc");
  }
  doc.release();  // the stylesheet owns it now
}

XslDoc::~XslDoc() = default;

std::shared_ptr<XmlDoc> XslDoc::Transform(const XmlDoc& document,
                                          const std::map<std::string, std::string>& parameters) const {
  if (!sheet_) throw RuntimeException("XslDoc::Transform: unable to transform because xsl is not valid");
  if (!document.Good()) throw RuntimeException("XslDoc::Transform: unable to transform because doc is not valid");

  std::vector<const char*> params;
  params.reserve(parameters.size() * 2 + 2);
  for (const auto& [name, value] : parameters) {
    params.push_back(name.c_str());
    params.push_back(value.c_str());
  }
  params.push_back(nullptr);
  params.push_back(nullptr);

  std::unique_ptr<xsltTransformContext, TransformCtxtDeleter> ctxt(
      xsltNewTransformContext(sheet_.get(), document.get()));
  if (!ctxt) return nullptr;
  if (xsltSetCtxtSecurityPrefs(TransformSecurityPrefs(), ctxt.get()) != 0) return nullptr;
  std::unique_ptr<xmlDoc, XmlDocDeleter> result(
      xsltApplyStylesheetUser(sheet_.get(), document.get(), params.data(), nullptr, nullptr, ctxt.get()));
  if (ctxt->state == XSLT_STATE_ERROR || ctxt->state == XSLT_STATE_STOPPED || !result) return nullptr;
  return std::make_shared<XmlDoc>(result.release());
}

}  // namespace belmor::korvex
