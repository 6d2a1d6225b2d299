#ifndef KORVEX_PLATFORM_SYSTEM_ERROR_H_
#define KORVEX_PLATFORM_SYSTEM_ERROR_H_

#include <string>

namespace belmor::platform {

// The system's error codes and their texts, the counterpart of Windows'
// GetLastError. Codes are errno values.

// errno as the last failed system call left it on this thread.
int LastSystemError();

// The system's text for an error code, e.g. "No such file or directory".
// Safe to call from several threads at once.
std::string SystemErrorText(int error);

}  // namespace belmor::platform

#endif  // KORVEX_PLATFORM_SYSTEM_ERROR_H_
