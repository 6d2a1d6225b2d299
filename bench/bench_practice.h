#ifndef KORVEX_BENCH_BENCH_PRACTICE_H_
#define KORVEX_BENCH_BENCH_PRACTICE_H_

// What the benchmarks that drive the engine against the test trust center
// share: a private practice, the engine made from the source tree's shipped
// configuration, and a sink that counts what was not good news.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/korvex.h"
#include "logging/korvex_logger.h"

namespace belmor::korvex::bench {

// "--name value" pairs into options and "--keep" into keep; false for
// anything else (the caller prints its usage).
bool ParseOptions(int argc, char** argv, std::map<std::string, std::string>& options, bool& keep);

// The source tree (the simulator, its fixture and the browser stand-in).
std::string SourceDir();

// Counts the reports of a run and keeps the first few that are not good news.
class CountingSink : public IKorvexSystemLogger {
 public:
  void Log(int32_t level, int32_t mclass, int32_t origin, int32_t code, const std::string& fileName,
           const std::string& message) override;
  int problems = 0;
  std::vector<std::string> shown;
};

// The engine reads its shipped configuration from the source tree.
class BenchFactory : public KorvexFactory {
 protected:
  void Configure(Korvex& engine) override;
};

// A practice of its own below dir, as scripts/demo sets one up: nothing of
// the real home is read or written, and the browser stand-in does the HIN
// login. The trust center's URLs (downloads, certificates, token endpoint)
// name trustCenterPort; the login pages loginPort.
void PrivatePractice(const std::string& dir, int trustCenterPort, int loginPort, const std::string& caFile);

}  // namespace belmor::korvex::bench

#endif  // KORVEX_BENCH_BENCH_PRACTICE_H_
