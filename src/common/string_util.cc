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

}  // namespace belmor::common
