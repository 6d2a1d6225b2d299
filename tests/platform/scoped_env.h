#ifndef KORVEX_TESTS_PLATFORM_SCOPED_ENV_H_
#define KORVEX_TESTS_PLATFORM_SCOPED_ENV_H_

#include <cstdlib>
#include <optional>
#include <string>

namespace belmor::testing {

// Sets (or, given nullopt, unsets) one environment variable for a scope and
// puts back whatever it was before, so tests leave the hermetic setup intact.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    Set(value);
  }
  ~ScopedEnv() { Set(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Set(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }

  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace belmor::testing

#endif  // KORVEX_TESTS_PLATFORM_SCOPED_ENV_H_
