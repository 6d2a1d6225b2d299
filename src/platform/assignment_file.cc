#include "platform/assignment_file.h"

#include <fstream>
#include <sstream>

namespace belmor::platform {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Reads one shell word starting at value; nullopt when a quote does not close.
std::optional<std::string> ParseWord(std::string_view value) {
  std::string word;
  size_t i = 0;
  while (i < value.size() && !IsBlank(value[i])) {
    char c = value[i++];
    if (c == '\'') {
      size_t end = value.find('\'', i);
      if (end == std::string_view::npos) return std::nullopt;
      word.append(value.substr(i, end - i));
      i = end + 1;
    } else if (c == '"') {
      for (;;) {
        if (i >= value.size()) return std::nullopt;
        c = value[i++];
        if (c == '"') break;
        // Inside double quotes the shell only lets a backslash escape these.
        if (c == '\\' && i < value.size() && std::string_view("$`\"\\").find(value[i]) != std::string_view::npos) {
          c = value[i++];
        }
        word.push_back(c);
      }
    } else if (c == '\\' && i < value.size()) {
      word.push_back(value[i++]);
    } else {
      word.push_back(c);
    }
  }
  return word;
}

}  // namespace

std::optional<std::string> FindAssignment(std::string_view text, std::string_view name) {
  std::optional<std::string> found;
  while (!text.empty()) {
    size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);

    size_t start = 0;
    while (start < line.size() && IsBlank(line[start])) ++start;
    line.remove_prefix(start);
    if (line.size() <= name.size() || line.substr(0, name.size()) != name || line[name.size()] != '=') {
      continue;
    }
    if (auto value = ParseWord(line.substr(name.size() + 1))) found = std::move(value);
  }
  return found;
}

std::optional<std::string> ReadAssignment(const std::string& file, std::string_view name) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return FindAssignment(text.str(), name);
}

}  // namespace belmor::platform
