#include "common/crash_point.h"

#ifdef KORVEX_CRASH_POINTS

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace belmor::common {

namespace {

struct CrashPoints {
  std::mutex mutex;
  bool enabled = false;
  std::string under;
  unsigned long at = 0;  // 0: never
  std::string countFile;
  std::vector<std::string> seen;
};

void WriteCount();

// Read once; the environment of a test run does not change while it runs.
CrashPoints& Points() {
  static CrashPoints* points = [] {
    // Never freed: operations may still pass while the process exits.
    static CrashPoints instance;
    const char* under = std::getenv("KORVEX_CRASH_UNDER");
    const char* at = std::getenv("KORVEX_CRASH_AT");
    const char* count = std::getenv("KORVEX_CRASH_COUNT");
    instance.under = under ? under : "";
    instance.at = at && *at ? std::strtoul(at, nullptr, 10) : 0;
    instance.countFile = count ? count : "";
    instance.enabled = instance.at > 0 || !instance.countFile.empty();
    if (!instance.countFile.empty()) std::atexit(WriteCount);
    return &instance;
  }();
  return *points;
}

void WriteCount() {
  CrashPoints& points = Points();
  std::lock_guard<std::mutex> lock(points.mutex);
  std::FILE* out = std::fopen(points.countFile.c_str(), "w");
  if (!out) return;
  std::fprintf(out, "%zu\n", points.seen.size());
  for (size_t i = 0; i < points.seen.size(); ++i) std::fprintf(out, "%zu %s\n", i + 1, points.seen[i].c_str());
  std::fclose(out);
}

bool Below(const std::string& path, const std::string& directory) {
  return directory.empty() || path.compare(0, directory.size(), directory) == 0;
}

}  // namespace

void DurableStep(const char* operation, const std::string& path, const std::string& to) {
  CrashPoints& points = Points();
  if (!points.enabled) return;
  if (!Below(path, points.under) && (to.empty() || !Below(to, points.under))) return;
  std::lock_guard<std::mutex> lock(points.mutex);
  points.seen.push_back(std::string(operation) + " " + path + (to.empty() ? "" : " " + to));
  if (points.seen.size() == points.at) {
    // As kill -9 would: no destructors, no buffers of the process flushed;
    // what the kernel took survives, as it does such a kill.
    ::raise(SIGKILL);
    ::_exit(137);
  }
}

}  // namespace belmor::common

#else

namespace belmor::common {

void DurableStep(const char*, const std::string&, const std::string&) {}

}  // namespace belmor::common

#endif
