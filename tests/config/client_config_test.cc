#include "config/client_config.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "config/kx_client_config.h"
#include "engine/korvex.h"
#include "logging/korvex_logger.h"
#include "platform/scoped_env.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"

namespace belmor::korvex {
namespace {

using belmor::testing::ReadFile;
using belmor::testing::ScopedEnv;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;

// Gives each test its own application-data and documents folders, so every
// test starts without a settings file.
class ClientConfigTest : public ::testing::Test {
 protected:
  std::string AppDir() const { return dir_.Sub("config/Belmor/korvex-ordiva/"); }
  std::string Ini() const { return AppDir() + "korvex.ini"; }
  // The default work base.
  std::string Work() const { return dir_.Sub("docs/Korvex-Ordiva/"); }

  std::shared_ptr<ClientConfig> Start(const std::optional<std::string>& file = std::nullopt) {
    if (file) WriteFile(Ini(), *file);
    return MakeClientConfig(engine_);
  }

  // What the file holds under key now, read afresh from disk.
  std::optional<std::string> Stored(const std::string& key) const {
    IniOptions options{common::Path(Ini())};
    const auto& globals = options.sections().find("globals");
    if (globals == options.sections().end()) return std::nullopt;
    auto entry = globals->second.find(key);
    if (entry == globals->second.end()) return std::nullopt;
    return entry->second;
  }

  TempDir dir_;
  ScopedEnv config_home_{"XDG_CONFIG_HOME", dir_.Sub("config")};
  ScopedEnv documents_{"XDG_DOCUMENTS_DIR", dir_.Sub("docs")};
  std::shared_ptr<Korvex> engine_ = std::make_shared<Korvex>();
};

// The setting behind key as the configuration uses it, in the file's notation.
std::string Effective(const ClientConfig& config, const std::string& key) {
  const std::map<std::string, std::function<std::string()>> getters = {
      {"debug", [&] { return std::to_string(config.GetDebug()); }},
      {"archive", [&] { return std::to_string(config.GetArchive()); }},
      {"hinLogin", [&] { return config.GetHinLogin(); }},
      {"workDir", [&] { return config.GetPathWork().ToString(); }},
      {"inputDir", [&] { return config.GetPathInputDir().ToString(); }},
      {"outputDir", [&] { return config.GetPathOutputDir().ToString(); }},
      {"zsrDownFilter", [&] { return config.GetZsrDownFilter(); }},
      {"downUrl", [&] { return config.GetDownUrl(); }},
      {"forceLocalConfig", [&] { return std::to_string(config.GetForceLocalConfig()); }},
      {"trustCenterID", [&] { return std::to_string(config.GetTrustCenterID()); }},
      {"hinAuthUrl", [&] { return config.GetHinAuthUrl(); }},
      {"hinTokenUrl", [&] { return config.GetHinTokenUrl(); }},
      {"hinStartPage", [&] { return config.GetHinStartPage(); }},
      {"caFile", [&] { return config.GetCaFile(); }},
  };
  return getters.at(key)();
}

TEST_F(ClientConfigTest, FirstStartWritesTheDefaults) {
  auto config = Start();

  EXPECT_EQ(ReadFile(Ini()), "[globals]\n"
                             "archive=1\n"
                             "debug=0\n"
                             "hinLogin=\n"
                             "inputDir=" + Work() + "Rechnungen/\n"
                             "outputDir=" + Work() + "Antworten/\n"
                             "workDir=" + Work() + "\n"
                             "zsrDownFilter=\n"
                             "\n");
  EXPECT_TRUE(config->GetArchive());
  EXPECT_FALSE(config->GetDebug());
  EXPECT_FALSE(config->GetForceLocalConfig());
  EXPECT_EQ(config->GetTrustCenterID(), 0);
  EXPECT_EQ(config->GetPathAppData().ToString(), AppDir());
  EXPECT_EQ(config->GetPathWork().ToString(), Work());
  EXPECT_EQ(config->GetPathInputDir().ToString(), Work() + "Rechnungen/");
  EXPECT_EQ(config->GetPathOutputDir().ToString(), Work() + "Antworten/");
  EXPECT_EQ(config->GetPathLogs().ToString(), Work() + "logs/");
  EXPECT_EQ(config->GetPathWorkInput().ToString(), Work() + "input/");
  EXPECT_EQ(config->GetPathWorkValid().ToString(), Work() + "valid/");
  EXPECT_EQ(config->GetPathWorkOutput().ToString(), Work() + "output/");
  EXPECT_EQ(config->GetPathArchive().ToString(), Work() + "archive/");
  EXPECT_EQ(config->GetPathResponsesArchive().ToString(), Work() + "responses-archive/");
  EXPECT_EQ(config->GetPathError().ToString(), Work() + "err/");
  EXPECT_EQ(config->GetDuplicateLogPath().ToString(), Work() + "korvex.log");
  EXPECT_EQ(config->GetHinAuthUrl(), "http://apps.hin.ch");
  EXPECT_EQ(config->GetHinTokenUrl(), "https://oauth2.hin.ch");
  EXPECT_EQ(config->GetHinStartPage(), "https://apps.hin.ch/");
  EXPECT_EQ(config->GetCaFile(), "");
}

TEST_F(ClientConfigTest, ReadsEachKeyAndWritesBackWhatItUses) {
  const struct {
    const char* what;
    const char* file;
    const char* key;
    std::string effective;
    // What the file holds afterwards, when that is not the effective value.
    std::optional<std::string> stored = std::nullopt;
  } cases[] = {
      {"bool that is not a number", "[globals]\ndebug=yes\n", "debug", "0"},
      {"bool 2 is true, written as 1", "[globals]\ndebug=2\n", "debug", "1"},
      {"bool out of range takes the default", "[globals]\ndebug=99999999999\n", "debug", "0"},
      {"comment after the value", "[globals]\narchive=0 # not now\n", "archive", "0"},
      {"pair before any section", "archive=0\n[globals]\n", "archive", "1"},
      {"pair under a named section", "[practice]\narchive=0\n", "archive", "0"},
      {"empty hinLogin is absent", "[globals]\nhinLogin=\n", "hinLogin", ""},
      {"hinLogin kept", "[globals]\nhinLogin=dr.muster\n", "hinLogin", "dr.muster"},
      {"filter trimmed", "[globals]\nzsrDownFilter= \tZ123456 \n", "zsrDownFilter", "Z123456"},
      {"work base without a final separator", "[globals]\nworkDir=/srv/kx\n", "workDir", "/srv/kx/"},
      {"malformed directory takes the default", "[globals]\ninputDir=C:data\n", "inputDir",
       Work() + "Rechnungen/"},
      {"download override", "[globals]\ndownUrl=https://tc.example\n", "downUrl", "https://tc.example"},
      {"forceLocalConfig", "[globals]\nforceLocalConfig=1\n", "forceLocalConfig", "1"},
      {"leading integer, not rewritten", "[globals]\ntrustCenterID= 12x\n", "trustCenterID", "12", " 12x"},
      {"read-only key kept as written", "[globals]\nforceLocalConfig=7\n", "forceLocalConfig", "1", "7"},
      {"HIN login page", "[globals]\nhinAuthUrl=http://localhost:8080\n", "hinAuthUrl", "http://localhost:8080"},
      {"HIN token service", "[globals]\nhinTokenUrl=https://oauth2.localhost:8443\n", "hinTokenUrl",
       "https://oauth2.localhost:8443"},
      {"HIN start page", "[globals]\nhinStartPage=http://localhost:8080/start\n", "hinStartPage",
       "http://localhost:8080/start"},
      {"CA bundle", "[globals]\ncaFile=/etc/kx/ca.pem\n", "caFile", "/etc/kx/ca.pem"},
  };
  for (const auto& c : cases) {
    auto config = Start(std::string(c.file));
    EXPECT_EQ(Effective(*config, c.key), c.effective) << c.what;
    EXPECT_EQ(Stored(c.key), c.stored.value_or(c.effective)) << c.what;
  }
}

TEST_F(ClientConfigTest, OverlongLineCostsOnlyItselfAndStaysThroughEveryRewrite) {
  // A hand-edited file with one line too long in the middle: every setting
  // after it still counts, and the rewrites keep the line as it stood.
  const std::string note = "note=" + std::string(1500, 'x');
  const std::string file = "[globals]\ndebug=1\nhinLogin=dr.muster\n" + note +
                           "\ncaFile=/etc/kx/ca.pem\ndownUrl=https://tc.example\nworkDir=/srv/kx\n"
                           "inputDir=/srv/in\ntrustCenterID=7\n";
  auto config = Start(file);
  EXPECT_EQ(Effective(*config, "debug"), "1");
  EXPECT_EQ(Effective(*config, "hinLogin"), "dr.muster");
  EXPECT_EQ(Effective(*config, "caFile"), "/etc/kx/ca.pem");
  EXPECT_EQ(Effective(*config, "downUrl"), "https://tc.example");
  EXPECT_EQ(Effective(*config, "workDir"), "/srv/kx/");
  EXPECT_EQ(Effective(*config, "inputDir"), "/srv/in/");
  EXPECT_EQ(Effective(*config, "trustCenterID"), "7");
  EXPECT_TRUE(config->CanSave());

  // A change is stored, and a later start finds it, every setting and the line.
  config->SetArchive(false);
  EXPECT_EQ(Stored("archive"), "0");
  config.reset();
  auto again = Start();
  EXPECT_FALSE(again->GetArchive());
  EXPECT_EQ(Effective(*again, "caFile"), "/etc/kx/ca.pem");
  EXPECT_EQ(Effective(*again, "trustCenterID"), "7");
  EXPECT_EQ(again->GetOptions()->kept(), std::vector<std::string>{note});
  EXPECT_NE(ReadFile(Ini()).find(note + "\n"), std::string::npos);
}

TEST_F(ClientConfigTest, WorkBaseFromTheFileMovesOnlyTheWorkArea) {
  auto config = Start("[globals]\nworkDir=D:\\data\n");

  EXPECT_EQ(config->GetPathWork().ToString(), "D:/data/");
  EXPECT_EQ(config->GetPathWorkInput().ToString(), "D:/data/input/");
  EXPECT_EQ(config->GetPathError().ToString(), "D:/data/err/");
  EXPECT_EQ(config->GetDuplicateLogPath().ToString(), "D:/data/korvex.log");
  EXPECT_EQ(Stored("workDir"), "D:/data/");
  // The invoice and response defaults hang off the default work base.
  EXPECT_EQ(config->GetPathInputDir().ToString(), Work() + "Rechnungen/");
  EXPECT_EQ(config->GetPathOutputDir().ToString(), Work() + "Antworten/");
}

TEST_F(ClientConfigTest, SetPathWorkRewritesWorkDirOnly) {
  auto config = Start("[globals]\ninputDir=/in/\noutputDir=/out/\n");
  config->set_path_work(common::Path("/new/work"));

  EXPECT_EQ(Stored("workDir"), "/new/work/");
  EXPECT_EQ(Stored("inputDir"), "/in/");
  EXPECT_EQ(Stored("outputDir"), "/out/");
  EXPECT_EQ(config->GetPathInputDir().ToString(), "/in/");
  EXPECT_EQ(config->GetPathLogs().ToString(), "/new/work/logs/");
  EXPECT_EQ(config->GetPathWorkValid().ToString(), "/new/work/valid/");
  EXPECT_EQ(config->GetPathWorkOutput().ToString(), "/new/work/output/");
  EXPECT_EQ(config->GetPathArchive().ToString(), "/new/work/archive/");
  EXPECT_EQ(config->GetPathResponsesArchive().ToString(), "/new/work/responses-archive/");
  EXPECT_EQ(config->GetPathError().ToString(), "/new/work/err/");
}

TEST_F(ClientConfigTest, EverySetterWritesTheFileAtOnce) {
  const struct {
    const char* key;
    std::function<void(ClientConfig&)> set;
    const char* value;
  } cases[] = {
      {"archive", [](ClientConfig& c) { c.SetArchive(false); }, "0"},
      {"debug", [](ClientConfig& c) { c.SetDebug(true); }, "1"},
      {"inputDir", [](ClientConfig& c) { c.SetPathInputDir(common::Path("/drop/here")); }, "/drop/here/"},
      {"outputDir", [](ClientConfig& c) { c.SetPathOutputDir(common::Path("\\back\\")); }, "/back/"},
      {"hinLogin", [](ClientConfig& c) { c.SetHinLogin("praxis.x"); }, "praxis.x"},
      {"zsrDownFilter", [](ClientConfig& c) { c.SetZsrDownFilter("  A1 B2\t"); }, "A1 B2"},
  };
  auto config = Start();
  for (const auto& c : cases) {
    c.set(*config);
    EXPECT_EQ(Stored(c.key), c.value) << c.key;
    EXPECT_EQ(Effective(*config, c.key), c.value) << c.key;
  }
  // A restart reads back what the setters stored.
  auto restarted = Start();
  for (const auto& c : cases) EXPECT_EQ(Effective(*restarted, c.key), c.value) << c.key;
}

// How often korvex.ini was replaced (renamed onto) while the object watched.
class Replacements {
 public:
  explicit Replacements(const std::string& directory) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    // The temporaries moved away keep inotify from merging the replacements
    // into one event.
    ::inotify_add_watch(fd_, directory.c_str(), IN_MOVED_FROM | IN_MOVED_TO);
  }
  ~Replacements() { ::close(fd_); }
  int Count() {
    alignas(struct inotify_event) char buffer[64 * 1024];
    for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;) {
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
        if ((event->mask & IN_MOVED_TO) && event->len > 0 && std::string(event->name) == "korvex.ini") ++count_;
        at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      }
    }
    return count_;
  }

 private:
  int fd_;
  int count_ = 0;
};

bool Eventually(const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// With the writer, setters of two threads only change the settings; the
// writer stores them a moment later, a burst in a few writes, and what is
// still pending when it stops. Every last value is in the file.
TEST_F(ClientConfigTest, TheWriterGathersABurstOfChangesAndStoresEveryLastOne) {
  auto config = Start();
  Replacements writes(AppDir());
  config->StartWriter();
  constexpr int kChanges = 400;
  std::thread other([&] {
    for (int i = 0; i < kChanges; ++i) config->SetHinLogin("dr." + std::to_string(i));
  });
  for (int i = 0; i < kChanges; ++i) {
    config->SetZsrDownFilter("F" + std::to_string(i));
    config->SetDebug(i % 2 == 1);
  }
  other.join();
  EXPECT_EQ(config->GetZsrDownFilter(), "F399");
  EXPECT_TRUE(Eventually([&] { return Stored("zsrDownFilter") == "F399" && Stored("hinLogin") == "dr.399"; }));
  EXPECT_LT(writes.Count(), kChanges / 4) << "writes for " << 3 * kChanges << " changes";

  // Stopping stores what came last, however soon after.
  config->set_path_work(common::Path("/after/burst/"));
  config->SetArchive(false);
  config->StopWriter();
  EXPECT_EQ(Stored("workDir"), "/after/burst/");
  EXPECT_EQ(Stored("archive"), "0");
  EXPECT_EQ(Stored("debug"), "1");
  // Without the writer a setter writes at once again.
  config->SetArchive(true);
  EXPECT_EQ(Stored("archive"), "1");
}

// A write that fails is reported once to the session log and its sink, not
// retried on its own; the next change, and the writer's end, try again and
// store everything that was set meanwhile.
TEST_F(ClientConfigTest, AFailedWriteIsReportedAndTriedAgainAtTheNextChangeAndAtTheEnd) {
  const std::string logs = dir_.Sub("logs");
  KorvexLogger::Settings settings{[] { return false; }, [logs] { return common::Path(logs, true); },
                                  common::Path(dir_.Sub("debug"), true)};
  auto logger = std::make_shared<KorvexLogger>(log::INFO, WithEngineHooks(settings, engine_));
  auto sink = std::make_shared<belmor::testing::RecordingSink>();
  logger->SetEventSink(sink);
  engine_->SetLogger(logger);
  auto config = Start();
  config->StartWriter(std::chrono::milliseconds(10));
  const auto notStored = [&] {
    int count = 0;
    for (const auto& r : sink->Reports())
      if (r.level == mlError && r.code == ClientConfig::kNotStoredReportCode &&
          r.message == KorvexLogger::GetMessageText(67))
        ++count;
    return count;
  };

  // A directory in the file's place: the rename onto it fails.
  std::filesystem::remove(Ini());
  std::filesystem::create_directories(Ini() + "/in-the-way");
  EXPECT_TRUE(config->CanSave());
  config->SetZsrDownFilter("first");
  ASSERT_TRUE(Eventually([&] { return notStored() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(notStored(), 1);
  EXPECT_EQ(config->GetZsrDownFilter(), "first");

  std::filesystem::remove_all(Ini());
  config->SetHinLogin("second");
  ASSERT_TRUE(Eventually([&] { return std::filesystem::is_regular_file(Ini()) && Stored("hinLogin") == "second"; }));
  EXPECT_EQ(Stored("zsrDownFilter"), "first");

  // Failed again, then mended with no change after it: the end stores it.
  std::filesystem::remove(Ini());
  std::filesystem::create_directories(Ini() + "/in-the-way");
  config->SetDebug(true);
  ASSERT_TRUE(Eventually([&] { return notStored() == 2; }));
  std::filesystem::remove_all(Ini());
  config->StopWriter();
  EXPECT_EQ(Stored("debug"), "1");
  engine_->SetLogger(nullptr);
  log::InstallLogger(std::make_shared<log::VoidLogger>());
}

// The file has no escapes: such values would come back cut short, or as
// other settings, after the next start.
TEST_F(ClientConfigTest, SettersRefuseValuesTheFileCannotHold) {
  const struct {
    const char* key;
    std::function<void(ClientConfig&)> set;
  } cases[] = {
      {"hinLogin", [](ClientConfig& c) { c.SetHinLogin("x\nworkDir=/elsewhere"); }},
      {"hinLogin", [](ClientConfig& c) { c.SetHinLogin("ends-in-cr\r"); }},
      {"zsrDownFilter", [](ClientConfig& c) { c.SetZsrDownFilter(std::string(1024, 'z')); }},
      {"inputDir", [](ClientConfig& c) { c.SetPathInputDir(common::Path("/data/Praxis #2")); }},
      {"outputDir", [](ClientConfig& c) { c.SetPathOutputDir(common::Path("/data/line\nbreak")); }},
      {"workDir", [](ClientConfig& c) { c.set_path_work(common::Path("/data/#work")); }},
  };
  auto config = Start("[globals]\nhinLogin=before\n");
  const std::string file = ReadFile(Ini());
  for (const auto& c : cases) {
    const std::string effective = Effective(*config, c.key);
    EXPECT_THROW(c.set(*config), common::RuntimeException) << c.key;
    EXPECT_EQ(Effective(*config, c.key), effective) << c.key;
    EXPECT_EQ(ReadFile(Ini()), file) << c.key;
  }
  // The longest line the file takes is still accepted.
  config->SetZsrDownFilter(std::string(IniOptions::kMaxLineLength - 14, 'z'));
  EXPECT_EQ(Start()->GetZsrDownFilter().size(), IniOptions::kMaxLineLength - 14);
}

TEST_F(ClientConfigTest, SelectingACenterStoresItsIdentifier) {
  auto config = Start();
  auto first = std::make_shared<TrustCenter>();
  first->id = 5;
  first->labelNEW = "Alpha";
  auto second = std::make_shared<TrustCenter>();
  second->id = 9;
  second->labelNEW = "Beta";
  config->AddCenter(first);
  config->AddCenter(second);
  // Loaders and the engine reach the selection through the base class.
  Config& base = *config;

  base.SelectCenter(9);
  EXPECT_EQ(Stored("trustCenterID"), "9");
  base.SelectCenter(std::string("Alpha"));
  EXPECT_EQ(Stored("trustCenterID"), "5");
  base.SelectCenter(42);  // unknown: the selection stays
  EXPECT_EQ(Stored("trustCenterID"), "5");
  EXPECT_EQ(config->GetTrustCenterID(), 5);
  base.SelectCenter(second);
  EXPECT_EQ(Stored("trustCenterID"), "9");
  base.SelectCenter(std::shared_ptr<TrustCenter>());
  EXPECT_EQ(Stored("trustCenterID"), "0");
  EXPECT_EQ(config->GetTrustCenterID(), 0);

  base.SelectCenter(9);
  EXPECT_EQ(Start()->GetTrustCenterID(), 9);
}

// A directory no run could use is refused with its reason and changes
// nothing; one that is not there yet is taken, for the practice to create.
TEST_F(ClientConfigTest, DirectorySettersRefuseRelativePathsAndFilesButTakeDirectoriesNotYetThere) {
  auto config = Start();
  WriteFile(dir_.Sub("a-file"), "x");
  const struct {
    const char* what;
    std::string text;
    const char* reason;  // nullptr: taken
  } cases[] = {
      {"relative", "Rechnungen", "not an absolute directory"},
      {"relative with dots", "./in/../Rechnungen/", "not an absolute directory"},
      {"a drive", "C:\\Rechnungen", "not an absolute directory"},
      {"a file", "/etc/passwd", "not a directory"},
      {"below a file", dir_.Sub("a-file") + "/sub", "a file stands in its path"},
      {"not there yet", dir_.Sub("later/Rechnungen"), nullptr},
      {"there", dir_.path(), nullptr},
  };
  const struct {
    const char* key;
    std::function<void(const common::Path&)> set;
    std::function<common::Path()> get;
  } setters[] = {
      {"inputDir", [&](const common::Path& p) { config->SetPathInputDir(p); }, [&] { return config->GetPathInputDir(); }},
      {"outputDir", [&](const common::Path& p) { config->SetPathOutputDir(p); }, [&] { return config->GetPathOutputDir(); }},
      {"workDir", [&](const common::Path& p) { config->set_path_work(p); }, [&] { return config->GetPathWork(); }},
  };
  for (const auto& setter : setters) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(setter.key) + ", " + c.what);
      const common::Path before = setter.get();
      const std::optional<std::string> stored = Stored(setter.key);
      const common::Path wanted(c.text, true);
      if (c.reason) {
        try {
          setter.set(wanted);
          ADD_FAILURE() << "taken";
        } catch (const common::RuntimeException& e) {
          EXPECT_NE(e.Message().find(c.reason), std::string::npos) << e.Message();
        }
        EXPECT_EQ(setter.get(), before);
        EXPECT_EQ(Stored(setter.key), stored);
      } else {
        setter.set(wanted);
        EXPECT_EQ(setter.get().ToString(), wanted.ToString());
        EXPECT_EQ(Stored(setter.key), wanted.ToString());
      }
    }
  }
}

TEST_F(ClientConfigTest, UrlsPreferTheOverrides) {
  auto plain = Start();
  plain->SetUrlDown("https://tc/down");
  plain->SetUrlCert("https://tc/cert");
  EXPECT_EQ(plain->GetDownUrl(), "https://tc/down");
  EXPECT_EQ(plain->GetCertUrl(), "https://tc/cert");
  EXPECT_EQ(plain->GetConfigUrl(), "https://tc/down/config");
  EXPECT_EQ(plain->GetSchemasUrl(), "https://tc/down/schemas/");
  EXPECT_EQ(plain->GetTransformersUrl(), "https://tc/down/transformers/");

  auto overridden = Start("[globals]\ndownUrl=http://localhost:8080/d\ncertUrl=http://localhost:8080/c\n");
  overridden->SetUrlDown("https://tc/down");
  overridden->SetUrlCert("https://tc/cert");
  EXPECT_EQ(overridden->GetDownUrl(), "http://localhost:8080/d");
  EXPECT_EQ(overridden->GetCertUrl(), "http://localhost:8080/c");
  EXPECT_EQ(overridden->GetTransformersUrl(), "http://localhost:8080/d/transformers/");
}

TEST_F(ClientConfigTest, DatedDirectoriesFollowTheEnginesDay) {
  auto config = Start("[globals]\nworkDir=/w\n");
  engine_->SetCurrentDay("2024-03-07");
  EXPECT_EQ(config->GetPathArchive().ToString(), "/w/archive/2024-03-07/");
  EXPECT_EQ(config->GetPathResponsesArchive().ToString(), "/w/responses-archive/2024-03-07/");
  EXPECT_EQ(config->GetPathError().ToString(), "/w/err/2024-03-07/");
  engine_->SetCurrentDay("2024-03-08");
  EXPECT_EQ(config->GetPathError().ToString(), "/w/err/2024-03-08/");

  // The engine owns the configuration; one that outlives it still answers.
  engine_.reset();
  EXPECT_EQ(config->GetPathError().ToString(), "/w/err/");
}

TEST_F(ClientConfigTest, UncreatableAppDataDirectoryStopsTheStart) {
  WriteFile(dir_.Sub("plain-file"), "not a directory");
  ScopedEnv config_home("XDG_CONFIG_HOME", dir_.Sub("plain-file"));
  EXPECT_THROW(Start(), common::Exception);

  // With a session logger in place the failure also reaches the session log.
  const std::string logs = dir_.Sub("logs");
  KorvexLogger::Settings settings{[] { return false; }, [logs] { return common::Path(logs, true); },
                                  common::Path(dir_.Sub("debug"), true)};
  engine_->SetLogger(std::make_shared<KorvexLogger>(log::INFO, WithEngineHooks(settings, engine_)));
  EXPECT_THROW(Start(), common::FileException);
  engine_->SetLogger(nullptr);
  log::InstallLogger(std::make_shared<log::VoidLogger>());

  std::string session;
  for (const auto& entry : std::filesystem::directory_iterator(logs)) session += ReadFile(entry.path());
  EXPECT_NE(session.find("|3|2|0|19||can't write to app dir : " + dir_.Sub("plain-file/Belmor/korvex-ordiva/") +
                         " : "),
            std::string::npos)
      << session;
}

// Points the machine-state directory at a fresh place per test.
class MachineIdTest : public ::testing::Test {
 protected:
  std::string State() const { return dir_.Sub("state"); }
  std::string IdFile() const { return State() + "/machineID"; }

  TempDir dir_;
  ScopedEnv state_{"KORVEX_MACHINE_STATE_DIR", dir_.Sub("state")};
};

bool IsUuid(const std::string& text) {
  return std::regex_match(text, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}"));
}

TEST_F(MachineIdTest, ReadsTheStoredIdentity) {
  const std::string longer(70, 'x');
  const struct {
    std::string stored;
    std::string id;
  } cases[] = {
      {"0f6a7c1e-0000-4000-8000-0123456789ab\n", "0f6a7c1e-0000-4000-8000-0123456789ab"},
      {"set-by-hand", "set-by-hand"},
      {"windows-line\r\n", "windows-line"},
      {longer, longer.substr(0, 64)},
  };
  for (const auto& c : cases) {
    WriteFile(IdFile(), c.stored);
    EXPECT_EQ(GetMachineId(), c.id);
    EXPECT_EQ(ReadFile(IdFile()), c.stored);
  }
}

TEST_F(MachineIdTest, CreatesOneIdentityAndKeepsIt) {
  ScopedEnv nested("KORVEX_MACHINE_STATE_DIR", dir_.Sub("state/missing/parents"));
  const std::string id = GetMachineId();
  EXPECT_TRUE(IsUuid(id)) << id;
  EXPECT_EQ(ReadFile(dir_.Sub("state/missing/parents/machineID")), id + "\n");
  EXPECT_EQ(GetMachineId(), id);

  // An empty file identifies nothing and is replaced.
  WriteFile(IdFile(), "");
  const std::string replaced = GetMachineId();
  EXPECT_TRUE(IsUuid(replaced));
}

TEST_F(MachineIdTest, RacingFirstCallsAgreeOnOneIdentity) {
  std::vector<std::string> ids(8);
  std::vector<std::thread> threads;
  for (auto& id : ids) threads.emplace_back([&id] { id = GetMachineId(); });
  for (auto& thread : threads) thread.join();

  EXPECT_TRUE(IsUuid(ids[0])) << ids[0];
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 1u);
  EXPECT_EQ(ReadFile(IdFile()), ids[0] + "\n");
}

TEST_F(MachineIdTest, StateDirectoryUnderAFileGivesTheFixedText) {
  WriteFile(dir_.Sub("plain-file"), "x");
  ScopedEnv under_file("KORVEX_MACHINE_STATE_DIR", dir_.Sub("plain-file/state"));
  EXPECT_EQ(GetMachineId(), "ABCDEF00-1111-2222-3333-444444444444");
}

TEST_F(MachineIdTest, ReadOnlyStateDirectoryGivesTheFixedText) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop root";
  ASSERT_EQ(::mkdir(State().c_str(), 0555), 0);
  EXPECT_EQ(GetMachineId(), "ABCDEF00-1111-2222-3333-444444444444");
  EXPECT_EQ(GetMachineId(), "ABCDEF00-1111-2222-3333-444444444444");
}

}  // namespace
}  // namespace belmor::korvex
