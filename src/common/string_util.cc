#include "common/string_util.h"

namespace belmor::common {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t pos = text.find(separator); pos != std::string::npos; pos = text.find(separator, start)) {
    pieces.push_back(text.substr(start, pos - start));
    start = pos + 1;
  }
  if (start < text.size()) pieces.push_back(text.substr(start));
  return pieces;
}

std::string AsciiLower(std::string text) {
  for (char& c : text) c = AsciiLower(c);
  return text;
}

std::string AsciiUpper(std::string text) {
  for (char& c : text) c = AsciiUpper(c);
  return text;
}

bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (AsciiLower(text[i]) != AsciiLower(prefix[i])) return false;
  }
  return true;
}

}  // namespace belmor::common
