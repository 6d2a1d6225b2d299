#include "platform/system_error.h"

#include <cerrno>
#include <cstring>

namespace belmor::platform {

namespace {

// strerror_r comes in two shapes: the GNU one answers the text (which may not
// be in the buffer), the POSIX one fills the buffer and answers a status.
// Overloading on the answer keeps the code right for both.
[[maybe_unused]] std::string TextOf(char* gnu_result, const char*) { return gnu_result; }
[[maybe_unused]] std::string TextOf(int posix_result, const char* buffer) {
  return posix_result == 0 ? std::string(buffer) : std::string();
}

}  // namespace

int LastSystemError() { return errno; }

std::string SystemErrorText(int error) {
  char buffer[256] = {};
  std::string text = TextOf(::strerror_r(error, buffer, sizeof buffer), buffer);
  return text.empty() ? "Unknown error " + std::to_string(error) : text;
}

}  // namespace belmor::platform
