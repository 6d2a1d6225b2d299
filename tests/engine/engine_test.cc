#include "engine/korvex.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/exception.h"
#include "config/client_config.h"
#include "config/config.h"
#include "config/document_loader.h"
#include "config/package_fixture.h"
#include "engine/online_services.h"
#include "engine/processing.h"
#include "logging/korvex_logger.h"
#include "logging/messages.h"
#include "logging/report.h"
#include "pipeline/abstract_step.h"
#include "pipeline/step_semaphore.h"
#include "platform/scoped_env.h"
#include "support/file_mode.h"
#include "support/temp_dir.h"
#include "transport/credential_cache.h"
#include "transport/input_gate_client.h"
#include "support/fake_security_client.h"
#include "support/recording_sink.h"
#include "transport/security_client.h"

namespace belmor::korvex {
namespace {

using belmor::testing::ModeOf;
using belmor::testing::ScopedUmask;
using belmor::testing::ReadFile;
using belmor::testing::ScopedEnv;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Files = std::map<std::string, std::string>;

constexpr char kDownUrl[] = "http://localhost:8443/download";
constexpr char kCertUrl[] = "http://localhost:8443/certificates";
constexpr char kNordUrl[] = "http://localhost:8443/gate/nord";
constexpr char kSuedUrl[] = "http://localhost:8443/gate/sued";

// The fixture text with one piece replaced; fails the test when it is absent.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

std::string ConfigWithTimestamp(const std::string& timestamp) {
  return Replaced(fixture::Read("korvex.xml"), "timestamp=\"1700000000\"", "timestamp=\"" + timestamp + "\"");
}

std::string Text(int number) { return KorvexLogger::GetMessageText(number); }

// --- doubles ----------------------------------------------------------------------

using Reported = belmor::testing::Report;
using belmor::testing::RecordingSink;
using belmor::testing::FakeSecurityClient;

// Serves every base URL's documents from memory, as the trust center's
// download service would, and remembers what the engine asked it to make.
class FakeOnlineServices : public OnlineServices {
 public:
  class Session : public OnlineLoadSession {
   public:
    explicit Session(FakeOnlineServices& owner) : owner_(owner) {}
    std::shared_ptr<AbstractDocumentLoader> CreateDocumentLoader(const std::string& baseUrl) override {
      owner_.loaderBases.push_back(baseUrl);
      if (owner_.failure) owner_.failure();
      return std::make_shared<FileMapDocumentLoader>(owner_.sites[baseUrl]);
    }
    std::shared_ptr<AbstractDocumentLoader> CreateCredentialLoader(const std::string& baseUrl,
                                                                   const std::string& extension) override {
      owner_.credentialBase = baseUrl;
      owner_.credentialExtension = extension;
      owner_.credentialLoader = std::make_shared<FileMapDocumentLoader>(Files{});
      return owner_.credentialLoader;
    }

   private:
    FakeOnlineServices& owner_;
  };

  std::unique_ptr<OnlineLoadSession> OpenLoadSession(const std::string& proxyHost, uint16_t proxyPort) override {
    proxies.emplace_back(proxyHost, proxyPort);
    return std::make_unique<Session>(*this);
  }
  std::shared_ptr<CredentialCache> CreateCredentialCache(
      const std::shared_ptr<Config>& config, std::shared_ptr<AbstractDocumentLoader> certificateLoader) override {
    return std::make_shared<CredentialCache>(config, std::move(certificateLoader), nullptr);
  }
  std::shared_ptr<InputGateClient> CreateInputGateClient(std::shared_ptr<SecurityClient> securityClient,
                                                         const std::string& url) override {
    return std::make_shared<InputGateClient>(std::move(securityClient), url);
  }

  // The trust center of the fixture, publishing config as its configuration.
  void Publish(const std::string& config, const std::string& schema = fixture::Read("korvex.xsd")) {
    const std::string down = kDownUrl;
    sites[down + "/config"] = {{"korvex.xml", config}};
    sites[down + "/schemas/"] = {{"korvex.xsd", schema}};
    sites[down] = {{"kx-schemas.zip", fixture::PackageZip()}};
    // What the forced local configuration fetches its documents from.
    sites[down + "/schemas/"].merge(fixture::FlatPackage());
    sites[down + "/transformers/"] = fixture::FlatPackage();
  }

  std::map<std::string, Files> sites;
  // Runs whenever a document loader is made; throws to stand for a failure.
  std::function<void()> failure;
  std::vector<std::string> loaderBases;
  std::vector<std::pair<std::string, uint16_t>> proxies;
  std::string credentialBase;
  std::string credentialExtension;
  std::shared_ptr<AbstractDocumentLoader> credentialLoader;
};

// Each test gets its own settings, work area and "program directory" holding
// the shipped configuration, and starts with German texts.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ShipConfiguration();
    RunState::CancelFlag() = false;
  }
  void TearDown() override { RunState::CancelFlag() = false; }

  // The configuration installed beside the program.
  void ShipConfiguration() {
    WriteFile(Program("korvex.xml"), fixture::Read("korvex.xml"));
    WriteFile(Program("korvex.xsd"), fixture::Read("korvex.xsd"));
  }

  std::string Program(const std::string& name = "") const { return dir_.Sub("program/") + name; }
  std::string AppData(const std::string& name = "") const { return dir_.Sub("config/Belmor/korvex-ordiva/") + name; }
  std::string Work(const std::string& name = "") const { return dir_.Sub("docs/Korvex-Ordiva/") + name; }

  // Settings in place before the engine starts.
  void Settings(const std::string& lines) { WriteFile(AppData("korvex.ini"), "[globals]\n" + lines); }

  std::shared_ptr<Korvex> NewEngine() {
    auto engine = std::make_shared<Korvex>();
    engine->SetResourcePath(common::Path(Program(), true));
    engine->SetClientConfig(MakeClientConfig(engine));
    return engine;
  }

  // A started engine whose reports reach sink_, ready for online loads.
  std::shared_ptr<Korvex> Start() {
    auto engine = NewEngine();
    engine->Init();
    engine->GetLogger()->SetEventSink(sink_);
    engine->SetSecurityClient(security_);
    engine->SetOnlineServices(services_);
    engine->SetClock([this] { return now_; });
    return engine;
  }

  std::string DebugLog() const { return ReadFile(AppData("korvex.log")); }

  TempDir dir_;
  ScopedEnv configHome_{"XDG_CONFIG_HOME", dir_.Sub("config")};
  ScopedEnv documents_{"XDG_DOCUMENTS_DIR", dir_.Sub("docs")};
  ScopedEnv language_{"LC_ALL", "de_CH.UTF-8"};
  std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>();
  std::shared_ptr<FakeSecurityClient> security_ = std::make_shared<FakeSecurityClient>();
  std::shared_ptr<FakeOnlineServices> services_ = std::make_shared<FakeOnlineServices>();
  std::time_t now_ = 1750000000;
};

// --- Init and the factory ---------------------------------------------------------

TEST_F(EngineTest, InitBuildsTheEngineFromTheShippedConfiguration) {
  // A regular file where the invoice directory's parent should be: that one
  // directory cannot be made, the others still are.
  WriteFile(Work("blocked"), "");
  Settings("debug=1\nhinLogin=praxis\ninputDir=" + Work("blocked/invoices/") + "\n");
  ScopedEnv secret("KORVEX_TEST_SECRET", "s3cr3t-token-value");

  auto engine = Start();

  for (const std::string& created : {dir_.Sub("docs/Korvex-Ordiva/Antworten"), Work("input"), Work("valid"),
                                     Work("output"), Work("err"), Work("responses")}) {
    EXPECT_TRUE(std::filesystem::is_directory(created)) << created;
  }
  EXPECT_FALSE(std::filesystem::exists(Work("blocked/invoices")));

  ASSERT_TRUE(engine->GetLogger());
  ASSERT_TRUE(engine->GetStepSemaphore());
  EXPECT_EQ(engine->GetStepSemaphore()->Name(), "kxStSem");
  auto config = engine->GetClientConfig();
  EXPECT_EQ(config->Timestamp(), "1700000000");
  EXPECT_EQ(config->Rules().size(), 4u);
  EXPECT_EQ(config->Centers().size(), 2u);
  ASSERT_TRUE(config->CurrentCenter());
  EXPECT_EQ(config->CurrentCenter()->id, 1);
  EXPECT_EQ(engine->GetLanguage(), "de");
  EXPECT_EQ(engine->GetLastDownload(), 0);

  const std::string log = DebugLog();
  EXPECT_THAT(log, HasSubstr("can't write to dir: " + Work("blocked/invoices/")));
  EXPECT_THAT(log, HasSubstr("[Korvex::Init][running us user="));
  EXPECT_THAT(log, HasSubstr("[Korvex::Init][default trust center = TC-NORD]"));
  EXPECT_THAT(log, HasSubstr("[Korvex::Init]: successfully done"));
  // The environment may hold secrets and stays out of the log.
  EXPECT_THAT(log, ::testing::Not(HasSubstr("s3cr3t-token-value")));
}

TEST_F(EngineTest, DefaultTrustCenterIsTheStoredOneElseTheFirst) {
  const struct {
    std::string setting;
    int32_t expected;
  } cases[] = {{"", 1}, {"trustCenterID=2\n", 2}, {"trustCenterID=9\n", 1}, {"trustCenterID=-3\n", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting);
    Settings(c.setting);
    auto engine = NewEngine();
    engine->Init();
    ASSERT_TRUE(engine->GetClientConfig()->CurrentCenter());
    EXPECT_EQ(engine->GetClientConfig()->CurrentCenter()->id, c.expected);
    EXPECT_EQ(engine->GetClientConfig()->GetTrustCenterID(), c.expected);
  }
}

TEST_F(EngineTest, NoConfiguredCenterIsAnError) {
  auto engine = Start();
  engine->GetClientConfig()->Clear();
  try {
    engine->SelectDefaultTrustCenter();
    ADD_FAILURE() << "no exception";
  } catch (const common::RuntimeException& e) {
    EXPECT_EQ(e.Message(), "No trust center available");
  }
}

TEST_F(EngineTest, MessageLanguageFollowsTheLocale) {
  const struct {
    const char* locale;
    const char* language;
  } cases[] = {{"fr_CH.UTF-8", "fr"}, {"fr", "fr"}, {"de_CH.UTF-8", "de"}, {"en_US.UTF-8", "de"}, {"C", "de"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locale);
    ScopedEnv locale("LC_ALL", c.locale);
    auto engine = NewEngine();
    engine->Init();
    EXPECT_EQ(engine->GetLanguage(), c.language);
    const MessageTable& table = std::string(c.language) == "fr" ? FrenchMessageTable() : GermanMessageTable();
    EXPECT_EQ(Text(36), table[36].text);
  }
}

TEST_F(EngineTest, InitFailureCarriesTheCause) {
  const struct {
    std::string what;
    std::function<void()> prepare;
    bool withConfig;
    std::string cause;
  } cases[] = {
      {"no client configuration", [] {}, false, "config not initalized"},
      {"no shipped configuration", [&] { std::filesystem::remove(Program("korvex.xml")); }, true,
       "GetLocalConfigPath: fatal: local korvex xml not found: " + Program("korvex.xml")},
      {"no shipped schema", [&] { std::filesystem::remove(Program("korvex.xsd")); }, true,
       "GetLocalConfigPath: fatal: local korvex xsd not found: " + Program("korvex.xsd")},
      {"shipped configuration not valid",
       [&] { WriteFile(Program("korvex.xml"), Replaced(fixture::Read("korvex.xml"), "system=\"korvex-fixture\"", "")); },
       true, "Unable to load a complete config"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ShipConfiguration();
    c.prepare();
    auto engine = std::make_shared<Korvex>();
    engine->SetResourcePath(common::Path(Program(), true));
    if (c.withConfig) engine->SetClientConfig(MakeClientConfig(engine));
    try {
      engine->Init();
      ADD_FAILURE() << "no exception";
    } catch (const common::ApplicationException& e) {
      EXPECT_EQ(e.Message(), "Korvex init failed");
      ASSERT_NE(e.Cause(), nullptr);
      EXPECT_EQ(e.Cause()->Message(), c.cause);
    }
  }
}

class TestFactory : public KorvexFactory {
 public:
  explicit TestFactory(std::string program) : program_(std::move(program)) {}

 protected:
  void Configure(Korvex& engine) override { engine.SetResourcePath(common::Path(program_, true)); }

 private:
  std::string program_;
};

TEST_F(EngineTest, FactoryRetriesAfterAFailedStartThenKeepsTheEngine) {
  std::filesystem::remove(Program("korvex.xml"));
  TestFactory factory(Program());
  EXPECT_EQ(factory.Create(), nullptr);
  EXPECT_EQ(factory.Create(), nullptr);

  WriteFile(Program("korvex.xml"), fixture::Read("korvex.xml"));
  std::shared_ptr<Korvex> engine = factory.Create();
  ASSERT_NE(engine, nullptr);
  EXPECT_TRUE(engine->GetClientConfig()->CurrentCenter());

  std::filesystem::remove(Program("korvex.xml"));
  EXPECT_EQ(factory.Create(), engine);
  EXPECT_EQ(TestFactory(dir_.Sub("elsewhere")).Create(), engine);
}

// --- the local copy -------------------------------------------------------------

TEST(ConfigTimestampTest, DigitsOfTheConfigTimestampAttribute) {
  TempDir dir;
  const struct {
    std::string what;
    std::optional<std::string> text;
    std::string expected;
  } cases[] = {
      {"fixture, attributes over several lines", fixture::Read("korvex.xml"), "1700000000"},
      {"nine digits", "<config timestamp=\"123456789\"/>", "123456789"},
      {"thirteen digits", "<config a=\"1\" timestamp=\"1234567890123\">", "1234567890123"},
      {"any case", "<CONFIG TimeStamp=\"1300000000\">", "1300000000"},
      {"eight digits", "<config timestamp=\"12345678\"/>", "000000000"},
      {"fourteen digits", "<config timestamp=\"12345678901234\"/>", "000000000"},
      {"not a number", "<config timestamp=\"17000000x0\"/>", "000000000"},
      {"no config element", "<other timestamp=\"1700000000\"/>", "000000000"},
      {"no timestamp", "<config version=\"1\"/>", "000000000"},
      {"empty file", "", "000000000"},
      {"missing file", std::nullopt, "000000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.Sub(std::to_string(&c - cases) + ".xml");
    if (c.text) WriteFile(path, *c.text);
    EXPECT_EQ(Korvex::GetConfigTimestamp(path), c.expected);
  }
  EXPECT_EQ(Korvex::GetConfigTimestamp(dir.path()), "000000000");
}

TEST_F(EngineTest, LocalCopyWithTheGreaterTimestampTextWins) {
  const struct {
    std::string program;
    std::optional<std::string> appData;
    bool appDataWins;
  } cases[] = {
      {"1200000000", "1300000000", true},
      // Compared as text: "9" sorts after "1".
      {"1000000000", "999999999", true},
      {"1300000000", "1200000000", false},
      {"1700000000", "1700000000", false},
      {"1700000000", std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program + " / " + c.appData.value_or("none"));
    WriteFile(Program("korvex.xml"), ConfigWithTimestamp(c.program));
    std::filesystem::remove(AppData("korvex.xml"));
    if (c.appData) {
      WriteFile(AppData("korvex.xml"), ConfigWithTimestamp(*c.appData));
      WriteFile(AppData("korvex.xsd"), fixture::Read("korvex.xsd"));
    }
    auto engine = NewEngine();
    std::string xml;
    std::string xsd;
    engine->GetLocalConfigPath(xml, xsd);
    const std::string directory = c.appDataWins ? AppData() : Program();
    EXPECT_EQ(xml, directory + "korvex.xml");
    EXPECT_EQ(xsd, directory + "korvex.xsd");
  }
}

TEST_F(EngineTest, ChosenCopyWithoutSchemaAndMissingShippedCopyAreErrors) {
  WriteFile(AppData("korvex.xml"), ConfigWithTimestamp("1800000000"));
  auto engine = NewEngine();
  std::string xml;
  std::string xsd;
  try {
    engine->GetLocalConfigPath(xml, xsd);
    ADD_FAILURE() << "no exception";
  } catch (const common::RuntimeException& e) {
    EXPECT_EQ(e.Message(), "GetLocalConfigPath: fatal: local korvex xsd not found: " + AppData("korvex.xsd"));
  }

  // The copy beside the program must exist, however new the other one is.
  WriteFile(AppData("korvex.xsd"), fixture::Read("korvex.xsd"));
  std::filesystem::remove(Program("korvex.xml"));
  EXPECT_THROW(engine->GetLocalConfigPath(xml, xsd), common::RuntimeException);
}

TEST_F(EngineTest, LoadingTheLocalCopyReplacesWhatTheConfigurationHeld) {
  WriteFile(AppData("korvex.xml"), Replaced(ConfigWithTimestamp("1800000000"), "TC-NORD", "TC-NORD-LOCAL"));
  WriteFile(AppData("korvex.xsd"), fixture::Read("korvex.xsd"));
  auto engine = Start();
  engine->LoadUntrustedConfig();
  engine->LoadUntrustedConfig();

  auto config = engine->GetClientConfig();
  EXPECT_EQ(config->Timestamp(), "1800000000");
  ASSERT_EQ(config->Centers().size(), 2u);
  EXPECT_EQ(config->Centers()[0]->labelNEW, "TC-NORD-LOCAL");
  EXPECT_EQ(config->Rules().size(), 4u);
}

// --- online configuration --------------------------------------------------------

TEST_F(EngineTest, OnlineLoadFetchesStoresAndSetsUpTheCollaborators) {
  Settings("hinLogin=praxis\ntrustCenterID=2\n");
  const std::string online = ConfigWithTimestamp("1800000000");
  services_->Publish(online);
  auto engine = Start();
  const auto before = engine->GetClientConfig()->CurrentCenter();
  ASSERT_EQ(before->id, 2);

  engine->LoadOnlineConfig();

  auto config = engine->GetClientConfig();
  EXPECT_TRUE(config->Good());
  EXPECT_EQ(config->Timestamp(), "1800000000");
  EXPECT_EQ(config->Centers().size(), 2u);
  // The center selected before, now the downloaded configuration's own.
  ASSERT_TRUE(config->CurrentCenter());
  EXPECT_EQ(config->CurrentCenter()->id, 2);
  EXPECT_NE(config->CurrentCenter(), before);

  const std::string down = kDownUrl;
  EXPECT_THAT(services_->loaderBases, ElementsAre(down + "/config", down + "/schemas/", down + "/transformers/", down));
  EXPECT_THAT(services_->proxies, ElementsAre(std::make_pair(std::string("proxy.example"), uint16_t{3128})));
  EXPECT_THAT(security_->logins, ElementsAre("praxis"));

  EXPECT_EQ(ReadFile(AppData("korvex.xml")), online);
  EXPECT_EQ(ReadFile(AppData("korvex.xsd")), fixture::Read("korvex.xsd"));

  EXPECT_EQ(services_->credentialBase, kCertUrl);
  EXPECT_EQ(services_->credentialExtension, "crt");
  ASSERT_TRUE(engine->GetCredentialCache());
  EXPECT_EQ(config->GetCredentialCache(), engine->GetCredentialCache());
  EXPECT_EQ(engine->GetCredentialCache()->CertificateLoader(), services_->credentialLoader);

  ASSERT_TRUE(engine->GetInputGateClient());
  EXPECT_EQ(engine->GetInputGateClient()->ConnectionUri(), kSuedUrl);
  EXPECT_EQ(engine->GetInputGateClient()->GetSecurityClient(), security_);
  EXPECT_EQ(engine->GetLastDownload(), now_);
  EXPECT_TRUE(sink_->reports.empty());

  // Another center moves the gate client with it.
  engine->SetTrustCenter(1);
  EXPECT_EQ(engine->GetInputGateClient()->ConnectionUri(), kNordUrl);
  EXPECT_EQ(config->GetTrustCenterID(), 1);
}

TEST_F(EngineTest, ForcedLocalConfigurationFetchesOnlyItsDocuments) {
  Settings("forceLocalConfig=1\n");
  services_->Publish(ConfigWithTimestamp("1800000000"));
  auto engine = Start();

  engine->LoadOnlineConfig();

  auto config = engine->GetClientConfig();
  EXPECT_TRUE(config->Good());
  EXPECT_EQ(config->Timestamp(), "1700000000");
  const std::string down = kDownUrl;
  EXPECT_THAT(services_->loaderBases, ElementsAre(down + "/config", down + "/schemas/", down + "/transformers/"));
  EXPECT_FALSE(std::filesystem::exists(AppData("korvex.xml")));
  ASSERT_TRUE(engine->GetInputGateClient());
  EXPECT_EQ(engine->GetInputGateClient()->ConnectionUri(), kNordUrl);
  EXPECT_EQ(engine->GetLastDownload(), now_);
}

TEST_F(EngineTest, DownloadAgainWhenNoneIncompleteOrOlderThanTenHours) {
  services_->Publish(ConfigWithTimestamp("1800000000"));
  auto engine = Start();
  // Only the local copy so far: its rules have no documents.
  EXPECT_TRUE(engine->IsConfigDownloadRequired());
  engine->SetLastDownload(now_);
  EXPECT_TRUE(engine->IsConfigDownloadRequired());

  engine->LoadOnlineConfig();
  const std::time_t downloaded = now_;
  const struct {
    std::time_t age;
    bool required;
  } cases[] = {{0, false}, {36000, false}, {36001, true}, {100000, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.age);
    now_ = downloaded + c.age;
    EXPECT_EQ(engine->IsConfigDownloadRequired(), c.required);
  }
}

TEST_F(EngineTest, ConfigLoadFailureFallsBackToTheLocalCopyAndRethrows) {
  std::string laxSchema = Replaced(fixture::Read("korvex.xsd"), "type=\"RuleType\" minOccurs=\"1\"",
                                   "type=\"RuleType\" minOccurs=\"0\"");
  std::string noRules = ConfigWithTimestamp("1800000000");
  noRules.replace(noRules.find("<rules>") + 7, noRules.find("</rules>") - noRules.find("<rules>") - 7, "");
  const struct {
    std::string what;
    std::function<void(FakeOnlineServices&, FakeSecurityClient&)> prepare;
    std::string message;
    // What the engine holds afterwards: the copy it fell back to.
    std::string timestamp;
    int32_t center;
    bool copyStored;
  } cases[] = {
      {"package missing",
       [](FakeOnlineServices& s, FakeSecurityClient&) {
         s.Publish(ConfigWithTimestamp("1800000000"));
         s.sites[kDownUrl].clear();
       },
       "Unable to load a complete config", "1700000000", 1, false},
      // A trust center's schema may let an incomplete configuration through;
      // it must not become the local copy.
      {"configuration incomplete",
       [&](FakeOnlineServices& s, FakeSecurityClient&) { s.Publish(noRules, laxSchema); },
       "Korvex::LoadOnlineConfig: config is not complete", "1700000000", 1, false},
      {"selected center gone",
       [](FakeOnlineServices& s, FakeSecurityClient&) {
         s.Publish(Replaced(ConfigWithTimestamp("1800000000"), "TCid=\"1\"", "TCid=\"7\""));
       },
       "Korvex::LoadOnlineConfig: korvex center not set", "1800000000", 7, true},
      {"security client does not start",
       [](FakeOnlineServices& s, FakeSecurityClient& c) {
         s.Publish(ConfigWithTimestamp("1800000000"));
         c.starts = false;
       },
       "[Korvex::LoadOnlineConfig][Failed to start secure client]", "1700000000", 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(AppData("korvex.xml"));
    services_ = std::make_shared<FakeOnlineServices>();
    security_ = std::make_shared<FakeSecurityClient>();
    c.prepare(*services_, *security_);
    auto engine = Start();

    try {
      engine->LoadOnlineConfig();
      ADD_FAILURE() << "no exception";
    } catch (const ConfigLoadException& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
    auto config = engine->GetClientConfig();
    EXPECT_EQ(config->Timestamp(), c.timestamp);
    EXPECT_EQ(config->Centers().size(), 2u);
    EXPECT_EQ(config->Rules().size(), 4u);
    ASSERT_TRUE(config->CurrentCenter());
    EXPECT_EQ(config->CurrentCenter()->id, c.center);
    EXPECT_EQ(std::filesystem::exists(AppData("korvex.xml")), c.copyStored);
    EXPECT_FALSE(engine->GetInputGateClient());
    EXPECT_EQ(engine->GetLastDownload(), 0);
  }
}

TEST_F(EngineTest, OtherFailuresAreWrappedWithoutFallback) {
  const struct {
    std::string what;
    std::function<void()> failure;
    bool withServices;
    std::optional<std::string> cause;
    // No fallback: what the configuration holds afterwards.
    size_t centers;
  } cases[] = {
      {"library exception", [] { throw common::RuntimeException("network down"); }, true, "network down", 0},
      {"other exception", [] { throw std::runtime_error("network down"); }, true, std::nullopt, 0},
      {"no online services", nullptr, false,
       "[Korvex::LoadOnlineConfig][online services not available]", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    services_ = std::make_shared<FakeOnlineServices>();
    services_->Publish(ConfigWithTimestamp("1800000000"));
    services_->failure = c.failure;
    auto engine = Start();
    if (!c.withServices) engine->SetOnlineServices(nullptr);

    try {
      engine->LoadOnlineConfig();
      ADD_FAILURE() << "no exception";
    } catch (const ConfigLoadException& e) {
      EXPECT_EQ(e.Message(), "Korvex::LoadOnlineConfig: Error while loading config and all dependent files");
      if (c.cause) {
        ASSERT_NE(e.Cause(), nullptr);
        EXPECT_EQ(e.Cause()->Message(), *c.cause);
      } else {
        EXPECT_EQ(e.Cause(), nullptr);
      }
    }
    auto config = engine->GetClientConfig();
    EXPECT_EQ(config->Centers().size(), c.centers);
    EXPECT_FALSE(config->Good());
    EXPECT_FALSE(std::filesystem::exists(AppData("korvex.xml")));
  }
}

TEST_F(EngineTest, CancelledLoadKeepsTheConfigurationAndFetchesNothing) {
  services_->Publish(ConfigWithTimestamp("1800000000"));
  auto engine = Start();
  engine->Cancel();
  EXPECT_TRUE(RunState::CancelFlag());
  EXPECT_EQ(security_->cancels, 1);

  engine->LoadOnlineConfig();

  EXPECT_TRUE(services_->loaderBases.empty());
  auto config = engine->GetClientConfig();
  EXPECT_EQ(config->Centers().size(), 2u);
  EXPECT_EQ(config->Rules().size(), 4u);
  EXPECT_TRUE(config->CurrentCenter());
  EXPECT_FALSE(engine->GetInputGateClient());
  EXPECT_EQ(engine->GetLastDownload(), 0);
}

TEST_F(EngineTest, MissingCenterOrUrlIsReportedAndThrown) {
  const struct {
    std::string what;
    std::function<void(ClientConfig&)> prepare;
    Reported report;
    std::string message;
  } cases[] = {
      {"no center", [](ClientConfig& c) { c.SelectCenter(std::shared_ptr<TrustCenter>()); },
       {mlError, mcModule, moPSender, 9, "", "Trust Center nicht gesetzt"},
       "[Korvex::LoadOnlineConfig][Trust center not set]"},
      {"url of seven characters", [](ClientConfig& c) { c.CurrentCenter()->url = "http://"; },
       {mlError, mcModule, moPChecker, 9, "", "Trust Center URL nicht gesetzt"},
       "[Korvex::LoadOnlineConfig][Trust center url not set]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sink_->reports.clear();
    auto engine = Start();
    c.prepare(*engine->GetClientConfig());
    try {
      engine->LoadOnlineConfig();
      ADD_FAILURE() << "no exception";
    } catch (const ConfigLoadException&) {
      ADD_FAILURE() << "a configuration load failure";
    } catch (const common::RuntimeException& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
    EXPECT_THAT(sink_->reports, ElementsAre(c.report));
    EXPECT_TRUE(security_->logins.empty());
    EXPECT_EQ(engine->GetClientConfig()->Centers().size(), 2u);
  }
}

// --- security client and steps ----------------------------------------------------

TEST_F(EngineTest, StartSecureClientOutcomes) {
  const struct {
    std::string what;
    bool withClient;
    bool available;
    bool starts;
    bool result;
    std::vector<Reported> reports;
  } cases[] = {
      {"started", true, true, true, true, {}},
      {"not usable", true, false, true, false, {{mlError, mcModule, moPReader, 16, "", "Keine Verbindung"}}},
      {"no security client", false, true, true, false, {{mlError, mcModule, moPReader, 16, "", "Keine Verbindung"}}},
      {"does not start", true, true, false, false,
       {{mlError, mcModule, moPReader, 26, "", "Fehler beim Starten des Sicherheits-Clients"}}},
  };
  Settings("hinLogin=praxis\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sink_->reports.clear();
    security_ = std::make_shared<FakeSecurityClient>();
    security_->available = c.available;
    security_->starts = c.starts;
    auto engine = Start();
    if (!c.withClient) engine->SetSecurityClient(nullptr);
    EXPECT_EQ(engine->StartSecureClient(), c.result);
    EXPECT_EQ(sink_->reports, c.reports);
    if (c.withClient && c.available) {
      EXPECT_THAT(security_->logins, ElementsAre("praxis"));
    }
  }
}

// The anonymizer's step; its run fails at the configuration download when the
// security client cannot be used.
class AnonymizerStep : public AbstractStep {
 public:
  explicit AnonymizerStep(const std::shared_ptr<Korvex>& engine) : AbstractStep(engine, moPAnonymizer, 10, 11, 30) {}
  void Handle(const std::shared_ptr<StepWorkObject>&) override {}
};

TEST_F(EngineTest, FailedStepIsReportedWithItsOriginAndLeavesTheLockToTheRun) {
  security_->available = false;
  services_->Publish(ConfigWithTimestamp("1800000000"));
  auto engine = Start();
  StepSemaphore::Lease lease = engine->GetStepSemaphore()->Acquire();
  ASSERT_TRUE(lease);

  engine->RunStep(std::make_shared<AnonymizerStep>(engine));

  EXPECT_EQ(engine->GetCurrentStep(), nullptr);
  // The security client's report carries the running step's origin.
  const Reported unusable{mlError, mcModule, moPAnonymizer, 16, "", "Keine Verbindung"};
  const Reported failed{mlError, mcModule, moPAnonymizer, 1, "",
                        "Anonymisieren abgeschlossen: 0 kopiert, 0 fehlerhafte Rechnungsdateien"};
  EXPECT_THAT(sink_->reports, ::testing::Contains(unusable));
  ASSERT_FALSE(sink_->reports.empty());
  EXPECT_EQ(sink_->reports.back(), failed);
  EXPECT_THAT(DebugLog(), HasSubstr("Exception in Anonymisieren: Runtime exception: AbstractStep::Run failed"));

  // The run may have further steps: the lock is its lease's to give back.
  StepSemaphore other("kxStSem");
  EXPECT_FALSE(other.IsGreen());
  lease = StepSemaphore::Lease();
  EXPECT_TRUE(other.IsGreen());
}

// Reports reach the sink as they are made; onReport runs on each.
class CallbackSink : public RecordingSink {
 public:
  void Log(int32_t level, int32_t mclass, int32_t origin, int32_t code, const std::string& fileName,
           const std::string& message) override {
    RecordingSink::Log(level, mclass, origin, code, fileName, message);
    if (onReport) onReport(message);
  }
  std::function<void(const std::string& message)> onReport;
};

// A cancel while the configuration is downloaded leaves the load undone: the
// step says it was cancelled, handles no file and ends, and never claims the
// configuration is complete.
TEST_F(EngineTest, CancelDuringTheDownloadEndsTheStepWithoutClaimingACompleteConfiguration) {
  services_->Publish(ConfigWithTimestamp("1800000000"));
  auto engine = Start();
  auto sink = std::make_shared<CallbackSink>();
  sink->onReport = [&](const std::string& message) {
    if (message == Text(59)) engine->Cancel();
  };
  engine->GetLogger()->SetEventSink(sink);
  WriteFile(Work("valid/a.xml"), fixture::Read("invoices/invoice-1.0-valid.xml"));

  engine->RunTransformStep();

  EXPECT_THAT(sink->reports,
              ElementsAre(Reported{mlInfo, mcModule, moPAnonymizer, 0, "", Text(59)},
                          Reported{mlWarning, mcModule, moPAnonymizer, 5, "", Text(32)},
                          Reported{mlInfo, mcModule, moPAnonymizer, 1, "",
                                   "Anonymisieren abgeschlossen: 0 kopiert, 0 fehlerhafte Rechnungsdateien"}));
  EXPECT_TRUE(services_->loaderBases.empty());
  EXPECT_TRUE(std::filesystem::exists(Work("valid/a.xml")));
  EXPECT_EQ(engine->GetLastDownload(), 0);
}

// A refused processing call changes no run state; a granted one sets the
// state of its kind and begins a run of the security client.
TEST_F(EngineTest, BeginProcessingChangesRunStateOnlyWhenItGrantsTheRun) {
  auto engine = Start();
  const struct {
    Processing processing;
    bool autoRun;
    bool singleFile;
  } cases[] = {
      {Processing::Auto, true, false},       {Processing::AutoOne, true, true},
      {Processing::Read, false, false},      {Processing::Check, false, false},
      {Processing::Anonymize, false, false}, {Processing::Send, false, false},
      {Processing::Write, false, false},
  };
  StepSemaphore other("kxStSem");
  for (const auto& c : cases) {
    SCOPED_TRACE(ProcessingName(c.processing));
    {
      // Another run holds the lock, in the middle of a cancel of an AutoOne run.
      const StepSemaphore::Lease held = other.Acquire();
      ASSERT_TRUE(held);
      RunState::SetSingleFileMode(true, "held.xml");
      RunState::CancelFlag() = true;
      const int runs = security_->runs;

      EXPECT_FALSE(BeginProcessing(*engine, c.processing, "mine.xml"));

      EXPECT_TRUE(RunState::CancelFlag());
      EXPECT_TRUE(RunState::AutoRunFlag());
      EXPECT_TRUE(RunState::IsSingleFileMode());
      EXPECT_EQ(RunState::SingleFileName(), "held.xml");
      EXPECT_EQ(security_->runs, runs);
      EXPECT_FALSE(other.IsGreen());
    }

    const int runs = security_->runs;
    const RunLease lease = BeginProcessing(*engine, c.processing, c.singleFile ? "mine.xml" : "");
    ASSERT_TRUE(lease);
    EXPECT_FALSE(other.IsGreen());
    EXPECT_FALSE(other.Acquire());
    EXPECT_FALSE(RunState::CancelFlag());
    EXPECT_EQ(RunState::AutoRunFlag(), c.autoRun);
    EXPECT_EQ(RunState::IsSingleFileMode(), c.singleFile);
    EXPECT_EQ(RunState::SingleFileName(), c.singleFile ? "mine.xml" : "");
    EXPECT_EQ(security_->runs, runs + 1);
  }
  EXPECT_TRUE(other.IsGreen());

  // An engine without its lock could not keep a second run out: it runs none.
  auto unstarted = NewEngine();
  EXPECT_FALSE(BeginProcessing(*unstarted, Processing::Read));
  RunState::SetSingleFileMode(false, "");
}

// A newer application-data copy that does not load must not stop the engine:
// it starts with the shipped copy and says so.
TEST_F(EngineTest, DamagedNewerLocalCopyFallsBackToTheShippedOne) {
  const std::string newer = ConfigWithTimestamp("1800000000");
  const struct {
    const char* what;
    std::string config;
    std::optional<std::string> schema;
  } cases[] = {
      {"cut off", newer.substr(0, newer.size() / 2), fixture::Read("korvex.xsd")},
      {"not valid", Replaced(newer, "system=\"korvex-fixture\"", ""), fixture::Read("korvex.xsd")},
      {"schema missing", newer, std::nullopt},
      {"schema damaged", newer, "<xs:schema"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(AppData("korvex.xml"), c.config);
    std::filesystem::remove(AppData("korvex.xsd"));
    if (c.schema) WriteFile(AppData("korvex.xsd"), *c.schema);
    sink_->reports.clear();

    std::shared_ptr<Korvex> engine;
    ASSERT_NO_THROW(engine = Start());
    EXPECT_EQ(engine->GetClientConfig()->Timestamp(), "1700000000");
    EXPECT_EQ(engine->GetClientConfig()->Centers().size(), 2u);
    EXPECT_THAT(DebugLog(), HasSubstr("[Korvex::LoadUntrustedConfig][" + AppData("korvex.xml") +
                                      " not loaded, using the shipped copy]"));

    // The same when a failed download falls back to the local copy.
    engine->LoadUntrustedConfig();
    EXPECT_EQ(engine->GetClientConfig()->Timestamp(), "1700000000");
    EXPECT_THAT(sink_->reports, ElementsAre(Reported{mlWarning, mcModule, moPReader, 30, AppData("korvex.xml"),
                                                     "Konfiguration ist nicht komplett"}));
  }

  // A damaged shipped copy has nothing to fall back to.
  std::filesystem::remove(AppData("korvex.xml"));
  WriteFile(Program("korvex.xml"), "<config timestamp=\"1700000000\"");
  EXPECT_THROW(NewEngine()->Init(), common::ApplicationException);
}

// The work area holds patient data: its directories are the user's alone
// whatever the umask; the practice's own directories keep the default.
TEST_F(EngineTest, WorkAreaDirectoriesAreTheUsersAlone) {
  Settings("inputDir=" + dir_.Sub("practice/Rechnungen/") + "\n");
  {
    ScopedUmask permissive(0);
    Start();
  }
  for (const std::string& dir : {Work(), Work("input"), Work("valid"), Work("output"), Work("err"),
                                 Work("responses"), Work("logs")}) {
    EXPECT_EQ(ModeOf(dir), 0700u) << dir;
  }
  EXPECT_EQ(ModeOf(dir_.Sub("practice/Rechnungen")), 0777u);
  EXPECT_EQ(ModeOf(Work("Antworten")), 0777u);
}

}  // namespace
}  // namespace belmor::korvex
