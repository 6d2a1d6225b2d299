#ifndef KORVEX_PIPELINE_SIMPLE_INVOICE_H_
#define KORVEX_PIPELINE_SIMPLE_INVOICE_H_

#include <libxml/parser.h>

#include <memory>
#include <string>

namespace belmor::korvex {

// The few values that identify an invoice whatever its format: what the
// duplicate check compares and the date gate reads. Built from the "keys"
// document that a rule's duplicate-check stylesheet makes of an invoice, and
// the payload of the duplicate log's entries. Strings are kept exactly as
// found, blanks included.
class SimpleInvoice {
 public:
  SimpleInvoice() = default;
  virtual ~SimpleInvoice() = default;

  const std::string& GetID() const { return ID_; }
  void SetID(const std::string& v) { ID_ = v; }
  const std::string& GetAmount() const { return Amount_; }
  void SetAmount(const std::string& v) { Amount_ = v; }
  const std::string& GetTimestamp() const { return Timestamp_; }
  void SetTimestamp(const std::string& v) { Timestamp_ = v; }
  const std::string& GetDateEnd() const { return DateEnd_; }
  void SetDateEnd(const std::string& v) { DateEnd_ = v; }
  const std::string& GetEsr() const { return esr_; }
  void SetEsr(const std::string& v) { esr_ = v; }
  const std::string& GetEan() const { return ean_; }
  void SetEan(const std::string& v) { ean_ = v; }
  const std::string& GetZsr() const { return zsr_; }
  void SetZsr(const std::string& v) { zsr_ = v; }
  bool GetStorno() const { return storno_; }
  void SetStorno(bool v) { storno_ = v; }

  // One labelled line per field, for the debug log.
  std::string Dump() const;

 private:
  std::string ID_;
  std::string Amount_;
  std::string Timestamp_;
  std::string DateEnd_;
  std::string esr_;
  std::string ean_;
  std::string zsr_;
  bool storno_ = false;
};

// Reads a "keys" document into a SimpleInvoice with the SAX2 parser of
// libxml2. The document comes out of a stylesheet of the trust center, so it
// is parsed without network access and without expanding entities. One
// object parses one document at a time; it may be used again.
class SimpleInvoiceXmlParser {
 public:
  SimpleInvoiceXmlParser();
  virtual ~SimpleInvoiceXmlParser();
  SimpleInvoiceXmlParser(const SimpleInvoiceXmlParser&) = delete;
  SimpleInvoiceXmlParser& operator=(const SimpleInvoiceXmlParser&) = delete;

  // The summary of the document; empty when libxml2 reports an error (a
  // document that is not well-formed gives no summary, never a partial one).
  // Each call fills a new SimpleInvoice.
  std::shared_ptr<SimpleInvoice> Parse(const std::string& text);

  // The Dump() of the invoice being filled.
  std::string Dump() const;

  // Turns the text of an "isAnnulment" element into the storno flag: line
  // feeds removed, trimmed, lower case; "true" and "false" as written,
  // anything else true exactly when it starts with the number 1 ("1", "01").
  static bool ParseStorno(const std::string& text);

 private:
  static void OnStartElement(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* uri,
                             int nbNamespaces, const xmlChar** namespaces, int nbAttributes, int nbDefaulted,
                             const xmlChar** attributes);
  static void OnEndElement(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* uri);
  static void OnCharacters(void* ctx, const xmlChar* text, int length);
  static void OnError(void* ctx, xmlErrorPtr error);

  xmlSAXHandler handler_;
  std::string buffer_;
  bool insideKeys_ = false;
  bool failed_ = false;
  std::shared_ptr<SimpleInvoice> invoice_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_SIMPLE_INVOICE_H_
