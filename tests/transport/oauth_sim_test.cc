// The OAuth client against the test trust center: its token endpoint, its
// login page and the browser stand-in that plays the user.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/scoped_env.h"
#include "platform/step_lock.h"
#include "support/temp_dir.h"
#include "support/trust_center_sim.h"
#include "transport/json.h"
#include "transport/oauth_client.h"
#include "transport/sim_fixture.h"
#include "transport/token_store.h"

namespace belmor::korvex {
namespace {

using belmor::testing::ReadFile;
using belmor::testing::ScopedEnv;
using belmor::testing::TempDir;
using belmor::testing::TrustCenterSim;
using belmor::testing::WriteFile;

constexpr char kTokenPath[] = "/REST/v1/OAuth/GetAccessToken";

RpcValue ParseLine(const std::string& line) {
  std::istringstream in(line);
  RpcValue value;
  ReadJson(value, in);
  return value;
}

std::string TextMember(const RpcValue& value, const char* name) {
  const RpcValue& member = value.GetMember(name);
  return member.kind() == RpcValue::kString ? member.AsString() : std::string();
}

class OAuthSimTest : public testing::SharedSimTest {
 protected:

  void SetUp() override {
    sim_->SetControl("{}");
    TransportSettings settings;
    settings.caFile = sim_->CaFile();
    settings.hinAuthUrl = sim_->LoginBaseUrl();
    settings.hinTokenUrl = sim_->TokenBaseUrl();
    settings.hinStartPage = StartPage();
    settings.storeHinLogin = [this](const std::string& login) { stored_logins_.push_back(login); };
    SetTransportSettings(settings);
    seen_requests_ = sim_->RequestLog().size();
  }

  void TearDown() override {
    SetAccessTokenProvider(nullptr);
    SetTransportSettings(TransportSettings());
  }

  static std::string StartPage() { return sim_->LoginBaseUrl() + "/start"; }
  std::string FilePath() const { return dir_.Sub(kTokenFileName); }

  // Token endpoint calls since the test began.
  int TokenCalls() const {
    std::vector<std::string> log = sim_->RequestLog();
    int calls = 0;
    for (size_t i = seen_requests_; i < log.size(); ++i) {
      if (TextMember(ParseLine(log[i]), "path") == kTokenPath) ++calls;
    }
    return calls;
  }

  // The browser stand-in's record of its runs; it writes one once it is done,
  // which may be a moment after the listener answered it.
  std::vector<RpcValue> BrowserRuns(size_t expected) const {
    std::vector<RpcValue> runs;
    for (int i = 0; i < 100; ++i) {
      runs.clear();
      std::ifstream in(browser_log_);
      std::string line;
      while (std::getline(in, line)) runs.push_back(ParseLine(line));
      if (runs.size() >= expected) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return runs;
  }

  // The stand-in as the browser, acting as `mode` says.
  struct Browser {
    Browser(const std::string& mode, const std::string& log)
        : command("KORVEX_BROWSER", TrustCenterSim::BrowserCommand()),
          mode_env("KORVEX_SIM_BROWSER_MODE", mode),
          log_env("KORVEX_SIM_BROWSER_LOG", log) {}
    ScopedEnv command;
    ScopedEnv mode_env;
    ScopedEnv log_env;
  };

  TempDir dir_;
  std::string browser_log_ = dir_.Sub("browser.log");
  // No test may reach a real browser; those that log in name the stand-in.
  ScopedEnv no_browser_{"KORVEX_BROWSER", dir_.Sub("no-browser")};
  std::vector<std::string> stored_logins_;
  size_t seen_requests_ = 0;
};

TEST_F(OAuthSimTest, UnexpiredTokenIsSentWithoutAskingTheTokenEndpoint) {
  WriteFile(FilePath(), std::string("{\"client_id\":\"ch.korvex.ordivaclient\",\"token_group\":\"korvex_inputgate\","
                                    "\"tokens\":[{\"hin_id\":\"dr.muster\",\"access_token\":\"") +
                            TrustCenterSim::kValidToken + "\",\"refresh_token\":\"R\",\"expire\":" +
                            std::to_string(std::time(nullptr) + 600) + "}]}");
  TokenStore store(FilePath());
  store.SelectLogin("dr.muster");
  EXPECT_EQ(store.GetAccessToken(), TrustCenterSim::kValidToken);
  EXPECT_EQ(TokenCalls(), 0);
}

TEST_F(OAuthSimTest, BrowserLoginThroughTheClientStoresAnOwnerOnlyTokenFile) {
  Browser browser("", browser_log_);
  std::filesystem::create_directories(std::filesystem::path(OAuthClient::TokenFilePath()).parent_path());
  OAuthClient client;
  ASSERT_TRUE(client.Init());
  std::shared_ptr<AccessTokenProvider> provider = CurrentAccessTokenProvider();
  ASSERT_TRUE(provider);

  const std::string token = provider->GetAccessToken();
  EXPECT_EQ(token.size(), 60u);
  EXPECT_EQ(TokenCalls(), 1);
  EXPECT_EQ(client.Store()->CurrentLogin(), "dr.muster");
  EXPECT_EQ(stored_logins_, std::vector<std::string>{"dr.muster"});
  // The second request uses the stored token.
  EXPECT_EQ(provider->GetAccessToken(), token);
  EXPECT_EQ(TokenCalls(), 1);

  const std::string path = OAuthClient::TokenFilePath();
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(ReadFile(path).find("\"access_token\":\"" + token + "\""), std::string::npos);

  std::vector<RpcValue> runs = BrowserRuns(1);
  ASSERT_EQ(runs.size(), 1u);
  // The login page was asked for our client, group and listener, with a state.
  EXPECT_TRUE(std::regex_match(TextMember(runs[0], "url"),
                               std::regex(".*/REST/v1/OAuth/GetAuthCode/korvex_inputgate\\?response_type=code"
                                          "&client_id=ch\\.korvex\\.ordivaclient&redirect_uri=http%3A%2F%2F"
                                          "localhost%3A[0-9]+%2F&state=[0-9a-f]{32}"
                                          "&code_challenge=[A-Za-z0-9_-]{43}&code_challenge_method=S256")))
      << TextMember(runs[0], "url");
  EXPECT_EQ(runs[0].GetMember("listener_status").AsInt(), 303);
  EXPECT_EQ(TextMember(runs[0], "listener_location"), StartPage());

  client.Shutdown();
  std::filesystem::remove(path);
}

// The token service refuses a code that was not issued for the login's own
// challenge, as one handed to the listener by someone else would be; and a
// practice whose HIN service refuses PKCE can switch it off.
TEST_F(OAuthSimTest, PkceKeepsACodeIssuedForAnotherLoginFromBeingRedeemed) {
  struct Case {
    const char* name;
    bool pkce;
    const char* mode;
    bool token;
  };
  const Case cases[] = {
      {"own code", true, "", true},
      {"code of another login", true, "foreign-code", false},
      {"PKCE switched off", false, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(browser_log_);
    TransportSettings settings = CurrentTransportSettings();
    settings.hinPkce = c.pkce;
    SetTransportSettings(settings);
    const size_t seen = sim_->Requests().size();
    Browser browser(c.mode, browser_log_);
    TokenStore store(dir_.Sub(std::string("pkce-") + (c.pkce ? "on-" : "off-") + c.mode + ".json"));
    store.SetLoginWait(std::chrono::seconds(20));
    const std::string token = store.GetAccessToken();
    EXPECT_EQ(token.size(), c.token ? 60u : 0u);
    EXPECT_EQ(store.Entries().size(), c.token ? 1u : 0u);

    std::vector<RpcValue> runs = BrowserRuns(1);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].GetMember("listener_status").AsInt(), 303);
    const std::string url = TextMember(runs[0], "url");
    EXPECT_EQ(url.find("&code_challenge_method=S256") != std::string::npos, c.pkce) << url;
    // One token request each: the service answered it, refusing the other
    // login's code. (With PKCE off, the service would refuse a verifier for
    // a code issued without a challenge: the login shows none was sent.)
    std::vector<int> statuses;
    const std::vector<belmor::testing::SimRequest> requests = sim_->Requests();
    for (size_t i = seen; i < requests.size(); ++i) {
      if (requests[i].path == kTokenPath) statuses.push_back(requests[i].status);
    }
    EXPECT_EQ(statuses, std::vector<int>{c.token ? 200 : 400});
  }
}

// The browser gets the path of a page that holds the login URL, never the
// URL: the page lies in the user's private directory beside the step lock,
// only its owner may read it, and it is gone once the wait is over, however
// the wait ended.
TEST_F(OAuthSimTest, LoginPageIsPrivateAndGoneWhenTheWaitEnds) {
  const std::filesystem::path directory =
      std::filesystem::path(platform::StepLockFile(platform::kRunLockName)).parent_path();
  const auto pagesLeft = [&directory] {
    std::vector<std::string> pages;
    for (const auto& item : std::filesystem::directory_iterator(directory)) {
      if (item.path().filename().string().rfind("kx-login-", 0) == 0) pages.push_back(item.path().string());
    }
    return pages;
  };
  struct Case {
    const char* name;
    const char* mode;  // nullptr: no browser can be started
    bool cancel;
    bool token;
  };
  const Case cases[] = {
      {"logged in", "", false, true},         {"declined", "no-code", false, false},
      {"wait ran out", "none", false, false}, {"cancelled", "none", true, false},
      {"no browser", nullptr, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(browser_log_);
    std::optional<Browser> browser;
    if (c.mode) browser.emplace(c.mode, browser_log_);
    TokenStore store(dir_.Sub(std::string("page-") + c.name + ".json"));
    store.SetLoginWait(std::chrono::seconds(c.cancel ? 60 : 2));
    auto login = std::async(std::launch::async, [&store] { return store.GetAccessToken(); });
    std::vector<RpcValue> runs = BrowserRuns(c.mode ? 1 : 0);
    if (c.cancel) store.CancelLogin();
    EXPECT_EQ(login.get().size(), c.token ? 60u : 0u);
    EXPECT_THAT(pagesLeft(), ::testing::IsEmpty());
    if (!c.mode) continue;

    ASSERT_EQ(runs.size(), 1u);
    const std::string page = TextMember(runs[0], "page");
    EXPECT_EQ(std::filesystem::path(page).parent_path(), directory);
    EXPECT_EQ(TextMember(runs[0], "page_mode"), "600");
    const std::string text = TextMember(runs[0], "page_text");
    // Nothing but the refresh, with the URL's "&" written as references.
    EXPECT_TRUE(std::regex_match(text, std::regex("<meta http-equiv=\"refresh\" content=\"0;url=http://"
                                                  "[^\"<>&]+(&amp;[^\"<>&]+)+\">\n")))
        << text;
    EXPECT_NE(TextMember(runs[0], "url").find("&state="), std::string::npos);
  }
}

TEST_F(OAuthSimTest, TokensReachNeitherTheTerminalNorTheDebugLog) {
  Browser browser("", browser_log_);
  auto logger = std::make_shared<testing::CapturingLogger>();
  std::shared_ptr<log::BaseLogger> previous = log::CurrentLogger();
  log::InstallLogger(logger);
  TokenStore store(FilePath());
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const std::string token = store.GetAccessToken();
  const std::string out = ::testing::internal::GetCapturedStdout();
  const std::string err = ::testing::internal::GetCapturedStderr();
  log::InstallLogger(previous);
  ASSERT_EQ(token.size(), 60u);
  const std::string refresh = store.Entries().at(0).refresh_token;
  ASSERT_FALSE(refresh.empty());
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "");
  EXPECT_THAT(logger->Matching(token), ::testing::IsEmpty());
  EXPECT_THAT(logger->Matching(refresh), ::testing::IsEmpty());
  // The exchange itself is in the debug log, by status and size.
  EXPECT_THAT(logger->Matching("[TokenStore::RequestToken]"), ::testing::Not(::testing::IsEmpty()));
}

TEST_F(OAuthSimTest, ExpiredTokenIsRefreshedOnce) {
  std::string first;
  {
    Browser browser("", browser_log_);
    TokenStore store(FilePath());
    first = store.GetAccessToken();
    ASSERT_EQ(first.size(), 60u);
  }
  // Make the stored token due.
  const std::string text = ReadFile(FilePath());
  WriteFile(FilePath(), std::regex_replace(text, std::regex("\"expire\":-?[0-9]+"), "\"expire\":5"));
  const int callsBefore = TokenCalls();

  TokenStore store(FilePath());
  store.SelectLogin("dr.muster");
  const int64_t before = std::time(nullptr);
  const std::string refreshed = store.GetAccessToken();
  const int64_t after = std::time(nullptr);
  EXPECT_EQ(refreshed.size(), 60u);
  EXPECT_NE(refreshed, first);
  EXPECT_EQ(TokenCalls() - callsBefore, 1);
  ASSERT_EQ(store.Entries().size(), 1u);
  EXPECT_GE(store.Entries()[0].expire, before + 2400);
  EXPECT_LE(store.Entries()[0].expire, after + 2400);
  EXPECT_EQ(store.GetAccessToken(), refreshed);
  EXPECT_EQ(TokenCalls() - callsBefore, 1);
}

// A token request carries the refresh token or the login's code: a token
// service configured with a plain http address is never sent one.
TEST_F(OAuthSimTest, TheTokenServiceIsAskedOverHttpsOnly) {
  {
    Browser browser("", browser_log_);
    TokenStore store(FilePath());
    ASSERT_EQ(store.GetAccessToken().size(), 60u);
  }
  const std::string text = ReadFile(FilePath());
  WriteFile(FilePath(), std::regex_replace(text, std::regex("\"expire\":-?[0-9]+"), "\"expire\":5"));
  TransportSettings settings = CurrentTransportSettings();
  settings.hinTokenUrl = sim_->LoginBaseUrl();  // the simulator's plain HTTP listener
  SetTransportSettings(settings);

  TokenStore store(FilePath());
  store.SelectLogin("dr.muster");
  store.GetAccessToken();
  for (const belmor::testing::SimRequest& request : sim_->Requests()) {
    EXPECT_FALSE(request.port == "http" && request.path == kTokenPath) << "refresh token sent in clear text";
  }
}

// The service may have acted on a token request whose connection it dropped
// after reading it (used the code up, turned the refresh token over): such a
// request is never sent again, not even on the fresh connection that libcurl
// takes when a kept-alive one dies under a request.
TEST_F(OAuthSimTest, DroppedTokenRequestIsNotSentAgain) {
  std::string first;
  {
    Browser browser("", browser_log_);
    TokenStore store(FilePath());
    first = store.GetAccessToken();
    ASSERT_EQ(first.size(), 60u);
  }
  // That login's token request left its connection to the service kept alive;
  // the refresh goes out on it and is dropped once its body has arrived.
  const std::string text = ReadFile(FilePath());
  WriteFile(FilePath(), std::regex_replace(text, std::regex("\"expire\":-?[0-9]+"), "\"expire\":5"));
  sim_->SetControl(std::string("{\"fault\":\"drop\",\"fault_methods\":[\"") + kTokenPath + "\"]}");
  const int callsBefore = TokenCalls();

  TokenStore store(FilePath());
  store.SelectLogin("dr.muster");
  // No browser can start here, so the old token is all there is.
  EXPECT_EQ(store.GetAccessToken(), first);
  EXPECT_EQ(TokenCalls() - callsBefore, 1);
}

TEST_F(OAuthSimTest, RedirectsThatAreNotOursGiveNoToken) {
  struct Case {
    const char* mode;
    int listenerStatus;  // 0: the stand-in never reached the listener
    bool endsEarly;      // the login ends before its wait runs out
  };
  // A forged state is refused and the listener waits on for the real
  // redirect until the wait runs out; a redirect with our state but no code
  // ends the login at once; a user who never logs in lets the wait run out.
  const Case cases[] = {{"wrong-state", 400, false}, {"no-code", 303, true}, {"none", 0, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    std::filesystem::remove(browser_log_);
    Browser browser(c.mode, browser_log_);
    TokenStore store(dir_.Sub(std::string(c.mode) + ".json"));
    store.SetLoginWait(std::chrono::seconds(3));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(store.GetAccessToken(), "");
    const auto took = std::chrono::steady_clock::now() - start;
    if (c.endsEarly) {
      EXPECT_LT(took, std::chrono::milliseconds(2500));
    } else {
      EXPECT_GE(took, std::chrono::milliseconds(2900));
    }
    EXPECT_EQ(TokenCalls(), 0);
    EXPECT_TRUE(store.Entries().empty());
    EXPECT_TRUE(stored_logins_.empty());
    std::vector<RpcValue> runs = BrowserRuns(1);
    ASSERT_EQ(runs.size(), 1u);
    if (c.listenerStatus != 0) {
      EXPECT_EQ(runs[0].GetMember("listener_status").AsInt(), c.listenerStatus);
    } else {
      EXPECT_FALSE(runs[0].GetMember("listener_status").IsValid());
    }
  }
}

TEST_F(OAuthSimTest, RefusedTokenStartsANewLogin) {
  Browser browser("", browser_log_);
  TokenStore store(FilePath());
  const std::string first = store.GetAccessToken();
  ASSERT_EQ(first.size(), 60u);

  store.TokenRefused();
  EXPECT_EQ(store.CurrentLogin(), " ");
  EXPECT_EQ(stored_logins_.back(), " ");

  const std::string second = store.GetAccessToken();
  EXPECT_EQ(second.size(), 60u);
  EXPECT_NE(second, first);
  EXPECT_EQ(BrowserRuns(2).size(), 2u);
  EXPECT_EQ(TokenCalls(), 2);
  EXPECT_EQ(store.CurrentLogin(), "dr.muster");
  EXPECT_EQ(stored_logins_, (std::vector<std::string>{"dr.muster", " ", "dr.muster"}));
}

TEST_F(OAuthSimTest, UnreadableTokenReplyRaisesAndReleasesTheStore) {
  {
    Browser browser("", browser_log_);
    TokenStore store(FilePath());
    ASSERT_EQ(store.GetAccessToken().size(), 60u);
  }
  const std::string text = ReadFile(FilePath());
  WriteFile(FilePath(), std::regex_replace(text, std::regex("\"expire\":-?[0-9]+"), "\"expire\":5"));
  sim_->SetControl(std::string("{\"fault\":\"garbled\",\"fault_methods\":[\"") + kTokenPath + "\"]}");

  TokenStore store(FilePath());
  store.SelectLogin("dr.muster");
  store.Load();
  const std::vector<TokenEntry> before = store.Entries();
  ASSERT_EQ(before.size(), 1u);
  EXPECT_THROW(store.GetAccessToken(), RpcError);
  EXPECT_EQ(store.Entries(), before);
  // The store's lock was released on the way out.
  EXPECT_TRUE(std::async(std::launch::async, [&store] {
                bool taken = store.TryLock();
                if (taken) store.Unlock();
                return taken;
              }).get());
}

TEST_F(OAuthSimTest, FailedRefreshFallsBackToTheLogin) {
  // The refresh token is unknown to the service (400): the browser login runs.
  WriteFile(FilePath(), "{\"client_id\":\"ch.korvex.ordivaclient\",\"token_group\":\"korvex_inputgate\","
                        "\"tokens\":[{\"hin_id\":\"dr.muster\",\"access_token\":\"OLD\",\"refresh_token\":"
                        "\"unknown\",\"expire\":5}]}");
  Browser browser("", browser_log_);
  TokenStore store(FilePath());
  store.SelectLogin("dr.muster");
  const std::string token = store.GetAccessToken();
  EXPECT_EQ(token.size(), 60u);
  EXPECT_EQ(TokenCalls(), 2);
  ASSERT_EQ(store.Entries().size(), 1u);
  EXPECT_EQ(store.Entries()[0].access_token, token);
}

TEST_F(OAuthSimTest, ConcurrentRequestsShareOneLogin) {
  Browser browser("", browser_log_);
  TokenStore store(FilePath());
  auto ask = [&store] { return store.GetAccessToken(); };
  auto first = std::async(std::launch::async, ask);
  auto second = std::async(std::launch::async, ask);
  const std::string a = first.get();
  const std::string b = second.get();
  EXPECT_EQ(a.size(), 60u);
  EXPECT_EQ(a, b);
  EXPECT_EQ(TokenCalls(), 1);
  EXPECT_EQ(BrowserRuns(1).size(), 1u);
}

TEST_F(OAuthSimTest, LoginsCanBeListedWhileALoginWaits) {
  Browser browser("none", browser_log_);
  WriteFile(FilePath(), "{\"client_id\":\"c\",\"token_group\":\"g\",\"tokens\":["
                        "{\"hin_id\":\"dr.a\",\"access_token\":\"\",\"refresh_token\":\"\",\"expire\":0}]}");
  TokenStore store(FilePath());
  store.SetLoginWait(std::chrono::seconds(4));
  auto login = std::async(std::launch::async, [&store] { return store.GetAccessToken(); });
  // Wait until the login is under way: the stand-in records its visit.
  ASSERT_EQ(BrowserRuns(1).size(), 1u);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(store.GetLogins().front(), "dr.a");
  store.SelectLogin("dr.b");
  store.TokenRefused();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(login.get(), "");
  EXPECT_EQ(store.CurrentLogin(), " ");
}

TEST_F(OAuthSimTest, LoginThatGaveNoTokenIsNotRepeatedUntilTheNextRun) {
  struct Case {
    const char* mode;  // nullptr: no browser can be started
  };
  // A user who never logs in, a login declined on the HIN side, and a
  // workstation without a browser: each gives no token once, and the rest of
  // the run's requests answer at once instead of opening a window each.
  const Case cases[] = {{"none"}, {"no-code"}, {nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode ? c.mode : "no browser");
    std::filesystem::remove(browser_log_);
    std::optional<Browser> browser;
    if (c.mode) browser.emplace(c.mode, browser_log_);
    TokenStore store(dir_.Sub(std::string(c.mode ? c.mode : "nobrowser") + ".json"));
    store.SetLoginWait(std::chrono::seconds(2));
    EXPECT_EQ(store.GetAccessToken(), "");
    EXPECT_TRUE(store.LoginBlocked());
    const size_t firstRuns = c.mode ? 1 : 0;
    EXPECT_EQ(BrowserRuns(firstRuns).size(), firstRuns);

    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(store.GetAccessToken(), "");
    // Three logins again would take three waits of 2 s: the limit only has
    // to tell "at once" from that, with room for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(BrowserRuns(firstRuns).size(), firstRuns);

    // The next run tries again.
    store.BeginRun();
    EXPECT_FALSE(store.LoginBlocked());
    EXPECT_EQ(store.GetAccessToken(), "");
    EXPECT_EQ(BrowserRuns(2 * firstRuns).size(), 2 * firstRuns);
    EXPECT_EQ(TokenCalls(), 0);
  }
}

TEST_F(OAuthSimTest, CancelEndsAPendingLoginAtOnce) {
  Browser browser("none", browser_log_);
  TokenStore store(FilePath());
  // The full wait: only the cancel can end this login in time.
  auto login = std::async(std::launch::async, [&store] { return store.GetAccessToken(); });
  ASSERT_EQ(BrowserRuns(1).size(), 1u);
  const auto start = std::chrono::steady_clock::now();
  store.CancelLogin();
  ASSERT_EQ(login.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(login.get(), "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  // Nothing more is started in the cancelled run.
  EXPECT_EQ(store.GetAccessToken(), "");
  EXPECT_EQ(BrowserRuns(1).size(), 1u);

  // The next run logs in.
  std::filesystem::remove(browser_log_);
  Browser loggingIn("", browser_log_);
  store.BeginRun();
  EXPECT_EQ(store.GetAccessToken().size(), 60u);
  EXPECT_EQ(TokenCalls(), 1);
}

TEST_F(OAuthSimTest, CancelBeforeALoginKeepsItFromStarting) {
  Browser browser("", browser_log_);
  TokenStore store(FilePath());
  store.CancelLogin();
  EXPECT_EQ(store.GetAccessToken(), "");
  EXPECT_EQ(BrowserRuns(0).size(), 0u);
  store.BeginRun();
  // A stale cancel signal must not end the new run's login.
  EXPECT_EQ(store.GetAccessToken().size(), 60u);
}

TEST_F(OAuthSimTest, HungTokenEndpointIsGivenUp) {
  WriteFile(FilePath(), "{\"client_id\":\"ch.korvex.ordivaclient\",\"token_group\":\"korvex_inputgate\","
                        "\"tokens\":[{\"hin_id\":\"dr.muster\",\"access_token\":\"OLD\",\"refresh_token\":"
                        "\"R\",\"expire\":5}]}");
  sim_->SetControl(std::string("{\"fault\":\"slow\",\"slow_seconds\":30,\"fault_methods\":[\"") + kTokenPath +
                   "\"]}");
  TransportSettings settings = CurrentTransportSettings();
  settings.noProgressSeconds = 1;
  SetTransportSettings(settings);
  TokenStore store(FilePath());
  store.SelectLogin("dr.muster");
  const auto start = std::chrono::steady_clock::now();
  // The refresh is abandoned and no browser can start: the old token stays.
  // (libcurl averages the speed over a few seconds, and the request body
  // counts, so giving up takes several seconds more than the limit.)
  EXPECT_EQ(store.GetAccessToken(), "OLD");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

}  // namespace
}  // namespace belmor::korvex
