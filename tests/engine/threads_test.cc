// Clients put settings and switches from their own threads while a worker
// runs the steps against the test trust center. The run must end as it would
// without them, the settings file must hold the last put, and a step that has
// started keeps the directories it took. Built a second time under
// ThreadSanitizer (ctest label "tsan").
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/path.h"
#include "config/client_config.h"
#include "e2e/e2e_support.h"
#include "engine/korvex.h"
#include "engine/processing.h"
#include "logging/korvex_logger.h"
#include "logging/report.h"
#include "support/invoice_factory.h"
#include "support/recording_sink.h"
#include "transport/input_gate_client.h"

namespace belmor::korvex::e2e {
namespace {

namespace fs = std::filesystem;
using belmor::testing::GeneratedInvoiceNumber;
using belmor::testing::ReadFile;
using ::testing::IsEmpty;
using Numbers = std::multiset<std::string>;

Numbers AsSet(const std::vector<std::string>& numbers) { return Numbers(numbers.begin(), numbers.end()); }

Numbers Invoices(int count) {
  Numbers numbers;
  for (int n = 1; n <= count; ++n) numbers.insert(GeneratedInvoiceNumber(n));
  return numbers;
}

std::string WithoutSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

class ThreadsTest : public ::testing::Test {
 protected:
  TrustCenterSim sim_;
  Practice practice_{sim_};
};

// Two client threads put every setting a client may put during a run, over
// and over, and read every value back, while an Auto run sends a dozen
// invoices. The directories they put are the practice's own under a second
// name (a link), and the login, archive switch and trust center the ones in
// effect, so the run's outcome must be that of an undisturbed run; the debug,
// filter, update and response switches really change.
TEST_F(ThreadsTest, PutsDuringAnAutoRunAreSavedAndLeaveTheRunAsItWas) {
  practice_.PreloadToken();
  constexpr int kInvoices = 12;
  for (int n = 1; n <= kInvoices; ++n) practice_.AddInvoice(n);
  const std::string inputLink = practice_.Root() + "/Rechnungen-link";
  const std::string workLink = practice_.Root() + "/work-link";
  const std::string otherOutput = practice_.Root() + "/Antworten-2/";
  fs::create_directory_symlink(WithoutSlash(practice_.InvoiceDir()), inputLink);
  fs::create_directory_symlink(WithoutSlash(practice_.Work()), workLink);
  fs::create_directories(otherOutput);

  Engine engine;
  const std::shared_ptr<Korvex> korvex = engine.Get();
  const std::shared_ptr<ClientConfig> config = korvex->GetClientConfig();

  std::atomic<bool> runOver{false};
  std::atomic<int> settingRounds{0};
  std::atomic<int> engineRounds{0};
  // Each loop ends with one round of fixed values after the run is over:
  // those are the last puts, which the file must hold.
  std::thread settings([&] {
    for (int i = 0;; ++i) {
      const bool last = runOver.load();
      const bool alias = last || i % 2 == 0;
      config->SetPathInputDir(common::Path(alias ? inputLink : practice_.InvoiceDir(), true));
      config->set_path_work(common::Path(alias ? workLink : practice_.Work(), true));
      config->SetPathOutputDir(common::Path(alias ? otherOutput : practice_.ResponseDir(), true));
      config->SetZsrDownFilter(last ? " Z1234 " : (i % 2 ? "*" : "Z9999"));
      config->SetHinLogin("dr.muster");
      config->SetArchive(true);
      config->SetDebug(!last && i % 2 == 1);
      const ClientConfig::Directories directories = config->GetDirectories();
      EXPECT_FALSE(directories.work.IsEmpty());
      (void)config->GetPathArchive();
      (void)config->GetPathError();
      (void)config->GetHinLogin();
      (void)config->GetZsrDownFilter();
      (void)config->GetTrustCenterID();
      (void)config->Centers();
      (void)config->CurrentCenter();
      ++settingRounds;
      if (last) break;
    }
  });
  std::thread client([&] {
    for (int i = 0;; ++i) {
      const bool last = runOver.load();
      korvex->SetTrustCenter(1);
      korvex->SetAutoUpdate(!last && i % 2 == 0);
      korvex->SetResponseMessagesEnabled(last || i % 2 == 1);
      (void)korvex->GetUpdateMsg();
      (void)korvex->GetUpdateAvailable();
      (void)korvex->GetLanguage();
      (void)korvex->GetCurrentDay();
      (void)korvex->GetInputGateClient();
      (void)korvex->GetSecurityClient();
      (void)korvex->GetLogger()->GetSessionPath();
      ++engineRounds;
      if (last) break;
    }
  });

  const bool ran = engine.Run(Processing::Auto);
  runOver = true;
  settings.join();
  client.join();
  ASSERT_TRUE(ran);
  EXPECT_GT(settingRounds.load(), 1);
  EXPECT_GT(engineRounds.load(), 1);

  // The run: every invoice sent once, archived and recorded, nothing refused.
  EXPECT_THAT(engine.Sink().Errors(), IsEmpty());
  EXPECT_EQ(AsSet(UploadedNumbers(sim_)), Invoices(kInvoices));
  EXPECT_EQ(AsSet(practice_.NumbersIn(practice_.Work("archive"))), Invoices(kInvoices));
  EXPECT_EQ(practice_.DuplicateLogIds().size(), static_cast<size_t>(kInvoices));
  EXPECT_THAT(practice_.NumbersIn(practice_.InvoiceDir()), IsEmpty());
  EXPECT_THAT(practice_.NumbersIn(practice_.Work("input")), IsEmpty());
  EXPECT_THAT(practice_.NumbersIn(practice_.Work("valid")), IsEmpty());
  EXPECT_THAT(practice_.NumbersIn(practice_.Work("output")), IsEmpty());
  EXPECT_THAT(practice_.NumbersIn(practice_.Work("err")), IsEmpty());

  // The file and the live values hold the last puts.
  const std::map<std::string, std::string> stored = IniValues(practice_.AppData("korvex.ini"));
  const std::map<std::string, std::string> expected = {
      {"inputDir", AsStored(inputLink)}, {"workDir", AsStored(workLink)}, {"outputDir", AsStored(otherOutput)},
      {"zsrDownFilter", "Z1234"},        {"hinLogin", "dr.muster"},       {"archive", "1"},
      {"debug", "0"},                    {"trustCenterID", "1"},
  };
  for (const auto& [key, value] : expected) {
    ASSERT_EQ(stored.count(key), 1u) << key;
    EXPECT_EQ(stored.at(key), value) << key;
  }
  EXPECT_EQ(config->GetPathInputDir().ToString(), AsStored(inputLink));
  EXPECT_EQ(config->GetPathWork().ToString(), AsStored(workLink));
  EXPECT_EQ(config->GetZsrDownFilter(), "Z1234");
  EXPECT_FALSE(config->GetDebug());
  EXPECT_FALSE(korvex->GetAutoUpdate());
  EXPECT_TRUE(korvex->GetResponseMessagesEnabled());
  ASSERT_TRUE(korvex->GetInputGateClient());
  EXPECT_EQ(korvex->GetInputGateClient()->ConnectionUri(), sim_.BaseUrl() + "/gate/nord");
}

// Puts the work directory from another thread when the read step reports how
// many files it found, that is after it took its directories and before it
// moved the first file, and waits for the put to be done.
class WorkDirectoryMover : public RecordingSink {
 public:
  WorkDirectoryMover(std::shared_ptr<ClientConfig> config, std::string target)
      : config_(std::move(config)), target_(std::move(target)) {}

  void Log(int32_t level, int32_t mclass, int32_t origin, int32_t code, const std::string& fileName,
           const std::string& message) override {
    RecordingSink::Log(level, mclass, origin, code, fileName, message);
    if (mclass == mcCount && origin == moPReader && !moved_) {
      moved_ = true;
      std::thread([this] { config_->set_path_work(common::Path(target_, true)); }).join();
    }
  }

 private:
  std::shared_ptr<ClientConfig> config_;
  std::string target_;
  bool moved_ = false;
};

bool HoldsFileNamed(const std::string& dir, const std::string& name) {
  if (!fs::is_directory(dir)) return false;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.path().filename() == name) return true;
  }
  return false;
}

// A read step keeps the work directory it took at its start: every invoice
// lands in the old work input, and a file no rule takes in the old error
// directory. The put is saved at once, and the next step
// works in the new work directory.
TEST_F(ThreadsTest, AStepThatStartedKeepsItsDirectoriesWhenTheWorkDirectoryIsPut) {
  practice_.PreloadToken();
  constexpr int kInvoices = 3;
  for (int n = 1; n <= kInvoices; ++n) practice_.AddInvoice(n);
  belmor::testing::WriteFile(practice_.InvoiceDir() + "fremd.xml", "<?xml version=\"1.0\"?>\n<fremd/>\n");
  const std::string newWork = practice_.Root() + "/work-2/";
  for (const char* sub : {"input", "valid", "err", "logs"}) fs::create_directories(newWork + sub);

  Engine engine;
  const std::shared_ptr<ClientConfig> config = engine.Get()->GetClientConfig();
  auto mover = std::make_shared<WorkDirectoryMover>(config, newWork);
  engine.Get()->GetLogger()->SetEventSink(mover);

  ASSERT_TRUE(engine.Run(Processing::Read));
  EXPECT_THAT(mover->Errors(), IsEmpty());
  EXPECT_EQ(AsSet(practice_.NumbersIn(practice_.Work("input"))), Invoices(kInvoices));
  EXPECT_THAT(practice_.NumbersIn(newWork + "input"), IsEmpty());
  EXPECT_TRUE(HoldsFileNamed(practice_.Work("err"), "fremd.xml"));
  EXPECT_FALSE(HoldsFileNamed(newWork, "fremd.xml"));
  EXPECT_THAT(practice_.NumbersIn(practice_.InvoiceDir()), IsEmpty());
  EXPECT_EQ(IniValues(practice_.AppData("korvex.ini")).at("workDir"), AsStored(newWork));

  // The check step that follows took the new directories: it finds no file.
  ASSERT_TRUE(engine.Run(Processing::Check));
  std::vector<int32_t> checkerCounts;
  for (const auto& r : mover->Reports()) {
    if (r.mclass == mcCount && r.origin == moPChecker) checkerCounts.push_back(r.code);
  }
  EXPECT_EQ(checkerCounts, std::vector<int32_t>{0});
  EXPECT_EQ(AsSet(practice_.NumbersIn(practice_.Work("input"))), Invoices(kInvoices));
}

}  // namespace
}  // namespace belmor::korvex::e2e
