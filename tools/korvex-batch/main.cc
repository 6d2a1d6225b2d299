// korvex-batch: a test tool that runs processing calls of the engine in this
// process, one after the other, without a bus, and prints every report:
//   korvex-batch Auto Write
// The crash tests kill it in the middle of a run. Practices and scripts use
// the server through korvexctl.

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "common/exception.h"
#include "engine/korvex.h"
#include "engine/processing.h"
#include "logging/korvex_logger.h"
#include "logging/report.h"
#include "transport/oauth_client.h"

namespace {

using namespace belmor::korvex;

const char* LevelName(int32_t level) {
  switch (level) {
    case mlDebug: return "debug";
    case mlInfo: return "info";
    case mlWarning: return "warning";
    case mlError: return "error";
    case mlFatal: return "fatal";
    default: return "?";
  }
}

// Prints each report on one line: level, origin, code, file and text.
class PrintingSink : public IKorvexSystemLogger {
 public:
  void Log(int32_t level, int32_t mclass, int32_t origin, int32_t code, const std::string& fileName,
           const std::string& message) override {
    std::printf("%-7s %s origin=%d code=%-3d %s%s%s\n", LevelName(level), mclass == mcCount ? "count " : "",
                origin, code, fileName.c_str(), fileName.empty() ? "" : ": ", message.c_str());
    std::fflush(stdout);
  }
};

int Usage() {
  std::cerr << "usage: korvex-batch (Auto | AutoOne=<file> | Read | Check | Anonymize | Send | Write)...\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  struct Call {
    Processing processing;
    std::string file;
  };
  std::vector<Call> calls;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string file;
    if (const size_t eq = arg.find('='); eq != std::string::npos) {
      file = arg.substr(eq + 1);
      arg.erase(eq);
    }
    const auto processing = ProcessingFromName(arg);
    if (!processing || (*processing == Processing::AutoOne) == file.empty()) return Usage();
    calls.push_back({*processing, file});
  }
  if (calls.empty()) return Usage();

  const std::shared_ptr<Korvex> engine = KorvexFactory().Create();
  if (!engine) {
    std::cerr << "korvex-batch: the engine did not start (see the debug log)\n";
    return 1;
  }
  engine->GetLogger()->SetEventSink(std::make_shared<PrintingSink>());
  // Reports of the response download reach the sink too.
  engine->SetResponseMessagesEnabled(true);
  auto security = std::make_shared<OAuthClient>();
  security->Init();
  engine->SetSecurityClient(security);

  int status = 0;
  for (const Call& call : calls) {
    RunLease lease;
    try {
      lease = BeginProcessing(*engine, call.processing, call.file);
    } catch (const belmor::common::Exception& e) {
      std::cerr << "korvex-batch: " << ProcessingName(call.processing) << ": " << e.Text() << "\n";
      status = 1;
      break;
    }
    if (!lease) {
      std::cerr << "korvex-batch: " << ProcessingName(call.processing) << ": another run is active\n";
      status = 3;
      break;
    }
    RunProcessing(engine, call.processing, std::move(lease));
  }
  security->Shutdown();
  return status;
}
