// The HIN login against another user of the same machine. Anyone on the
// machine can read every process's arguments in /proc; the browser command's
// arguments must therefore give away nothing that completes the practice's
// login: a code of the intruder's own sent to the loopback listener is
// refused, and the practice's token file stays as it was.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/scoped_env.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/trust_center_sim.h"
#include "transport/json.h"
#include "transport/sim_fixture.h"
#include "transport/token_store.h"

namespace belmor::korvex {
namespace {

using belmor::testing::ReadFile;
using belmor::testing::ScopedEnv;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;

constexpr char kTokenPath[] = "/REST/v1/OAuth/GetAccessToken";

RpcValue ParseJson(const std::string& text) {
  std::istringstream in(text);
  RpcValue value;
  ReadJson(value, in);
  return value;
}

// Runs argv to its end with its output collected; the output, or nullopt
// when it could not be started.
std::optional<std::string> RunToEnd(const std::vector<std::string>& argv, const std::string& outputPath) {
  pid_t pid = belmor::testing::SpawnWithOutput(argv, outputPath);
  if (pid < 0) return std::nullopt;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::nullopt;
  }
  return ReadFile(outputPath);
}

// An ordinary user of this machine, made for one test and removed with it
// (also when the test fails).
class LocalUser {
 public:
  LocalUser() {
    std::random_device device;
    name_ = "kxother" + std::to_string(::getpid()) + "x" + std::to_string(device() % 100000);
    TempDir scratch;
    const std::optional<std::string> out =
        RunToEnd({"useradd", "--no-create-home", "--user-group", "--shell", "/usr/sbin/nologin", name_},
                 scratch.Sub("useradd.out"));
    const passwd* entry = ::getpwnam(name_.c_str());
    if (entry == nullptr) {
      error_ = "useradd " + name_ + " failed: " + out.value_or("not started");
      return;
    }
    uid_ = entry->pw_uid;
    gid_ = entry->pw_gid;
  }
  ~LocalUser() {
    if (uid_ == 0) return;
    TempDir scratch;
    RunToEnd({"userdel", name_}, scratch.Sub("userdel.out"));
  }
  LocalUser(const LocalUser&) = delete;
  LocalUser& operator=(const LocalUser&) = delete;

  bool Exists() const { return uid_ != 0; }
  const std::string& Error() const { return error_; }

  // argv run as this user, without any group of ours.
  std::vector<std::string> As(std::vector<std::string> argv) const {
    std::vector<std::string> full = {"setpriv", "--reuid=" + std::to_string(uid_), "--regid=" + std::to_string(gid_),
                                     "--clear-groups", "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
  }

 private:
  std::string name_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  std::string error_;
};

// Stands in for the browser: records its pid and arguments, then stays alive
// a while so that its arguments can be read in /proc.
constexpr char kBrowserScript[] = R"py(#!/usr/bin/python3
import json, os, sys, time
record = os.environ["KX_TEST_BROWSER_RECORD"]
with open(record + ".tmp", "w") as f:
    json.dump({"pid": os.getpid()}, f)
os.rename(record + ".tmp", record)
time.sleep(60)
)py";

// The other user: finds the login in the browser's arguments (a URL, or a
// file named there that holds one), gets a code of its own from the HIN
// login page for the same listener, and sends it there with the state it
// found. Prints what it saw and did as one JSON object.
constexpr char kIntruderScript[] = R"py(
import html, http.client, json, re, sys, urllib.parse
pid, login_base = sys.argv[1], sys.argv[2]
seen = {}

def get(base, target):
    parts = urllib.parse.urlsplit(base)
    connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)
    try:
        connection.request("GET", target)
        response = connection.getresponse()
        response.read()
        return response.status, response.getheader("Location")
    finally:
        connection.close()

try:
    with open("/proc/%s/cmdline" % pid, "rb") as f:
        seen["args"] = [a.decode() for a in f.read().split(b"\0") if a]
    # The product gives the browser one argument, the last.
    url = seen["args"][-1]
    if "://" not in url:
        try:
            with open(url) as f:
                found = re.search(r'url=([^"]*)"', f.read())
            url = html.unescape(found.group(1)) if found else None
        except OSError as e:
            seen["file_error"] = e.strerror
            url = None
    if url:
        query = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(url).query))
        redirect, state = query.get("redirect_uri"), query.get("state")
        seen["state_found"] = bool(redirect and state)
        if redirect and state:
            _, location = get(login_base, "/REST/v1/OAuth/GetAuthCode/korvex_inputgate?" + urllib.parse.urlencode(
                {"response_type": "code", "client_id": query.get("client_id", ""), "redirect_uri": redirect,
                 "state": "1"}))
            code = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(location).query))["code"]
            seen["listener_status"], _ = get(redirect, "/?" + urllib.parse.urlencode({"code": code, "state": state}))
except Exception as e:
    seen["error"] = "%s: %s" % (type(e).__name__, e)
print(json.dumps(seen))
)py";

class OAuthLocalUserTest : public testing::SharedSimTest {
 protected:
  void SetUp() override {
    sim_->SetControl("{}");
    TransportSettings settings;
    settings.caFile = sim_->CaFile();
    settings.hinAuthUrl = sim_->LoginBaseUrl();
    settings.hinTokenUrl = sim_->TokenBaseUrl();
    settings.hinStartPage = sim_->LoginBaseUrl() + "/start";
    SetTransportSettings(settings);
    seen_requests_ = sim_->RequestLog().size();
  }
  void TearDown() override { SetTransportSettings(TransportSettings()); }

  int TokenCalls() const {
    const std::vector<std::string> log = sim_->RequestLog();
    int calls = 0;
    for (size_t i = seen_requests_; i < log.size(); ++i) {
      if (testing::ParseLoggedRequest(log[i]).path == kTokenPath) ++calls;
    }
    return calls;
  }

  size_t seen_requests_ = 0;
};

TEST_F(OAuthLocalUserTest, AnotherUserCannotCompleteTheLoginWithACodeOfItsOwn) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a second user needs root";
  LocalUser other;
  ASSERT_TRUE(other.Exists()) << other.Error();

  TempDir dir;
  // The other user's script lies where it may read it; nothing else of the
  // test does.
  char shared[] = "/tmp/kx-other-user-XXXXXX";
  ASSERT_NE(::mkdtemp(shared), nullptr);
  struct RemoveShared {
    std::string path;
    ~RemoveShared() { std::filesystem::remove_all(path); }
  } removeShared{shared};
  ::chmod(shared, 0755);
  const std::string intruder = std::string(shared) + "/intruder.py";
  WriteFile(intruder, kIntruderScript);
  ::chmod(intruder.c_str(), 0644);

  const std::string browser = dir.Sub("browser");
  const std::string record = dir.Sub("browser.json");
  WriteFile(browser, kBrowserScript);
  ::chmod(browser.c_str(), 0755);
  ScopedEnv browserEnv("KORVEX_BROWSER", browser);
  ScopedEnv recordEnv("KX_TEST_BROWSER_RECORD", record);

  // The practice has a login already, whose file must come through untouched.
  const std::string tokenFile = dir.Sub(kTokenFileName);
  WriteFile(tokenFile, "{\"client_id\":\"ch.korvex.ordivaclient\",\"token_group\":\"korvex_inputgate\",\"tokens\":"
                       "[{\"hin_id\":\"dr.praxis\",\"access_token\":\"OLD\",\"refresh_token\":\"\",\"expire\":5}]}");
  ::chmod(tokenFile.c_str(), 0600);
  const std::string before = ReadFile(tokenFile);
  struct stat beforeStat {};
  ASSERT_EQ(::stat(tokenFile.c_str(), &beforeStat), 0);

  TokenStore store(tokenFile);
  store.SelectLogin("dr.praxis");
  store.SetLoginWait(std::chrono::seconds(30));
  auto login = std::async(std::launch::async, [&store] { return store.GetAccessToken(); });
  // A test that stops early must not wait out the login.
  struct CancelOnExit {
    TokenStore& store;
    ~CancelOnExit() { store.CancelLogin(); }
  } cancelOnExit{store};

  pid_t browserPid = -1;
  for (int i = 0; i < 200 && browserPid < 0; ++i) {
    if (std::filesystem::exists(record)) browserPid = ParseJson(ReadFile(record)).GetMember("pid").AsInt();
    if (browserPid < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  struct KillBrowser {
    pid_t& pid;
    ~KillBrowser() {
      if (pid > 0) ::kill(pid, SIGTERM);
    }
  } killBrowser{browserPid};
  ASSERT_GT(browserPid, 0) << "the browser command did not start";

  const std::optional<std::string> output =
      RunToEnd(other.As({"/usr/bin/python3", intruder, std::to_string(browserPid), sim_->LoginBaseUrl()}),
               dir.Sub("intruder.out"));
  ASSERT_TRUE(output) << "could not run as the other user";
  const RpcValue seen = ParseJson(*output);
  // The attack is real: the other user reads the browser's arguments.
  ASSERT_TRUE(seen.GetMember("args").IsValid()) << *output;
  EXPECT_FALSE(seen.GetMember("error").IsValid()) << *output;

  // A login the intruder completed would be over within moments; one it
  // could not reach waits for the real browser, so it is cancelled then.
  if (login.wait_for(std::chrono::seconds(5)) != std::future_status::ready) store.CancelLogin();
  ASSERT_EQ(login.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  // The practice's old token is all there is, not one of the intruder's.
  EXPECT_EQ(login.get(), "OLD") << *output;
  EXPECT_EQ(TokenCalls(), 0) << *output;
  EXPECT_EQ(store.CurrentLogin(), "dr.praxis");
  EXPECT_EQ(ReadFile(tokenFile), before);
  struct stat afterStat {};
  ASSERT_EQ(::stat(tokenFile.c_str(), &afterStat), 0);
  EXPECT_EQ(afterStat.st_ino, beforeStat.st_ino);
  EXPECT_EQ(afterStat.st_mtim.tv_sec, beforeStat.st_mtim.tv_sec);
  EXPECT_EQ(afterStat.st_mtim.tv_nsec, beforeStat.st_mtim.tv_nsec);
}

}  // namespace
}  // namespace belmor::korvex
