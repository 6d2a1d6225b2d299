#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "logging/korvex_logger.h"
#include "platform/scoped_env.h"
#include "support/temp_dir.h"
#include "transport/oauth_client.h"
#include "transport/oauth_redirect.h"
#include "transport/token_store.h"

namespace belmor::korvex {
namespace {

using belmor::testing::ReadFile;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;

mode_t FileMode(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 0777;
}

RpcValue TokenReply(const std::string& hinId, const std::string& access, int32_t expiresIn) {
  return RpcValue::MakeStruct({
      {"access_token", RpcValue::MakeString(access)},
      {"refresh_token", RpcValue::MakeString("refresh-" + access)},
      {"expires_in", RpcValue::MakeInt(expiresIn)},
      {"token_type", RpcValue::MakeString("Bearer")},
      {"hin_id", RpcValue::MakeString(hinId)},
  });
}

// A store on a file in a fresh directory. The token endpoint is a closed
// port, so a test that reaches the network sees a failed transfer at once;
// every "hinLogin" the store saves is recorded.
class TokenStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TransportSettings settings;
    settings.hinTokenUrl = "http://127.0.0.1:9";
    settings.hinAuthUrl = "http://127.0.0.1:9";
    settings.storeHinLogin = [this](const std::string& login) { stored_logins_.push_back(login); };
    SetTransportSettings(settings);
  }
  void TearDown() override { SetTransportSettings(TransportSettings()); }

  std::string FilePath() const { return dir_.Sub(kTokenFileName); }

  TempDir dir_;
  std::vector<std::string> stored_logins_;
  // No test may reach a real browser.
  belmor::testing::ScopedEnv no_browser_{"KORVEX_BROWSER", dir_.Sub("no-browser")};
};

TEST_F(TokenStoreTest, SavedTokensReadBackInOrder) {
  {
    TokenStore store(FilePath());
    store.Load();
    EXPECT_EQ(store.ClientId(), "ch.korvex.ordivaclient");
    EXPECT_EQ(store.TokenGroup(), "korvex_inputgate");
    EXPECT_TRUE(store.Entries().empty());
    store.ApplyTokenResponse(TokenReply("dr.muster", "A1", 3600));
    store.ApplyTokenResponse(TokenReply("dr.\"quote\"\\x", "B1", 3600));
    // A second reply for the first login replaces its entry in place.
    store.SelectLogin("dr.muster");
    store.ApplyTokenResponse(TokenReply("dr.muster", "A2", 3600));
  }
  TokenStore again(FilePath());
  again.Load();
  std::vector<TokenEntry> entries = again.Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].hin_id, "dr.muster");
  EXPECT_EQ(entries[0].access_token, "A2");
  EXPECT_EQ(entries[0].refresh_token, "refresh-A2");
  EXPECT_EQ(entries[1].hin_id, "dr.\"quote\"\\x");
  EXPECT_EQ(entries[1].access_token, "B1");
  EXPECT_NEAR(static_cast<double>(entries[1].expire), static_cast<double>(std::time(nullptr) + 2400), 5);
  EXPECT_EQ(again.GetLogins(), (std::vector<std::string>{"dr.muster", "dr.\"quote\"\\x",
                                                         KorvexLogger::GetMessageText(64)}));
  EXPECT_EQ(stored_logins_, (std::vector<std::string>{"dr.muster", "dr.\"quote\"\\x", "dr.muster"}));
}

TEST_F(TokenStoreTest, FileKeepsItsLayout) {
  WriteFile(FilePath(),
            "{\"client_id\":\"other.client\",\"token_group\":\"other_group\",\"tokens\":["
            "{\"hin_id\":\"a\",\"access_token\":\"t\",\"refresh_token\":\"r\",\"expire\":-2}]}");
  TokenStore store(FilePath());
  store.Load();
  EXPECT_EQ(store.ClientId(), "other.client");
  EXPECT_EQ(store.TokenGroup(), "other_group");
  store.Save();
  EXPECT_EQ(ReadFile(FilePath()),
            "{\"client_id\":\"other.client\",\"token_group\":\"other_group\",\"tokens\":["
            "{\"hin_id\":\"a\",\"access_token\":\"t\",\"refresh_token\":\"r\",\"expire\":-2}]}");
}

TEST_F(TokenStoreTest, DamagedFileFallsBackToDefaults) {
  const std::string good = "{\"hin_id\":\"a\",\"access_token\":\"t\",\"refresh_token\":\"r\",\"expire\":7}";
  struct Case {
    const char* name;
    std::string text;
    size_t entries;
  };
  const Case cases[] = {
      {"missing file", "", 0},
      {"empty file", "", 0},
      {"not JSON", "garbage", 0},
      {"an array", "[1,2]", 0},
      {"client_id a number", "{\"client_id\":5,\"token_group\":\"g\",\"tokens\":[]}", 0},
      {"no tokens member", "{\"client_id\":\"c\",\"token_group\":\"g\"}", 0},
      {"second entry without expire",
       "{\"client_id\":\"c\",\"token_group\":\"g\",\"tokens\":[" + good +
           ",{\"hin_id\":\"b\",\"access_token\":\"t\",\"refresh_token\":\"r\"}," + good + "]}",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_.Sub(std::string(c.name) + ".json");
    if (std::string(c.name) != "missing file") WriteFile(path, c.text);
    TokenStore store(path);
    store.Load();
    EXPECT_EQ(store.ClientId(), "ch.korvex.ordivaclient");
    EXPECT_EQ(store.TokenGroup(), "korvex_inputgate");
    ASSERT_EQ(store.Entries().size(), c.entries);
    if (c.entries > 0) {
      EXPECT_EQ(store.Entries()[0].expire, 7);
    }
  }
}

TEST_F(TokenStoreTest, TokenFileIsOwnerOnlyAndReplacedWhole) {
  WriteFile(FilePath(), "{\"client_id\":\"c\",\"token_group\":\"g\",\"tokens\":[]}");
  ::chmod(FilePath().c_str(), 0644);
  // A reader that opened the file before the save keeps the old content:
  // the file is replaced by a rename, never truncated and rewritten.
  std::ifstream earlier(FilePath());
  TokenStore store(FilePath());
  store.ApplyTokenResponse(TokenReply("dr.muster", "A1", 3600));

  EXPECT_EQ(FileMode(FilePath()), 0600u);
  std::string old((std::istreambuf_iterator<char>(earlier)), std::istreambuf_iterator<char>());
  EXPECT_EQ(old, "{\"client_id\":\"c\",\"token_group\":\"g\",\"tokens\":[]}");
  EXPECT_NE(ReadFile(FilePath()).find("\"access_token\":\"A1\""), std::string::npos);
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(dir_.path())) names.push_back(item.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{kTokenFileName});
}

TEST_F(TokenStoreTest, SaveIntoMissingDirectoryFailsQuietly) {
  TokenStore store(dir_.Sub("absent/hin-oauth.json"));
  EXPECT_NO_THROW(store.ApplyTokenResponse(TokenReply("dr.muster", "A1", 3600)));
  EXPECT_FALSE(std::filesystem::exists(dir_.Sub("absent")));
  EXPECT_EQ(store.Lookup()->access_token, "A1");
}

TEST_F(TokenStoreTest, ExpiryIsTwoThirdsOfTheLifetime) {
  struct Case {
    int32_t expiresIn;
    int64_t added;
  };
  // 1 gives now: the token is used until the current second passes. The
  // largest value must not overflow into an expiry in the past.
  const Case cases[] = {{3600, 2400}, {1, 0}, {2, 1}, {0, 0}, {2147483647, 1431655764}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expiresIn);
    TokenStore store(FilePath());
    const int64_t before = std::time(nullptr);
    TokenEntry entry = store.ApplyTokenResponse(TokenReply("dr.muster", "A", c.expiresIn));
    const int64_t after = std::time(nullptr);
    EXPECT_GE(entry.expire, before + c.added);
    EXPECT_LE(entry.expire, after + c.added);
    EXPECT_EQ(store.CurrentLogin(), "dr.muster");
  }
}

TEST_F(TokenStoreTest, UnusableReplyChangesNothing) {
  TokenStore store(FilePath());
  store.ApplyTokenResponse(TokenReply("dr.muster", "A1", 3600));
  const std::vector<TokenEntry> before = store.Entries();
  const std::string fileBefore = ReadFile(FilePath());

  RpcValue noRefresh = RpcValue::MakeStruct({{"hin_id", RpcValue::MakeString("dr.neu")},
                                             {"access_token", RpcValue::MakeString("X")},
                                             {"expires_in", RpcValue::MakeInt(3600)}});
  RpcValue doubleLifetime = TokenReply("dr.neu", "X", 1);
  doubleLifetime.AsStruct()[2].value = RpcValue::MakeDouble(3600.5);
  const RpcValue replies[] = {RpcValue(), RpcValue::MakeArray(), noRefresh, doubleLifetime};
  for (const RpcValue& reply : replies) {
    EXPECT_THROW(store.ApplyTokenResponse(reply), RpcError);
  }
  EXPECT_EQ(store.Entries(), before);
  EXPECT_EQ(store.CurrentLogin(), "dr.muster");
  EXPECT_EQ(ReadFile(FilePath()), fileBefore);
  EXPECT_EQ(stored_logins_, std::vector<std::string>{"dr.muster"});
}

TEST_F(TokenStoreTest, RefusedTokenDropsOnlyTheCurrentLogin) {
  TokenStore store(FilePath());
  store.ApplyTokenResponse(TokenReply("dr.a", "A", 3600));
  store.ApplyTokenResponse(TokenReply("dr.b", "B", 3600));
  const std::string fileBefore = ReadFile(FilePath());
  stored_logins_.clear();

  store.SelectLogin("dr.a");
  store.TokenRefused();

  ASSERT_EQ(store.Entries().size(), 1u);
  EXPECT_EQ(store.Entries()[0].hin_id, "dr.b");
  EXPECT_EQ(store.CurrentLogin(), " ");
  EXPECT_EQ(stored_logins_, std::vector<std::string>{" "});
  // Nothing is written until the next token reply or the end of the holder.
  EXPECT_EQ(ReadFile(FilePath()), fileBefore);
}

TEST_F(TokenStoreTest, StoreHinLoginFailureDoesNotFailTheToken) {
  TransportSettings settings = CurrentTransportSettings();
  settings.storeHinLogin = [](const std::string&) { throw std::runtime_error("settings file not writable"); };
  SetTransportSettings(settings);
  TokenStore store(FilePath());
  EXPECT_EQ(store.ApplyTokenResponse(TokenReply("dr.muster", "A1", 3600)).access_token, "A1");
}

TEST_F(TokenStoreTest, UnexpiredTokenIsAnsweredWithoutNetwork) {
  const int64_t future = std::time(nullptr) + 100;
  WriteFile(FilePath(), "{\"client_id\":\"c\",\"token_group\":\"g\",\"tokens\":["
                        "{\"hin_id\":\"dr.a\",\"access_token\":\"TA\",\"refresh_token\":\"\",\"expire\":" +
                            std::to_string(future) + "}]}");
  TokenStore store(FilePath());
  store.SelectLogin("dr.a");
  store.SetLoginWait(std::chrono::milliseconds(0));
  EXPECT_EQ(store.GetAccessToken(), "TA");
}

TEST_F(TokenStoreTest, ExpiredTokenWithUnreachableServiceAnswersTheOldOne) {
  // The token endpoint is a closed port and no browser can be started, so
  // neither the refresh nor the login gives anything: the old token is
  // answered as it is, and nothing changes.
  WriteFile(FilePath(), "{\"client_id\":\"c\",\"token_group\":\"g\",\"tokens\":["
                        "{\"hin_id\":\"dr.a\",\"access_token\":\"OLD\",\"refresh_token\":\"R\",\"expire\":5}]}");
  TokenStore store(FilePath());
  store.SelectLogin("dr.a");
  // The failed transfer is the debug log's business, not the terminal's.
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(store.GetAccessToken(), "OLD");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(store.Entries()[0].expire, 5);
  EXPECT_EQ(store.CurrentLogin(), "dr.a");
}

TEST(RedirectRequestTest, TakesCodeAndStateFromTheRequestLine) {
  struct Case {
    const char* request;
    std::optional<std::string> code;
    std::optional<std::string> state;
  };
  const std::string longCode(2000, 'k');
  const Case cases[] = {
      {"GET /?code=abc&state=12 HTTP/1.1\r\nHost: localhost\r\n\r\n", "abc", "12"},
      {"GET /?state=12&code=abc HTTP/1.1\r\n\r\n", "abc", "12"},
      {"GET /?code=abc", "abc", std::nullopt},
      {"GET /?code=a%2Bb&state=1 HTTP/1.1\r\n", "a%2Bb", "1"},
      {"GET /?xcode=1&code=2&code=3 HTTP/1.1\r\n", "2", std::nullopt},
      {"GET /?code=&state=7 HTTP/1.1\r\n", "", "7"},
      {"GET /?state=12 HTTP/1.1\r\n\r\n", std::nullopt, "12"},
      {"GET /favicon.ico HTTP/1.1\r\n\r\n", std::nullopt, std::nullopt},
      // A header is never the source of a code.
      {"GET / HTTP/1.1\r\nReferer: http://evil/?code=stolen&state=12\r\n\r\n", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    RedirectQuery query = ParseRedirectRequest(c.request);
    EXPECT_EQ(query.code, c.code);
    EXPECT_EQ(query.state, c.state);
  }
  // No length limit cuts a long code.
  EXPECT_EQ(ParseRedirectRequest("GET /?code=" + longCode + "&state=1 HTTP/1.1\r\n").code, longCode);
}

TEST(RedirectRequestTest, EscapingKeepsOnlyUnreservedBytes) {
  EXPECT_EQ(EscapeUrlComponent("http://localhost:4711/"), "http%3A%2F%2Flocalhost%3A4711%2F");
  EXPECT_EQ(EscapeUrlComponent("aZ09-._~ +&=\xc3\xa4"), "aZ09-._~%20%2B%26%3D%C3%A4");
}

TEST(RedirectRequestTest, StatesAreFreshAndLong) {
  const std::string a = NewLoginState();
  const std::string b = NewLoginState();
  EXPECT_EQ(a.size(), 32u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a, b);
}

TEST(PkceTest, ChallengeIsTheUnpaddedBase64UrlOfTheVerifiersSha256) {
  // The worked example of RFC 7636, appendix B.
  EXPECT_EQ(PkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  // The two bytes that standard Base64 writes as "+" and "/", and no padding.
  EXPECT_EQ(Base64UrlEncode("\xfb\xff"), "-_8");
  EXPECT_EQ(Base64UrlEncode("\xfb\xff\xbf"), "-_-_");

  const std::optional<PkcePair> a = NewPkcePair();
  const std::optional<PkcePair> b = NewPkcePair();
  ASSERT_TRUE(a && b);
  // 32 random bytes: 43 characters of the URL-safe alphabet.
  EXPECT_EQ(a->verifier.size(), 43u);
  EXPECT_EQ(a->verifier.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
            std::string::npos);
  EXPECT_EQ(a->challenge, PkceChallenge(a->verifier));
  EXPECT_NE(a->verifier, b->verifier);
}

TEST(LoginPageFileTest, HoldsOnlyTheRefreshForOurEyesAndIsRemoved) {
  TempDir dir;
  const std::string url = "http://hin.example/a?x=1&y=\"2\"&z=<3>'";
  // Even a permissive umask gives no one else a look.
  const mode_t previous = ::umask(0);
  std::string path;
  {
    LoginPageFile page;
    ASSERT_TRUE(page.Create(dir.path(), url));
    ::umask(previous);
    path = page.Path();
    EXPECT_EQ(std::filesystem::path(path).parent_path(), dir.path());
    EXPECT_EQ(FileMode(path), 0600u);
    EXPECT_EQ(ReadFile(path), "<meta http-equiv=\"refresh\" content=\"0;url=http://hin.example/a?x=1&amp;y="
                              "&quot;2&quot;&amp;z=&lt;3&gt;&#39;\">\n");
    LoginPageFile other;
    ASSERT_TRUE(other.Create(dir.path(), url));
    EXPECT_NE(other.Path(), path);
    other.Remove();
    EXPECT_TRUE(other.Path().empty());
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

  // No directory, or none that the environment could name: no page at all,
  // never one in the working directory.
  for (const std::string& directory : {dir.Sub("missing"), std::string(), std::string("relative")}) {
    SCOPED_TRACE(directory);
    LoginPageFile page;
    EXPECT_FALSE(page.Create(directory, url));
    EXPECT_TRUE(page.Path().empty());
  }
}

// Sends one request to the listener and answers what came back.
std::string Exchange(int port, const std::string& request) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return "connect failed";
  }
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer;
  char buffer[1024];
  ssize_t n;
  while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, static_cast<size_t>(n));
  ::close(fd);
  return answer;
}

TEST(RedirectListenerTest, ForgedRedirectIsRefusedAndTheRealOneStillCounts) {
  RedirectListener listener;
  ASSERT_TRUE(listener.Open());
  const int port = listener.Port();
  auto browser = std::async(std::launch::async, [port] {
    std::vector<std::string> answers;
    answers.push_back(Exchange(port, "GET /?code=forged&state=999 HTTP/1.1\r\nHost: x\r\n\r\n"));
    answers.push_back(Exchange(port, "GET /?code=nostate HTTP/1.1\r\n\r\n"));
    answers.push_back(Exchange(port, "GET /?code=real&state=s3cret HTTP/1.1\r\nHost: x\r\n\r\n"));
    return answers;
  });
  EXPECT_EQ(listener.WaitForCode("s3cret", "https://start.example/", std::chrono::seconds(20)), "real");
  std::vector<std::string> answers = browser.get();
  EXPECT_TRUE(answers[0].starts_with("HTTP/1.1 400 ")) << answers[0];
  EXPECT_TRUE(answers[1].starts_with("HTTP/1.1 400 ")) << answers[1];
  EXPECT_TRUE(answers[2].starts_with("HTTP/1.1 303 See other\r\nLocation: https://start.example/\r\n")) << answers[2];
  // The listener is closed once the login has its answer.
  EXPECT_EQ(Exchange(port, "GET /?code=late&state=s3cret HTTP/1.1\r\n\r\n"), "connect failed");
}

TEST(RedirectListenerTest, RedirectWithOurStateButNoCodeEndsTheLogin) {
  RedirectListener listener;
  ASSERT_TRUE(listener.Open());
  const int port = listener.Port();
  auto browser = std::async(std::launch::async, [port] {
    return Exchange(port, "GET /?error=access_denied&state=s3cret HTTP/1.1\r\n\r\n");
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(listener.WaitForCode("s3cret", "https://start.example/", std::chrono::seconds(20)), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(browser.get().starts_with("HTTP/1.1 303 "));
}

TEST(RedirectListenerTest, ForgedRedirectCannotStretchTheWait) {
  RedirectListener listener;
  ASSERT_TRUE(listener.Open());
  const int port = listener.Port();
  auto browser = std::async(std::launch::async, [port] {
    return Exchange(port, "GET /?code=forged&state=1 HTTP/1.1\r\n\r\n");
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(listener.WaitForCode("s3cret", "https://start.example/", std::chrono::milliseconds(1500)),
            std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(browser.get().starts_with("HTTP/1.1 400 "));
}

class OAuthClientTest : public ::testing::Test {
 protected:
  void TearDown() override {
    client_.Shutdown();
    SetAccessTokenProvider(nullptr);
  }
  OAuthClient client_;
};

TEST_F(OAuthClientTest, TokenFileLiesInTheApplicationDataDirectory) {
  EXPECT_EQ(OAuthClient::TokenFilePath(),
            std::string(std::getenv("XDG_CONFIG_HOME")) + "/Belmor/korvex-ordiva/hin-oauth.json");
}

TEST_F(OAuthClientTest, HolderProvidesTokensWhileItExists) {
  EXPECT_EQ(client_.GetLogins(), std::vector<std::string>{KorvexLogger::GetMessageText(64)});
  EXPECT_FALSE(client_.SelectLogin("dr.a"));
  ASSERT_TRUE(client_.Init());
  std::shared_ptr<TokenStore> store = client_.Store();
  ASSERT_TRUE(store);
  EXPECT_EQ(store->Path(), OAuthClient::TokenFilePath());
  EXPECT_EQ(CurrentAccessTokenProvider(), store);
  EXPECT_TRUE(client_.SelectLogin("dr.a"));
  EXPECT_EQ(store->CurrentLogin(), "dr.a");

  // A second client shares the one store; Init again changes nothing.
  OAuthClient second;
  ASSERT_TRUE(second.Init());
  EXPECT_EQ(second.Store(), store);
  EXPECT_TRUE(client_.Init());
  EXPECT_EQ(client_.Store(), store);
  second.Shutdown();
  EXPECT_FALSE(second.Store());
  // The holder lives on while the first client still holds it.
  EXPECT_EQ(CurrentAccessTokenProvider(), store);

  std::filesystem::create_directories(std::filesystem::path(store->Path()).parent_path());
  store->Load();
  client_.Shutdown();
  EXPECT_FALSE(client_.Store());
  EXPECT_EQ(CurrentAccessTokenProvider(), nullptr);
  // Destroying the holder wrote the (empty) token file.
  EXPECT_EQ(ReadFile(OAuthClient::TokenFilePath()),
            "{\"client_id\":\"ch.korvex.ordivaclient\",\"token_group\":\"korvex_inputgate\",\"tokens\":[]}");
  EXPECT_EQ(FileMode(OAuthClient::TokenFilePath()), 0600u);
  std::filesystem::remove(OAuthClient::TokenFilePath());
}

TEST_F(OAuthClientTest, CancelAndBeginRunReachTheStore) {
  // Without a store there is nothing to cancel.
  client_.Cancel();
  client_.BeginRun();
  ASSERT_TRUE(client_.Init());
  std::shared_ptr<TokenStore> store = client_.Store();
  // Cancel must not wait for the store's lock, which a login holds for
  // up to a minute.
  store->Lock();
  auto cancel = std::async(std::launch::async, [this] { client_.Cancel(); });
  EXPECT_EQ(cancel.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  store->Unlock();
  cancel.get();
  EXPECT_TRUE(store->LoginBlocked());
  client_.BeginRun();
  EXPECT_FALSE(store->LoginBlocked());
}

TEST_F(OAuthClientTest, FixedAnswers) {
  EXPECT_EQ(client_.GetVersion(), "Korvex oAuth Client V 1.0.1");
  EXPECT_EQ(client_.GetProxyHost(), "");
  EXPECT_EQ(client_.GetProxyPort(), 0);
  EXPECT_TRUE(client_.IsAvailable());
  std::string text = "secret";
  EXPECT_TRUE(client_.ClearText(text));
  EXPECT_EQ(text, "");
}

}  // namespace
}  // namespace belmor::korvex
