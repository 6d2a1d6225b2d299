#include "common/regex.h"

namespace belmor::common {

namespace {

// Skips a bracket expression that opens at pattern[at] and returns the index
// after its closing "]", or pattern.size() when it never closes (TRE reports
// that itself). Inside brackets a backslash is an ordinary character, "]" right
// after "[" or "[^" is a member, and "[:", "[=", "[." open classes that end in
// ":]", "=]", ".]".
size_t SkipBracket(std::string_view pattern, size_t at) {
  size_t i = at + 1;
  if (i < pattern.size() && pattern[i] == '^') ++i;
  if (i < pattern.size() && pattern[i] == ']') ++i;
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c == ']') return i + 1;
    if (c == '[' && i + 1 < pattern.size() && (pattern[i + 1] == ':' || pattern[i + 1] == '=' || pattern[i + 1] == '.')) {
      const char close[] = {pattern[i + 1], ']'};
      const size_t end = pattern.find(std::string_view(close, 2), i + 2);
      if (end == std::string_view::npos) return pattern.size();
      i = end + 2;
      continue;
    }
    ++i;
  }
  return pattern.size();
}

// True when an extended expression closes a group it never opened. POSIX
// leaves such a ")" undefined; TRE takes a lone ")" as a literal but, after an
// escaped backslash ("\\)"), allocates without bound until memory runs out.
// Expressions come from the trust center's configuration, so they are refused
// here as an unbalanced group instead of reaching TRE.
bool ClosesUnopenedGroup(std::string_view pattern) {
  size_t depth = 0;
  for (size_t i = 0; i < pattern.size();) {
    switch (pattern[i]) {
      case '\\':
        i += 2;
        continue;
      case '[':
        i = SkipBracket(pattern, i);
        continue;
      case '(':
        ++depth;
        break;
      case ')':
        if (depth == 0) return true;
        --depth;
        break;
      default:
        break;
    }
    ++i;
  }
  return false;
}

int Compile(regex_t* regex, std::string_view pattern, int flags) {
  if ((flags & REG_EXTENDED) && !(flags & REG_LITERAL) && ClosesUnopenedGroup(pattern)) return REG_EPAREN;
  return tre_regncomp(regex, pattern.data(), pattern.size(), flags);
}

}  // namespace

Regex::Regex(std::string_view pattern, int flags) : status_(Compile(&regex_, pattern, flags)) {}

Regex::~Regex() {
  if (status_ == REG_OK) tre_regfree(&regex_);
}

std::string Regex::ErrorText(int code) const {
  char text[1025] = {};
  tre_regerror(code, &regex_, text, sizeof text);
  return text;
}

int Regex::Search(std::string_view text, regmatch_t* matches, size_t count) const {
  if (status_ != REG_OK) return REG_BADPAT;
  return tre_regnexec(&regex_, text.data(), text.size(), count, matches, 0);
}

std::string Regex::Group(std::string_view text, const regmatch_t& match) {
  if (match.rm_so < 0 || match.rm_eo < match.rm_so) return "";
  return std::string(text.substr(static_cast<size_t>(match.rm_so), static_cast<size_t>(match.rm_eo - match.rm_so)));
}

}  // namespace belmor::common
