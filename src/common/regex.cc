#include "common/regex.h"

namespace belmor::common {

Regex::Regex(std::string_view pattern, int flags)
    : status_(tre_regncomp(&regex_, pattern.data(), pattern.size(), flags)) {}

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
