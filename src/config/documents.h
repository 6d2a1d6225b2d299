#ifndef KORVEX_CONFIG_DOCUMENTS_H_
#define KORVEX_CONFIG_DOCUMENTS_H_

#include <libxml/tree.h>
#include <libxml/xmlschemas.h>
#include <libxslt/xsltInternals.h>

#include <map>
#include <memory>
#include <string>

namespace belmor::korvex {

// Sends what libxml2 and libxslt would print to standard error by themselves
// (parse, schema and stylesheet errors that no handler of ours receives) to
// the debug log instead, one DEBUG line each, never a document's text: the
// server has no console, and these messages quote invoice values, so they are
// written only when the practice turned debugging on. libxml2 keeps its
// handlers per thread: this sets them for the calling thread and as the
// default of every thread started later; libxslt's handler is one for the
// process. A handler installed with a context of its own is left alone.
// Cheap enough to be called before every parse (RefDocumentLoader does).
void RouteLibraryErrorsToDebugLog();

struct XmlDocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct XmlSchemaDeleter {
  void operator()(xmlSchema* schema) const { xmlSchemaFree(schema); }
};
struct XslStylesheetDeleter {
  void operator()(xsltStylesheet* sheet) const { xsltFreeStylesheet(sheet); }
};

// A parsed XML document (an invoice, a configuration, a transformation result).
// A text that does not parse gives an XmlDoc without a document; callers that
// need a tree check Good(). Immutable once built; shared read-only.
class XmlDoc {
 public:
  explicit XmlDoc(const std::string& text);
  // Takes ownership of a tree libxml2 or libxslt made.
  explicit XmlDoc(xmlDoc* doc);
  virtual ~XmlDoc();

  bool Good() const { return doc_ != nullptr; }
  xmlDoc* get() const { return doc_.get(); }
  // Serialises the document in the given encoding ("UTF-8", "ISO-8859-1", ...).
  // An empty document gives empty text.
  std::string ToString(const std::string& encoding = "UTF-8") const;

 private:
  std::unique_ptr<xmlDoc, XmlDocDeleter> doc_;
};

// A compiled XML Schema and its source text (kept only when it compiled, so
// that schema references can be served from memory again). Usable when Good().
class XsdDoc {
 public:
  // Raises RuntimeException when no parser context can be made (empty text);
  // a schema that does not compile leaves the object without a schema.
  explicit XsdDoc(const std::string& text);
  virtual ~XsdDoc();

  bool Good() const { return schema_ != nullptr; }
  const std::string& Text() const { return text_; }
  // True when the document is valid. The handler, if any, receives every
  // libxml2 error record of the validation.
  bool Validate(const XmlDoc& document, xmlStructuredErrorFunc handler = nullptr,
                void* context = nullptr) const;

 private:
  std::unique_ptr<xmlSchema, XmlSchemaDeleter> schema_;
  std::string text_;
};

// A compiled XSLT stylesheet. Transformations run under security preferences
// that forbid writing files, creating directories and any network access:
// stylesheets come from outside and must never write on the practice's machine.
class XslDoc {
 public:
  // Raises RuntimeException when the text is not XML or not a stylesheet.
  explicit XslDoc(const std::string& text);
  virtual ~XslDoc();

  bool Good() const { return sheet_ != nullptr; }
  // Parameters are XPath expressions (a string value is quoted in single
  // quotes by the caller). An empty result means the transformation failed or
  // was stopped by a terminating xsl:message.
  std::shared_ptr<XmlDoc> Transform(const XmlDoc& document,
                                    const std::map<std::string, std::string>& parameters) const;

 private:
  std::unique_ptr<xsltStylesheet, XslStylesheetDeleter> sheet_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_CONFIG_DOCUMENTS_H_
