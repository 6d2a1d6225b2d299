#ifndef KORVEX_COMMON_STRING_UTIL_H_
#define KORVEX_COMMON_STRING_UTIL_H_

#include <string>
#include <string_view>
#include <vector>

namespace belmor::common {

// The pieces of text between separators, in order. An empty piece between two
// separators is kept, so fields keep their positions; an empty last piece is
// not, so a trailing separator adds nothing. An empty text has no pieces.
std::vector<std::string> Split(const std::string& text, char separator);

// Case changes of the ASCII letters only, whatever the locale: the texts they
// serve (extensions, header names, protocol words, encodings) are ASCII, and a
// Latin-1 or UTF-8 byte must pass unchanged.
inline char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
inline char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
std::string AsciiLower(std::string text);
std::string AsciiUpper(std::string text);
// Whether text begins with prefix, ASCII letters compared without case.
bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix);

}  // namespace belmor::common

#endif  // KORVEX_COMMON_STRING_UTIL_H_
