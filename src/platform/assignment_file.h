#ifndef KORVEX_PLATFORM_ASSIGNMENT_FILE_H_
#define KORVEX_PLATFORM_ASSIGNMENT_FILE_H_

#include <optional>
#include <string>
#include <string_view>

namespace belmor::platform {

// Reads files made of shell variable assignments, one per line, such as
// os-release and user-dirs.dirs. Values may be unquoted, 'single' or "double"
// quoted with backslash escapes; lines starting with '#' are comments; text
// after the value is ignored. No expansion happens here. A line whose quote
// never closes is skipped. As in the shell, the last assignment of a name wins.

// The value of name in text; nullopt when no line assigns it.
std::optional<std::string> FindAssignment(std::string_view text, std::string_view name);

// The same over the contents of a file; nullopt also when it cannot be read.
std::optional<std::string> ReadAssignment(const std::string& file, std::string_view name);

}  // namespace belmor::platform

#endif  // KORVEX_PLATFORM_ASSIGNMENT_FILE_H_
