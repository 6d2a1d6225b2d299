#ifndef KORVEX_TESTS_SUPPORT_RECORDING_SINK_H_
#define KORVEX_TESTS_SUPPORT_RECORDING_SINK_H_

#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "logging/korvex_logger.h"
#include "logging/report.h"

namespace belmor::testing {

// A report as the monitor receives it.
struct Report {
  int32_t level;
  int32_t mclass;
  int32_t origin;
  int32_t code;
  std::string fileName;
  std::string message;
  friend bool operator==(const Report&, const Report&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Report& r) {
    return out << "(" << r.level << ", " << r.mclass << ", " << r.origin << ", " << r.code << ", \"" << r.fileName
               << "\", \"" << r.message << "\")";
  }
};

// Records every report of the session logger. Tests that run the engine on
// their own thread read `reports` directly; Reports() copies under the lock
// for tests whose reports may come from another thread.
class RecordingSink : public korvex::IKorvexSystemLogger {
 public:
  void Log(int32_t level, int32_t mclass, int32_t origin, int32_t code, const std::string& fileName,
           const std::string& message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    reports.push_back({level, mclass, origin, code, fileName, message});
  }

  std::vector<Report> Reports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports;
  }

  // The reports with this code and class mcModule.
  std::vector<Report> WithCode(int32_t code) const {
    std::vector<Report> found;
    for (const auto& r : Reports()) {
      if (r.code == code && r.mclass == korvex::mcModule) found.push_back(r);
    }
    return found;
  }

  // The reports of level error or worse, one line each, for failure messages.
  std::vector<std::string> Errors() const {
    std::vector<std::string> errors;
    for (const Report& r : Reports()) {
      if (r.level >= korvex::mlError) {
        errors.push_back("origin " + std::to_string(r.origin) + " code " + std::to_string(r.code) + " " +
                         r.fileName + ": " + r.message);
      }
    }
    return errors;
  }

  std::vector<Report> reports;

 private:
  mutable std::mutex mutex_;
};

}  // namespace belmor::testing

#endif  // KORVEX_TESTS_SUPPORT_RECORDING_SINK_H_
