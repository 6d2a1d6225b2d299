#include "config/rule.h"

#include <langinfo.h>
#include <wctype.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string_view>

#include "common/exception.h"
#include "common/regex.h"
#include "common/string_util.h"
#include "logging/log.h"

namespace belmor::korvex {

using common::RuntimeException;

namespace {

// The characters with a meaning of their own in an extended expression;
// escaped, each stands for itself.
constexpr std::string_view kSpecial = ".[]()*+?{}|^$\\";

using common::AsciiLower;
using common::AsciiUpper;

// The text an expression stands for when it is nothing but plain characters
// (printable ASCII, the special ones escaped), in lower case; empty when the
// expression needs the matcher. Ignoring case, the matcher accepts for a plain
// character only the upper- and lower-case forms the locale gives it; where
// these are the ASCII pair and ASCII bytes are characters of their own, a text
// that lacks the folded literal cannot match. The search then skips the
// matcher, which for every rule that does not apply would read the whole
// invoice at a small fraction of the speed of a plain search.
std::string PlainLiteral(const std::string& expression) {
  if (MB_CUR_MAX != 1 && std::string_view(::nl_langinfo(CODESET)) != "UTF-8") return std::string();
  std::string literal;
  for (size_t i = 0; i < expression.size(); ++i) {
    char c = expression[i];
    if (c == '\\') {
      if (++i == expression.size() || kSpecial.find(expression[i]) == std::string_view::npos) return std::string();
      c = expression[i];
    } else if (c < 0x20 || c > 0x7e || kSpecial.find(c) != std::string_view::npos) {
      return std::string();
    }
    const wint_t upper = ::towupper(static_cast<wint_t>(c));
    const wint_t lower = ::towlower(static_cast<wint_t>(c));
    const auto ascii = [c](wint_t w) {
      return w == static_cast<wint_t>(AsciiLower(c)) || w == static_cast<wint_t>(AsciiUpper(c));
    };
    if (!ascii(upper) || !ascii(lower)) return std::string();
    literal += AsciiLower(c);
  }
  return literal;
}

// A lower-case literal to look for in any ASCII case, with the skip table of
// Horspool's search over folded bytes, made once per expression: the search
// reads about one byte in every literal length, so an invoice of a megabyte
// that lacks the literal costs a few microseconds per rule and step.
struct FoldedLiteral {
  std::string lower;
  size_t shift[256];

  explicit FoldedLiteral(std::string literal) : lower(std::move(literal)) {
    const size_t length = lower.size();
    std::fill(std::begin(shift), std::end(shift), length);
    for (size_t i = 0; i + 1 < length; ++i) {
      shift[static_cast<unsigned char>(lower[i])] = length - 1 - i;
      shift[static_cast<unsigned char>(AsciiUpper(lower[i]))] = length - 1 - i;
    }
  }

  bool FoundIn(std::string_view text) const {
    const size_t length = lower.size();
    if (length == 0) return true;
    for (size_t at = 0; at + length <= text.size();) {
      const char last = text[at + length - 1];
      if (AsciiLower(last) == lower[length - 1]) {
        size_t i = 0;
        while (i + 1 < length && AsciiLower(text[at + i]) == lower[i]) ++i;
        if (i + 1 == length) return true;
      }
      at += shift[static_cast<unsigned char>(last)];
    }
    return false;
  }
};

}  // namespace

bool Validator::Apply(const XmlDoc& document, xmlStructuredErrorFunc handler, void* context) {
  if (!Document() || !Document()->Good()) throw RuntimeException("[Validator::Apply][no valid schema]");
  return Document()->Validate(document, handler, context);
}

bool Validator::Apply(const XmlDoc& document) { return Apply(document, nullptr, nullptr); }

std::shared_ptr<XmlDoc> Transformer::Apply(const XmlDoc& document) {
  if (!Document() || !Document()->Good()) throw RuntimeException("[Transformer::Apply][no valid stylesheet]");
  return Document()->Transform(document, parameters_);
}

struct RuleRegex::Compiled {
  explicit Compiled(const std::string& expression) : regex(expression, REG_EXTENDED | REG_ICASE) {}
  common::Regex regex;
  // See PlainLiteral; none: every search goes to the matcher.
  std::optional<FoldedLiteral> literal;
};

RuleRegex::RuleRegex(std::string expression) : expression_(std::move(expression)) {}

RuleRegex::~RuleRegex() = default;

bool RuleRegex::IsValid(const std::string& text) const {
  if (expression_.empty()) throw RuntimeException("[RuleRegex::IsValid][empty expression]");
  std::call_once(compileOnce_, [this] {
    auto compiled = std::make_unique<Compiled>(expression_);
    if (compiled->regex.Good()) {
      std::string literal = PlainLiteral(expression_);
      if (!literal.empty()) compiled->literal.emplace(std::move(literal));
    }
    compiled_ = std::move(compiled);
  });
  if (!compiled_->regex.Good()) {
    KX_LOG(DEBUG) << "[RuleRegex::IsValid][regex error: " << compiled_->regex.ErrorText(compiled_->regex.Status())
                  << "]";
    return false;
  }
  if (compiled_->literal && !compiled_->literal->FoundIn(text)) return false;
  regmatch_t matches[10];
  // Invoice texts may hold NUL bytes; the search takes their length.
  return compiled_->regex.Search(text, matches, 10) == REG_OK;
}

bool Rule::Good() const {
  if (validators_.empty()) {
    KX_LOG(DEBUG) << "[Rule::Good][validators empty]";
    return false;
  }
  for (const auto& v : validators_) {
    if (!v || !v->Document() || !v->Document()->Good() || v->Name().empty()) {
      KX_LOG(DEBUG) << "[Rule::Good][validator " << (v ? v->Name() : std::string()) << " failed]";
      return false;
    }
  }
  if (transformers_.empty()) {
    KX_LOG(DEBUG) << "[Rule::Good][transformers empty]";
    return false;
  }
  for (const auto& t : transformers_) {
    if (!t || !t->Document() || !t->Document()->Good() || t->Name().empty()) {
      KX_LOG(DEBUG) << "[Rule::Good][transformer  " << (t ? t->Name() : std::string()) << " failed]";
      return false;
    }
  }
  const auto& d = duplicateCheck_;
  if (!d || !d->Document() || !d->Document()->Good() || d->Name().empty()) {
    KX_LOG(DEBUG) << "[Rule::Good][get_duplicate_check_transformer failed]";
    return false;
  }
  if (version_.empty()) {
    KX_LOG(DEBUG) << "[Rule::Good][version empty]";
    return false;
  }
  return true;
}

}  // namespace belmor::korvex
