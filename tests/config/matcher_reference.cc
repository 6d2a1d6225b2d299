#include "config/matcher_reference.h"

#include <tre/tre.h>

namespace belmor::korvex {

bool MatcherAnswer(const std::string& expression, const std::string& text) {
  regex_t regex;
  if (tre_regncomp(&regex, expression.data(), expression.size(), REG_EXTENDED | REG_ICASE) != REG_OK) return false;
  const bool found = tre_regnexec(&regex, text.data(), text.size(), 0, nullptr, 0) == REG_OK;
  tre_regfree(&regex);
  return found;
}

}  // namespace belmor::korvex
