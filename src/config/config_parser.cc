// Config::Parse: reads "korvex.xml" with libxml2's SAX2 interface into the
// model. The file comes from the network, so the parser never loads anything
// outside the text (no external DTD, no external entity, no network) and never
// expands entities declared in the document: a reference to one is an
// undefined entity to the parser, which in a document without an external
// subset ends the parse like any other fault. The format has no use for a DTD.
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <charconv>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "config/config_loader.h"
#include "logging/log.h"

namespace belmor::korvex {

namespace {

// Where the parser stands. Every element gets one entry on the stack, so an
// end tag always pops what its start tag pushed. Elements that are not
// accepted where they stand push Ignored, and nothing is accepted inside
// Ignored or inside the leaf states, which is what makes a misplaced element
// disappear together with everything in it.
enum class State {
  None,  // outside the root
  Config,
  Rules,
  Rule,
  Select,
  Regex,
  Validators,
  Validator,
  Transformers,
  Transformer,
  DuplicateCheck,
  DuplicateTransformer,
  Centers,
  Center,
  Ignored,
};

// The state an element named `name` opens inside `parent`.
State Child(State parent, std::string_view name) {
  switch (parent) {
    case State::None:
      if (name == "config") return State::Config;
      break;
    case State::Config:
      if (name == "rules") return State::Rules;
      if (name == "centers") return State::Centers;
      // A center counts directly under the root as well as inside centers.
      if (name == "center") return State::Center;
      break;
    case State::Rules:
      if (name == "rule") return State::Rule;
      break;
    case State::Rule:
      if (name == "select") return State::Select;
      if (name == "validators") return State::Validators;
      if (name == "transformers") return State::Transformers;
      if (name == "duplicate_check") return State::DuplicateCheck;
      break;
    case State::Select:
      if (name == "regex") return State::Regex;
      break;
    case State::Validators:
      if (name == "validator") return State::Validator;
      break;
    case State::Transformers:
      if (name == "transformer") return State::Transformer;
      break;
    case State::DuplicateCheck:
      if (name == "transformer") return State::DuplicateTransformer;
      break;
    case State::Centers:
      if (name == "center") return State::Center;
      break;
    default:
      break;
  }
  return State::Ignored;
}

std::string_view View(const xmlChar* text) {
  return text == nullptr ? std::string_view() : std::string_view(reinterpret_cast<const char*>(text));
}

// The attribute array of startElementNs: five pointers per attribute (local
// name, prefix, URI, value start, value end); values are not NUL-terminated.
class Attributes {
 public:
  Attributes(int count, const xmlChar** values) : count_(count), values_(values) {}

  int size() const { return count_; }
  std::string_view Name(int i) const { return View(values_[5 * i]); }
  std::string Value(int i) const {
    const auto* begin = reinterpret_cast<const char*>(values_[5 * i + 3]);
    const auto* end = reinterpret_cast<const char*>(values_[5 * i + 4]);
    return std::string(begin, end);
  }
  // The value of the first attribute with this local name; empty when there is none.
  std::string Get(std::string_view name) const {
    for (int i = 0; i < count_; ++i) {
      if (Name(i) == name) return Value(i);
    }
    return std::string();
  }

 private:
  int count_;
  const xmlChar** values_;
};

std::string_view Trim(std::string_view text) {
  constexpr std::string_view kBlank = " \t\r\n";
  size_t first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return std::string_view();
  size_t last = text.find_last_not_of(kBlank);
  return text.substr(first, last - first + 1);
}

// The whole value, blanks around it aside, must be a decimal 32-bit integer
// with an optional sign; anything else ("12abc", "", "1e3", out of range) is 0.
// A prefix is not taken for a number: a damaged id must not select a center.
int32_t ParseCenterId(std::string_view text) {
  text = Trim(text);
  if (text.size() > 1 && text[0] == '+' && text[1] != '-') text.remove_prefix(1);
  int32_t id = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (ec != std::errc() || end != text.data() + text.size()) return 0;
  return id;
}

// "a, b ,,c," -> a, b, "", c: items keep their places, a trailing comma (or
// nothing but blanks after the last one) adds no item.
std::vector<std::string> SplitRecipients(std::string_view text) {
  std::vector<std::string> items;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    items.emplace_back(Trim(text.substr(start, comma == std::string_view::npos ? comma : comma - start)));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (items.back().empty()) items.pop_back();
  return items;
}

std::shared_ptr<TrustCenter> MakeCenter(const Attributes& attributes) {
  auto center = std::make_shared<TrustCenter>();
  for (int i = 0; i < attributes.size(); ++i) {
    std::string_view name = attributes.Name(i);
    std::string* field = nullptr;
    if (name == "TCid") {
      center->id = ParseCenterId(attributes.Value(i));
    } else if (name == "label") {
      field = &center->label;
    } else if (name == "labelNEW") {
      field = &center->labelNEW;
    } else if (name == "esr") {
      field = &center->esr;
    } else if (name == "ean") {
      field = &center->ean;
    } else if (name == "rcpt") {
      field = &center->rcpt;
    } else if (name == "url") {
      field = &center->url;
    } else if (name == "tel") {
      field = &center->tel;
    } else if (name == "iglog") {
      field = &center->iglog;
    }
    if (field != nullptr) *field = attributes.Value(i);
  }
  center->recipients = SplitRecipients(center->rcpt);
  return center;
}

// Receives the SAX events of one parse and builds the model from them.
class ConfigBuilder {
 public:
  explicit ConfigBuilder(Config& config) : config_(config) {}

  void Start(std::string_view name, const Attributes& attributes) {
    State parent = stack_.empty() ? State::None : stack_.back();
    State state = Child(parent, name);
    stack_.push_back(state);
    switch (state) {
      case State::Config:
        SetConfigAttributes(attributes);
        break;
      case State::Rule:
        rule_ = std::make_shared<Rule>();
        rule_->SetVersion(attributes.Get("version"));
        break;
      case State::Regex:
        regex_ = std::make_shared<RuleRegex>(attributes.Get("expression"));
        break;
      case State::Validator:
        rule_->AddValidator(std::make_shared<Validator>(attributes.Get("name")));
        break;
      case State::Transformer:
        rule_->AddTransformer(std::make_shared<Transformer>(attributes.Get("name")));
        break;
      case State::DuplicateTransformer:
        rule_->SetDuplicateCheck(std::make_shared<Transformer>(attributes.Get("name")));
        break;
      case State::Center:
        config_.AddCenter(MakeCenter(attributes));
        break;
      default:
        break;
    }
  }

  void End() {
    if (stack_.empty()) return;
    State state = stack_.back();
    stack_.pop_back();
    if (state == State::Regex) {
      rule_->SetSelection(std::move(regex_));
    } else if (state == State::Rule) {
      config_.AddRule(std::move(rule_));
    }
  }

 private:
  void SetConfigAttributes(const Attributes& attributes) {
    for (int i = 0; i < attributes.size(); ++i) {
      std::string_view name = attributes.Name(i);
      if (name == "url_cert") {
        config_.SetUrlCert(attributes.Value(i));
      } else if (name == "url_down") {
        config_.SetUrlDown(attributes.Value(i));
      } else if (name == "timestamp") {
        config_.SetTimestamp(attributes.Value(i));
      } else if (name == "package_name") {
        config_.SetPackageName(attributes.Value(i));
      } else if (name == "version") {
        config_.SetVersion(attributes.Value(i));
      } else if (name == "system") {
        config_.SetSystem(attributes.Value(i));
      }
    }
  }

  Config& config_;
  std::vector<State> stack_;
  // Set between the start and end tags of rule and regex; the states on the
  // stack guarantee they exist whenever an element inside them is accepted.
  std::shared_ptr<Rule> rule_;
  std::shared_ptr<RuleRegex> regex_;
};

// What the C callbacks see as their user data.
struct ParseContext {
  explicit ParseContext(Config& config) : builder(config) {}

  ConfigBuilder builder;
  xmlParserCtxt* parser = nullptr;
  // An exception must not unwind through libxml2's C frames; it is kept here,
  // the parse stopped, and rethrown once the parser is gone.
  std::exception_ptr failure;
};

template <typename F>
void Guarded(void* data, F f) {
  auto* context = static_cast<ParseContext*>(data);
  if (context->failure) return;
  try {
    f(context->builder);
  } catch (...) {
    context->failure = std::current_exception();
    xmlStopParser(context->parser);
  }
}

void OnStartElement(void* data, const xmlChar* localName, const xmlChar*, const xmlChar*, int,
                    const xmlChar**, int attributeCount, int, const xmlChar** attributes) {
  Guarded(data, [&](ConfigBuilder& builder) {
    builder.Start(View(localName), Attributes(attributeCount, attributes));
  });
}

void OnEndElement(void* data, const xmlChar*, const xmlChar*, const xmlChar*) {
  Guarded(data, [](ConfigBuilder& builder) { builder.End(); });
}

void OnError(void*, xmlErrorPtr error) {
  if (error == nullptr) return;
  const char* kind = error->level == XML_ERR_WARNING ? "warning" : "error";
  std::string message = error->message != nullptr ? error->message : "";
  while (!message.empty() && message.back() == '\n') message.pop_back();
  KX_LOG(DEBUG) << "Config::Parse " << kind << " line " << error->line << ": " << message;
}

struct ParserCtxtDeleter {
  void operator()(xmlParserCtxt* ctxt) const {
    // An internal DTD makes libxml2 keep its declarations in a document of its
    // own, even in SAX mode; the context does not free it.
    if (ctxt->myDoc != nullptr) xmlFreeDoc(ctxt->myDoc);
    xmlFreeParserCtxt(ctxt);
  }
};

}  // namespace

void Config::Parse(const std::string& text) {
  RefDocumentLoader::EnsureRegistered();
  // Only the callbacks set here run: without the default SAX2 handlers there
  // is no tree, no external subset and no entity lookup, so references to
  // declared entities stay unexpanded.
  xmlSAXHandler handler{};
  handler.initialized = XML_SAX2_MAGIC;
  handler.startElementNs = OnStartElement;
  handler.endElementNs = OnEndElement;
  handler.serror = OnError;

  ParseContext context(*this);
  std::unique_ptr<xmlParserCtxt, ParserCtxtDeleter> parser(
      xmlCreatePushParserCtxt(&handler, &context, nullptr, 0, nullptr));
  if (!parser) throw std::bad_alloc();
  context.parser = parser.get();
  xmlCtxtUseOptions(parser.get(), XML_PARSE_NONET);

  // Chunks keep the length within libxml2's int; after a fatal error the
  // parser has halted and ignores the rest.
  constexpr size_t kChunk = 1 << 20;
  size_t offset = 0;
  do {
    size_t size = std::min(kChunk, text.size() - offset);
    bool last = offset + size == text.size();
    xmlParseChunk(parser.get(), text.data() + offset, static_cast<int>(size), last ? 1 : 0);
    offset += size;
  } while (offset < text.size());

  parser.reset();
  if (context.failure) std::rethrow_exception(context.failure);
}

}  // namespace belmor::korvex
