#ifndef KORVEX_TESTS_SUPPORT_FILE_MODE_H_
#define KORVEX_TESTS_SUPPORT_FILE_MODE_H_

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace belmor::testing {

// Sets the process umask for one scope.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(previous_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t previous_;
};

// The permission bits of path (a failed stat fails the test).
inline mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

}  // namespace belmor::testing

#endif  // KORVEX_TESTS_SUPPORT_FILE_MODE_H_
