#ifndef KORVEX_COMMON_STRING_UTIL_H_
#define KORVEX_COMMON_STRING_UTIL_H_

#include <string>
#include <vector>

namespace belmor::common {

// The pieces of text between separators, in order. An empty piece between two
// separators is kept, so fields keep their positions; an empty last piece is
// not, so a trailing separator adds nothing. An empty text has no pieces.
std::vector<std::string> Split(const std::string& text, char separator);

}  // namespace belmor::common

#endif  // KORVEX_COMMON_STRING_UTIL_H_
