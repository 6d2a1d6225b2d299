// The configuration download of a whole run against the test trust center:
// what the practice is told when it fails, and what a run does with a
// download whose local copy cannot be kept.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "engine/korvex.h"
#include "engine/processing.h"
#include "logging/korvex_logger.h"
#include "logging/report.h"
#include "support/invoice_factory.h"

namespace belmor::korvex::e2e {
namespace {

namespace fs = std::filesystem;
using belmor::testing::GeneratedInvoiceNumber;
using belmor::testing::ReadFile;
using belmor::testing::WriteFile;
using ::testing::Contains;
using ::testing::IsEmpty;
using ::testing::Not;

std::string Text(int number) { return KorvexLogger::GetMessageText(number); }

Report Reader(int32_t level, int32_t code, const std::string& file, const std::string& message) {
  return {level, mcModule, moPReader, code, file, message};
}

// Each way the download fails is told by its reason; "Konfiguration ist
// nicht komplett" is left to a download that came but is no configuration.
TEST(ConfigDownloadTest, AFailedDownloadSaysWhy) {
  // No browser can be started: a login that is needed fails at once.
  ScopedEnv browser("KORVEX_BROWSER", "/nonexistent/browser");
  const struct Case {
    const char* what;
    bool token;           // a valid token is stored before the run
    bool unreachable;     // the download URL names a port where nothing listens
    const char* control;  // of the test trust center
    int32_t code;
    int text;  // the catalogue text, or 0 for the literal
    const char* literal = "";
  } cases[] = {
      {"trust center not reached", true, true, "{}", 45, 69},
      {"connection dropped", true, false, R"({"fault": "drop", "fault_methods": ["/download/"]})", 45, 69},
      {"HTTP 500", true, false, R"({"fault": "http500", "fault_methods": ["/download/"]})", 46, 0,
       "Konfiguration nicht geladen: Trust Center antwortet mit HTTP 500"},
      {"HTTP 503", true, false, R"({"fault": "http503", "fault_methods": ["/download/"]})", 46, 0,
       "Konfiguration nicht geladen: Trust Center antwortet mit HTTP 503"},
      {"token refused", true, false, R"({"fault": "http401", "fault_methods": ["/download/"]})", 47, 71},
      {"no HIN login", false, false, "{}", 47, 71},
      {"package that is no zip archive", true, false,
       R"({"fault": "garbled", "fault_methods": ["/download/kx-schemas.zip"]})", 30, 58},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TrustCenterSim sim;
    Practice practice(sim);
    if (c.token) practice.PreloadToken();
    if (c.unreachable) {
      const std::string ini = practice.AppData("korvex.ini");
      WriteFile(ini, std::regex_replace(ReadFile(ini), std::regex("downUrl=[^\n]*"),
                                        "downUrl=http://localhost:" + std::to_string(belmor::testing::ClosedLoopbackPort()) + "/download"));
    }
    sim.SetControl(c.control);
    practice.AddInvoice(1);

    Engine engine;
    ASSERT_TRUE(engine.Run(Processing::Read));

    const std::vector<Report> reports = engine.Sink().Reports();
    EXPECT_THAT(reports, Contains(Reader(mlError, c.code, "", c.text ? Text(c.text) : c.literal)));
    for (const Report& r : reports) {
      if (r.level < mlError) continue;
      EXPECT_TRUE(r.code == c.code || r.code == 1) << "one reason only: " << r.code << " " << r.message;
    }
    // The read step did not get to the invoice.
    EXPECT_EQ(practice.NumbersIn(practice.InvoiceDir()), std::vector<std::string>{GeneratedInvoiceNumber(1)});
  }
}

// A local copy that cannot be stored costs only the next start its copy:
// the run goes on with the configuration it downloaded and sends.
TEST(ConfigDownloadTest, ALocalCopyThatCannotBeStoredIsAWarningAndTheRunSends) {
  TrustCenterSim sim;
  Practice practice(sim);
  practice.PreloadToken();
  for (int n = 1; n <= 2; ++n) practice.AddInvoice(n);
  // Where the copy would go there is a directory: no file can replace it,
  // whoever runs the test.
  fs::create_directories(practice.AppData("korvex.xml"));

  Engine engine;
  ASSERT_TRUE(engine.Run(Processing::Auto));

  EXPECT_EQ(UploadedNumbers(sim).size(), 2u);
  EXPECT_EQ(practice.NumbersIn(practice.Work("archive")).size(), 2u);
  EXPECT_THAT(practice.NumbersIn(practice.Work("output")), IsEmpty());
  const std::vector<Report> reports = engine.Sink().Reports();
  EXPECT_THAT(reports, Contains(Reader(mlWarning, 48, practice.AppData("korvex.xml"), Text(72))));
  EXPECT_THAT(engine.Sink().Errors(), IsEmpty());
  // Downloaded once: the following steps used what the first one loaded.
  int downloads = 0;
  for (const Report& r : reports) downloads += r.mclass == mcModule && r.code == 0 && r.message == Text(59);
  EXPECT_EQ(downloads, 1);
  EXPECT_TRUE(fs::is_directory(practice.AppData("korvex.xml")));
}

}  // namespace
}  // namespace belmor::korvex::e2e
