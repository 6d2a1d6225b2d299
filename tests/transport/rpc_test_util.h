#ifndef KORVEX_TESTS_TRANSPORT_RPC_TEST_UTIL_H_
#define KORVEX_TESTS_TRANSPORT_RPC_TEST_UTIL_H_

#include <cstdlib>
#include <ctime>
#include <ostream>
#include <optional>
#include <sstream>
#include <string>

#include "transport/json.h"
#include "transport/rpc_value.h"

namespace belmor::korvex {

// Lets failed expectations show values as kind and JSON text.
inline void PrintTo(const RpcValue& value, std::ostream* out) {
  *out << "RpcValue(kind " << static_cast<int>(value.kind()) << ": ";
  WriteJson(value, *out);
  *out << ")";
}

namespace testing {

// Central European time with its daylight-saving rule, given inline so no
// time-zone database is needed; restores the previous TZ at the end.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone = "CET-1CEST,M3.5.0,M10.5.0/3") {
    if (const char* old = std::getenv("TZ")) old_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (old_) {
      ::setenv("TZ", old_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> old_;
};

}  // namespace testing
}  // namespace belmor::korvex

#endif  // KORVEX_TESTS_TRANSPORT_RPC_TEST_UTIL_H_
