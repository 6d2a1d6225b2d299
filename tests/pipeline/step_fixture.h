#ifndef KORVEX_TESTS_PIPELINE_STEP_FIXTURE_H_
#define KORVEX_TESTS_PIPELINE_STEP_FIXTURE_H_

// An engine as a step sees it during a run, without a full start: the client
// settings with the work area in a temporary directory, the fixture
// configuration with its package loaded and a center selected, a session
// logger whose events are recorded, a step semaphore of the test's own, and
// the stylesheet functions with certificates for the fixture's recipients, so
// the fixture stylesheets encrypt as they do in a real run.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/path.h"
#include "config/client_config.h"
#include "config/config_loader.h"
#include "config/document_loader.h"
#include "engine/korvex.h"
#include "engine/processing.h"
#include "logging/korvex_logger.h"
#include "logging/log.h"
#include "logging/messages.h"
#include "logging/report.h"
#include "pipeline/abstract_step.h"
#include "pipeline/step_semaphore.h"
#include "pipeline/step_work_object.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"
#include "transport/credential_cache.h"
#include "transport/smime_test_util.h"
#include "transport/xslt_function.h"

namespace belmor::korvex::testing {

using belmor::testing::ReadFile;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;

inline std::string FixturePath(const std::string& relative) {
  return std::string(KORVEX_SOURCE_DIR) + "/testing/trustcenter/config/" + relative;
}

inline std::string Invoice(const std::string& name) { return ReadFile(FixturePath("invoices/" + name)); }

using belmor::testing::RecordingSink;
using belmor::testing::Report;

// The names in a directory, sorted; empty when it does not exist.
inline std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  if (!std::filesystem::is_directory(dir)) return names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

inline std::string Text(int number) { return KorvexLogger::GetMessageText(number); }

// Keys and certificates of every recipient of the fixture configuration. Key
// generation is slow and every test runs in a process of its own, so they are
// made once per build tree (KORVEX_TEST_KEY_DIR) under a lock that parallel
// test processes share; none is ever committed.
inline const std::map<std::string, TestIdentity>& RecipientIdentities() {
  static const std::map<std::string, TestIdentity> identities = [] {
    const std::string dir = KORVEX_TEST_KEY_DIR;
    std::filesystem::create_directories(dir);
    const int lock = ::open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0) throw std::runtime_error("cannot lock " + dir);
    std::map<std::string, TestIdentity> made;
    for (const std::string name : {"tcnord-a", "tcnord-b", "tcsued-a"}) {
      TestIdentity id;
      id.certificatePath = dir + "/" + name + ".crt";
      id.keyPath = dir + "/" + name + ".key";
      if (!std::filesystem::exists(id.certificatePath) || !std::filesystem::exists(id.keyPath)) {
        id = MakeIdentities(dir, {name}).at(name);
      } else {
        id.certificate = ReadFile(id.certificatePath);
        id.key = ReadFile(id.keyPath);
      }
      made[name] = id;
    }
    ::close(lock);
    return made;
  }();
  return identities;
}

class StepEnvironment {
 public:
  StepEnvironment() {
    KorvexLogger::RegisterMessageTable("de", GermanMessageTable());
    KorvexLogger::SelectMessageTable("de");
    RunState::CancelFlag() = false;
    RunState::SetSingleFileMode(false, "");

    config->set_path_work(common::Path(work.path(), true));
    // The settings file outlives each test; a test that turned debug on must not decide for the next.
    config->SetDebug(false);
    engine->SetClientConfig(config);
    // Before the stylesheets are compiled: libxslt binds an extension
    // namespace to its module when it compiles a stylesheet.
    XsltFunction::Register();
    LoadFixtureConfiguration();
    config->SelectCenter(1);
    UseRecipientCertificates();

    // The session log stays in this work area even when a test moves the work directory elsewhere.
    const std::weak_ptr<ClientConfig> settings = config;
    const common::Path logs = config->GetPathLogs();
    logger = std::make_shared<KorvexLogger>(
        log::DEBUG, WithEngineHooks(KorvexLogger::Settings{[settings] { return settings.lock()->GetDebug(); },
                                                           [logs] { return logs; }, config->GetPathAppData()},
                                    engine));
    logger->SetEventSink(sink);
    engine->SetLogger(logger);
    engine->SetStepSemaphore(semaphore);
    // A fresh download: no step of these tests goes to the network.
    engine->SetLastDownload(std::time(nullptr));
  }

  ~StepEnvironment() {
    RunState::CancelFlag() = false;
    RunState::SetSingleFileMode(false, "");
  }

  // The directory below the work area, created.
  std::string Dir(const std::string& name) const {
    std::filesystem::create_directories(work.Sub(name));
    return work.Sub(name);
  }

  std::string ErrorDir() const { return config->GetPathError().ToString(); }

  // Whether another holder could take the step lock now.
  bool SemaphoreFree() const { return StepSemaphore(semaphore->Name()).IsGreen(); }

  TempDir work;
  std::shared_ptr<Korvex> engine = std::make_shared<Korvex>();
  std::shared_ptr<ClientConfig> config = MakeClientConfig(engine);
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
  std::shared_ptr<KorvexLogger> logger;
  std::shared_ptr<StepSemaphore> semaphore = std::make_shared<StepSemaphore>("kxStSem-pipeline-test");

  // Loads the fixture configuration again with its files changed by edit,
  // and selects its first center.
  void ReloadConfiguration(const std::function<void(std::map<std::string, std::string>&)>& edit) {
    config->Clear();
    LoadFixtureConfiguration(edit);
    config->SelectCenter(1);
  }

 private:
  // The certificates as the online load attaches them to the configuration;
  // the stylesheet functions find them there.
  void UseRecipientCertificates() {
    std::map<std::string, std::string> certificates;
    for (const auto& [name, identity] : RecipientIdentities()) certificates[name] = identity.certificate;
    auto cache = std::make_shared<CredentialCache>(config, std::make_shared<FileMapDocumentLoader>(certificates),
                                                   nullptr);
    cache->LoadCredentials(true);
    config->SetCredentialCache(cache);
    XsltFunction::SetConfig(config);
  }

  void LoadFixtureConfiguration(const std::function<void(std::map<std::string, std::string>&)>& edit = nullptr) {
    std::map<std::string, std::string> files = {{"korvex.xml", ReadFile(FixturePath("korvex.xml"))},
                                                {"korvex.xsd", ReadFile(FixturePath("korvex.xsd"))}};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(FixturePath("package"))) {
      if (entry.is_regular_file()) files[entry.path().filename().string()] = ReadFile(entry.path());
    }
    if (edit) edit(files);
    auto loader = std::make_shared<FileMapDocumentLoader>(std::move(files));
    ConfigLoader(loader, loader, loader).Load(config);
  }
};

// A step that moves every file it is given, with hooks where a test needs to
// act in the middle of a run.
class MovingStep : public AbstractStep {
 public:
  MovingStep(const std::shared_ptr<Korvex>& engine, std::string source, std::string destination)
      : AbstractStep(engine, moPReader, 18, 29, 30),
        sourceDir_(std::move(source)),
        destinationDir_(std::move(destination)) {}

  bool Init() override {
    source_ = common::Path(sourceDir_, true);
    destination_ = common::Path(destinationDir_, true);
    const bool answer = AbstractStep::Init();
    if (afterInit) afterInit();
    return answer;
  }
  bool PreHandle() override { return preHandle ? preHandle() : true; }
  void Handle(const std::shared_ptr<StepWorkObject>& work) override {
    handled.push_back(work->FileName());
    last = work;
    if (beforeMove) beforeMove(*work);
    work->MoveTo();
    if (afterHandle) afterHandle();
  }
  void Cleanup() override { ++cleanups; }

  std::function<void()> afterInit;
  std::function<bool()> preHandle;
  std::function<void(StepWorkObject&)> beforeMove;
  std::function<void()> afterHandle;
  std::vector<std::string> handled;
  // The work object handled last; weak, as a work object holds its step.
  std::weak_ptr<StepWorkObject> last;
  int cleanups = 0;

 private:
  std::string sourceDir_;
  std::string destinationDir_;
};

}  // namespace belmor::korvex::testing

#endif  // KORVEX_TESTS_PIPELINE_STEP_FIXTURE_H_
