#ifndef KORVEX_COMMON_REGEX_H_
#define KORVEX_COMMON_REGEX_H_

#include <tre/tre.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace belmor::common {

// A compiled TRE expression, freed with this object. Searches take the text's
// length, so a text may hold NUL bytes. A compiled expression may be searched
// from several threads at once.
class Regex {
 public:
  // flags: REG_EXTENDED, REG_ICASE ... as for tre_regcomp.
  Regex(std::string_view pattern, int flags);
  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  // REG_OK when the expression compiled, else TRE's code.
  int Status() const { return status_; }
  bool Good() const { return status_ == REG_OK; }
  // TRE's text for a code of this expression (Status() or a search's answer).
  std::string ErrorText(int code) const;
  // REG_OK when text matches, with up to count submatches in matches; TRE's
  // code otherwise, REG_BADPAT for an expression that did not compile.
  int Search(std::string_view text, regmatch_t* matches, size_t count) const;
  // Submatch group of the last successful Search, or "" when it took part in
  // no match.
  static std::string Group(std::string_view text, const regmatch_t& match);

 private:
  regex_t regex_{};
  int status_;
};

}  // namespace belmor::common

#endif  // KORVEX_COMMON_REGEX_H_
