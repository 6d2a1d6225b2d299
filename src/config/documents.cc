#include "config/documents.h"

#include <libexslt/exslt.h>
#include <libxml/parser.h>
#include <libxml/xmlsave.h>
#include <libxslt/security.h>
#include <libxslt/transform.h>
#include <libxslt/xslt.h>
#include <libxslt/xsltutils.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

#include "common/encoding.h"
#include "common/exception.h"
#include "config/config_loader.h"
#include "logging/log.h"

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

// --- Library error messages -------------------------------------------------

// A validation message quotes the value it refused, which can be a whole
// encrypted block; a line keeps its start.
constexpr size_t kMaxErrorText = 512;

// The message as one line of at most kMaxErrorText bytes, cut at a character.
std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  if (text.size() > kMaxErrorText) text = common::ClipUtf8(std::move(text), kMaxErrorText) + "...";
  return text;
}

// One record of libxml2; its own text only, never the document line that
// libxml2's default handler would print beside it.
void LogStructuredError(void*, xmlErrorPtr error) {
  if (error == nullptr) return;
  const char* kind = error->level == XML_ERR_WARNING ? "warning" : error->level == XML_ERR_FATAL ? "fatal" : "error";
  KX_LOG(DEBUG) << "[libxml2][" << kind << "][domain " << error->domain << "][code " << error->code << "][line "
                << error->line << "][" << OneLine(error->message != nullptr ? error->message : "") << "]";
}

// The generic handlers get a message in pieces (libxslt names the stylesheet
// element in one call and gives the message in the next); a line is written
// once it is complete. Per thread, as the calls that make it are.
thread_local std::string pendingXml;
thread_local std::string pendingXslt;

void CollectGenericError(std::string& pending, const char* library, const char* format, va_list args) {
  char buffer[1024];
  const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  if (length <= 0) return;
  pending.append(buffer, std::min(static_cast<size_t>(length), sizeof buffer - 1));
  for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
    const std::string line = pending.substr(0, end);
    pending.erase(0, end + 1);
    if (!line.empty()) KX_LOG(DEBUG) << "[" << library << "][" << OneLine(line) << "]";
  }
  if (pending.size() > kMaxErrorText) {
    KX_LOG(DEBUG) << "[" << library << "][" << OneLine(pending) << "]";
    pending.clear();
  }
}

void LogXmlGenericError(void*, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CollectGenericError(pendingXml, "libxml2", format, args);
  va_end(args);
}

void LogXsltGenericError(void*, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CollectGenericError(pendingXslt, "libxslt", format, args);
  va_end(args);
}

}  // namespace

void RouteLibraryErrorsToDebugLog() {
  static std::once_flag defaults;
  std::call_once(defaults, [] {
    // The defaults are copied into a thread's state when it first uses
    // libxml2, so they reach threads that never come through here.
    xmlThrDefSetGenericErrorFunc(nullptr, LogXmlGenericError);
    xmlThrDefSetStructuredErrorFunc(nullptr, LogStructuredError);
    if (xsltGenericErrorContext == nullptr) xsltSetGenericErrorFunc(nullptr, LogXsltGenericError);
  });
  // This thread may have met libxml2 before the defaults changed. A handler
  // someone set with a context stays; the library's own has none.
  if (xmlGenericErrorContext == nullptr && xmlGenericError != LogXmlGenericError) {
    xmlSetGenericErrorFunc(nullptr, LogXmlGenericError);
  }
  if (xmlStructuredError == nullptr) xmlSetStructuredErrorFunc(nullptr, LogStructuredError);
}

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
  // The worker thread that validates may not be the one that compiled.
  RefDocumentLoader::EnsureRegistered();
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
  RefDocumentLoader::EnsureRegistered();

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
