#include "pipeline/simple_invoice.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/string_util.h"
#include "logging/log.h"

namespace belmor::korvex {

namespace {

struct ParserCtxtDeleter {
  void operator()(xmlParserCtxt* ctxt) const {
    // Even without DOM callbacks libxml2 builds a document to hold the
    // entities of an internal subset, and leaves it to the caller.
    if (ctxt->myDoc) xmlFreeDoc(ctxt->myDoc);
    ctxt->myDoc = nullptr;
    xmlFreeParserCtxt(ctxt);
  }
};

// libxml2 takes chunk lengths as int.
constexpr size_t kChunkSize = 1 << 20;

std::string Name(const xmlChar* name) { return name ? reinterpret_cast<const char*>(name) : ""; }

bool IsStringField(const std::string& name) {
  return name == "ID" || name == "Timestamp" || name == "Amount" || name == "DateEnd" || name == "ESR" ||
         name == "EAN" || name == "ZSR";
}

}  // namespace

std::string SimpleInvoice::Dump() const {
  std::string text = "SimpleInvoice:\n";
  text += "\tID       : " + ID_ + "\n";
  text += "\tAmount   : " + Amount_ + "\n";
  text += "\tTimestamp: " + Timestamp_ + "\n";
  text += "\tDate_End : " + DateEnd_ + "\n";
  text += "\tesr      : " + esr_ + "\n";
  text += "\tean      : " + ean_ + "\n";
  text += "\tzsr      : " + zsr_ + "\n";
  text += std::string("\tstorno   : ") + (storno_ ? "true" : "false") + "\n";
  return text;
}

SimpleInvoiceXmlParser::SimpleInvoiceXmlParser() : invoice_(std::make_shared<SimpleInvoice>()) {
  std::memset(&handler_, 0, sizeof handler_);
  handler_.initialized = XML_SAX2_MAGIC;
  handler_.startElementNs = &OnStartElement;
  handler_.endElementNs = &OnEndElement;
  handler_.characters = &OnCharacters;
  handler_.cdataBlock = &OnCharacters;
  // Blank text counts as text: a value of " " must survive as it is.
  handler_.ignorableWhitespace = &OnCharacters;
  handler_.serror = &OnError;
  // No entity, DTD or resolver callbacks: without them libxml2 neither loads
  // external subsets nor expands entities declared in the document.
}

SimpleInvoiceXmlParser::~SimpleInvoiceXmlParser() = default;

std::shared_ptr<SimpleInvoice> SimpleInvoiceXmlParser::Parse(const std::string& text) {
  invoice_ = std::make_shared<SimpleInvoice>();
  buffer_.clear();
  insideKeys_ = false;
  failed_ = false;

  std::unique_ptr<xmlParserCtxt, ParserCtxtDeleter> ctxt(
      xmlCreatePushParserCtxt(&handler_, this, nullptr, 0, nullptr));
  if (!ctxt) return nullptr;
  xmlCtxtUseOptions(ctxt.get(), XML_PARSE_NONET);

  size_t done = 0;
  do {
    const size_t length = std::min(kChunkSize, text.size() - done);
    const bool last = done + length == text.size();
    xmlParseChunk(ctxt.get(), text.data() + done, static_cast<int>(length), last ? 1 : 0);
    done += length;
  } while (done < text.size() && !failed_);

  if (failed_ || !ctxt->wellFormed) return nullptr;
  return invoice_;
}

std::string SimpleInvoiceXmlParser::Dump() const { return invoice_->Dump(); }

bool SimpleInvoiceXmlParser::ParseStorno(const std::string& text) {
  std::string value;
  for (char c : text) {
    if (c != '\n') value += c;
  }
  constexpr const char* kBlanks = " \t\r\v\f";
  const size_t first = value.find_first_not_of(kBlanks);
  if (first == std::string::npos) return false;
  value = value.substr(first, value.find_last_not_of(kBlanks) - first + 1);
  value = common::AsciiLower(std::move(value));
  if (value == "false") return false;
  if (value == "true") return true;
  // strtol rather than atoi: a number too large for a long must read as "not
  // 1", not as whatever atoi's overflow gives.
  errno = 0;
  const long number = std::strtol(value.c_str(), nullptr, 10);
  return errno == 0 && number == 1;
}

void SimpleInvoiceXmlParser::OnStartElement(void* ctx, const xmlChar* localname, const xmlChar*, const xmlChar*,
                                            int, const xmlChar**, int, int, const xmlChar**) {
  auto* self = static_cast<SimpleInvoiceXmlParser*>(ctx);
  const std::string name = Name(localname);
  if (name == "keys") {
    self->insideKeys_ = true;
  } else if (IsStringField(name) || name == "isAnnulment") {
    self->buffer_.clear();
  }
}

void SimpleInvoiceXmlParser::OnEndElement(void* ctx, const xmlChar* localname, const xmlChar*, const xmlChar*) {
  auto* self = static_cast<SimpleInvoiceXmlParser*>(ctx);
  const std::string name = Name(localname);
  SimpleInvoice& invoice = *self->invoice_;
  if (name == "keys") {
    self->insideKeys_ = false;
  } else if (name == "ID") {
    invoice.SetID(self->buffer_);
  } else if (name == "Timestamp") {
    invoice.SetTimestamp(self->buffer_);
  } else if (name == "Amount") {
    invoice.SetAmount(self->buffer_);
  } else if (name == "DateEnd") {
    invoice.SetDateEnd(self->buffer_);
  } else if (name == "ESR") {
    invoice.SetEsr(self->buffer_);
  } else if (name == "EAN") {
    invoice.SetEan(self->buffer_);
  } else if (name == "ZSR") {
    invoice.SetZsr(self->buffer_);
  } else if (name == "isAnnulment") {
    invoice.SetStorno(ParseStorno(self->buffer_));
  }
  self->buffer_.clear();
}

void SimpleInvoiceXmlParser::OnCharacters(void* ctx, const xmlChar* text, int length) {
  auto* self = static_cast<SimpleInvoiceXmlParser*>(ctx);
  if (self->insideKeys_ && length > 0) self->buffer_.append(reinterpret_cast<const char*>(text), length);
}

void SimpleInvoiceXmlParser::OnError(void* ctx, xmlErrorPtr error) {
  if (!error) return;
  auto* self = static_cast<SimpleInvoiceXmlParser*>(ctx);
  // The server has no console; the debug log is where such details are read.
  const std::string message = error->message ? error->message : "";
  if (error->level == XML_ERR_WARNING) {
    KX_LOG(WARN) << "[SimpleInvoiceXmlParser][warning][line " << error->line << "][" << message << "]";
    return;
  }
  KX_LOG(ERROR) << "[SimpleInvoiceXmlParser][error][line " << error->line << "][" << message << "]";
  self->failed_ = true;
}

}  // namespace belmor::korvex
