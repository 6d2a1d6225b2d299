#ifndef KORVEX_COMMON_CRASH_POINT_H_
#define KORVEX_COMMON_CRASH_POINT_H_

#include <string>

namespace belmor::common {

// The one place every durable file operation of the product passes just
// before it happens: the write and flush of a file's bytes, fsync/fdatasync,
// rename and link, unlink, a directory sync. operation names it ("write",
// "fsync", "rename", ...), path (and to, for a rename) the entries touched.
//
// In the shipped program this does nothing. Builds with the test suites
// (KORVEX_CRASH_POINTS) can end the process at any one of these points, so a
// test can show that a crash at each of them loses nothing and does nothing
// twice:
//   KORVEX_CRASH_UNDER=dir    only operations on entries below dir count
//   KORVEX_CRASH_AT=k         the k-th counted operation (from 1) is not done:
//                             the process is killed (SIGKILL) instead
//   KORVEX_CRASH_COUNT=file   at exit the process writes the number of counted
//                             operations to file, then one line per operation
//                             ("k operation path [to]")
// Thread-safe.
void DurableStep(const char* operation, const std::string& path, const std::string& to = std::string());

}  // namespace belmor::common

#endif  // KORVEX_COMMON_CRASH_POINT_H_
