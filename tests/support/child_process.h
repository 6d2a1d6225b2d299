#ifndef KORVEX_TESTS_SUPPORT_CHILD_PROCESS_H_
#define KORVEX_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace belmor::testing {

// Starts argv[0] (looked up in PATH when it has no slash) with these
// arguments and this process's environment, its input from /dev/null and its
// output and errors into outputPath (truncated). Answers the child's pid, or
// -1 with the posix_spawn error code in *error.
pid_t SpawnWithOutput(const std::vector<std::string>& argv, const std::string& outputPath, int* error = nullptr);

}  // namespace belmor::testing

#endif  // KORVEX_TESTS_SUPPORT_CHILD_PROCESS_H_
