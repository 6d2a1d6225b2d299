#ifndef KORVEX_TESTS_CONFIG_MATCHER_REFERENCE_H_
#define KORVEX_TESTS_CONFIG_MATCHER_REFERENCE_H_

#include <string>

namespace belmor::korvex {

// What the regular-expression matcher itself answers for an expression,
// compiled as rules compile theirs (extended, case-insensitive): the reference
// for RuleRegex. Apart from the tests because the matcher's header cannot
// share a file with GoogleTest's use of the system's <regex.h>.
bool MatcherAnswer(const std::string& expression, const std::string& text);

}  // namespace belmor::korvex

#endif  // KORVEX_TESTS_CONFIG_MATCHER_REFERENCE_H_
