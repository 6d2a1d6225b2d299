#include "platform/command.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "scoped_env.h"
#include "support/temp_dir.h"

namespace belmor::platform {
namespace {

using namespace std::chrono_literals;
using belmor::testing::ReadFile;
using belmor::testing::ScopedEnv;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// Children of this process that ended and were never waited for.
std::vector<pid_t> ZombieChildren() {
  std::vector<pid_t> zombies;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return zombies;
  while (dirent* entry = ::readdir(proc)) {
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // "pid (name) state ppid ...": the name may hold anything, so read from its end.
    size_t close = line.rfind(')');
    if (close == std::string::npos || close + 4 > line.size()) continue;
    char state = line[close + 2];
    pid_t parent = std::stoi(line.substr(close + 4));
    if (state == 'Z' && parent == ::getpid()) zombies.push_back(std::stoi(entry->d_name));
  }
  ::closedir(proc);
  return zombies;
}

// Scripts written by each test into its own folder.
class CommandTest : public ::testing::Test {
 protected:
  std::string Script(const std::string& name, const std::string& body) {
    std::string path = dir_.Sub(name);
    WriteFile(path, "#!/bin/sh\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
    return path;
  }
  // A script that writes its arguments, one per line, to out and exits with status.
  std::string Recorder(const std::string& name, int status = 0) {
    return Script(name, "printf '%s\\n' \"$@\" > '" + Out() + "'\nexit " + std::to_string(status));
  }
  std::string Out() const { return dir_.Sub("out"); }

  TempDir dir_;
};

TEST_F(CommandTest, ArgumentReachesTheProgramUnchanged) {
  const std::string arguments[] = {
      "two words",
      "it's \"quoted\"",
      "$(touch " + dir_.Sub("injected") + ") `touch " + dir_.Sub("injected") + "`; touch " + dir_.Sub("injected"),
      "*",
      "",
      "https://hin.example/login?client=korvex&state=a b#frag",
  };
  std::string echo = Script("echo-arg", "printf '%s' \"$1\" > '" + Out() + "'\nprintf '%s' \"$#\" > '" + Out() + ".count'");
  for (const std::string& argument : arguments) {
    SCOPED_TRACE(argument);
    ASSERT_EQ(RunCommand(echo, argument), 0);
    EXPECT_EQ(ReadFile(Out()), argument);
    EXPECT_EQ(ReadFile(Out() + ".count"), "1");
  }
  EXPECT_FALSE(Exists(dir_.Sub("injected")));
}

TEST_F(CommandTest, AnswersTheExitStatus) {
  struct Case {
    std::string program;
    int expected;
  };
  WriteFile(dir_.Sub("not-executable"), "#!/bin/sh\nexit 0\n");
  const Case cases[] = {
      {Script("ok", "exit 0"), 0},
      {Script("three", "exit 3"), 3},
      {Script("killed", "kill -9 $$"), 128 + 9},
      {"false", 1},  // found through PATH
      {"true", 0},
      {dir_.Sub("missing"), kCommandNotStarted},
      {"korvex-no-such-program", kCommandNotStarted},
      {dir_.Sub("not-executable"), kCommandNotStarted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    EXPECT_EQ(RunCommand(c.program, "arg"), c.expected);
  }
}

TEST_F(CommandTest, BrowserRunsWithoutBeingWaitedForAndLeavesNoZombie) {
  const std::string go = dir_.Sub("go");
  const std::string done = dir_.Sub("done");
  // Stays until the test lets it go, like xdg-open staying with a browser it started.
  std::string browser = Script("browser", "printf '%s' \"$1\" > '" + Out() + "'\n" + "i=0\nwhile [ ! -e '" + go +
                                              "' ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done\n" +
                                              "touch '" + done + "'");
  ScopedEnv configured("KORVEX_BROWSER", browser);
  const std::string url = "https://hin.example/authorize?a=1&b=two words";

  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(OpenInBrowser(url));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

  ASSERT_TRUE(Eventually([&] { return Exists(Out()) && ReadFile(Out()) == url; }));
  EXPECT_FALSE(Exists(done));
  WriteFile(go, "");
  ASSERT_TRUE(Eventually([&] { return Exists(done); }));
  EXPECT_TRUE(Eventually([] { return ZombieChildren().empty(); }));
}

TEST_F(CommandTest, BrowserDefaultsToXdgOpen) {
  Recorder("xdg-open");
  ScopedEnv path("PATH", dir_.path() + ":" + std::getenv("PATH"));
  ScopedEnv unset("KORVEX_BROWSER", std::nullopt);
  ASSERT_TRUE(OpenInBrowser("/home/anna/kxp-setup.exe"));
  EXPECT_TRUE(Eventually([&] { return Exists(Out()) && ReadFile(Out()) == "/home/anna/kxp-setup.exe\n"; }));
}

TEST_F(CommandTest, BrowserThatCannotStartIsReported) {
  ScopedEnv configured("KORVEX_BROWSER", dir_.Sub("missing"));
  EXPECT_FALSE(OpenInBrowser("https://hin.example/"));
}

TEST_F(CommandTest, ConfirmCommandAnswersWithItsExitStatus) {
  struct Case {
    std::string program;
    bool expected;
  };
  const Case cases[] = {
      {Recorder("yes", 0), true},
      {Recorder("no", 1), false},
      {Recorder("other", 2), false},
      {dir_.Sub("missing"), false},
  };
  // A display must not matter once a command is configured.
  ScopedEnv display("DISPLAY", ":0");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    ::unlink(Out().c_str());
    ScopedEnv confirm("KORVEX_CONFIRM", c.program);
    EXPECT_EQ(AskYesNo("Update \"5.0.4\" & install now?"), c.expected);
    if (Exists(c.program)) {
      EXPECT_EQ(ReadFile(Out()), "Update \"5.0.4\" & install now?\n");
    }
  }
}

TEST_F(CommandTest, WithoutConfirmCommandAsksZenityOnlyWithADisplay) {
  Recorder("zenity", 0);
  ScopedEnv path("PATH", dir_.path() + ":" + std::getenv("PATH"));
  struct Case {
    std::optional<std::string> display, wayland_display;
    bool asks;
  };
  const Case cases[] = {
      {":0", std::nullopt, true},
      {std::nullopt, "wayland-0", true},
      {":0", "wayland-0", true},
      {std::nullopt, std::nullopt, false},
      {"", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("DISPLAY=" + c.display.value_or("<unset>") + " WAYLAND_DISPLAY=" +
                 c.wayland_display.value_or("<unset>"));
    ::unlink(Out().c_str());
    ScopedEnv display("DISPLAY", c.display);
    ScopedEnv wayland("WAYLAND_DISPLAY", c.wayland_display);
    EXPECT_EQ(AskYesNo("Install <now>?"), c.asks);
    if (c.asks) {
      EXPECT_EQ(ReadFile(Out()), "--question\n--no-markup\n--text=Install <now>?\n");
    } else {
      EXPECT_FALSE(Exists(Out()));
    }
  }
}

// Whether a process has ended: gone, or a zombie nobody has reaped yet.
bool Ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

// Nobody may be at the screen: an unanswered question is No once its time is
// up or the run is cancelled, and the dialog goes away with everything it
// started, long before it would have ended by itself (with Yes).
TEST_F(CommandTest, AnUnansweredQuestionIsNoAtItsTimeOrWhenStopped) {
  const std::string pids = dir_.Sub("pids");
  const std::string dialog = Script("dialog", "sleep 600 &\necho $$ $! > '" + pids + ".tmp'\nmv '" + pids + ".tmp' '" +
                                                  pids + "'\nwait\nexit 0");
  ScopedEnv confirm("KORVEX_CONFIRM", dialog);
  ScopedEnv display("DISPLAY", ":0");
  struct Case {
    const char* name;
    std::chrono::milliseconds timeout;
    bool stopWhenShown;
  };
  const Case cases[] = {
      {"time is up", 1500ms, false},
      {"stopped", kQuestionTimeout, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(pids.c_str());
    const auto start = std::chrono::steady_clock::now();
    const bool yes = AskYesNo("Update?", c.timeout, [&] { return c.stopWhenShown && Exists(pids); });
    EXPECT_FALSE(yes);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
    if (!c.stopWhenShown && !Exists(pids)) continue;  // ended before it got that far
    std::istringstream in(ReadFile(pids));
    pid_t shell = 0;
    pid_t sleeper = 0;
    ASSERT_TRUE(in >> shell >> sleeper);
    EXPECT_TRUE(Eventually([&] { return Ended(shell) && Ended(sleeper); }, 5s));
  }
  EXPECT_TRUE(ZombieChildren().empty());
}

TEST_F(CommandTest, AQuestionStoppedBeforeItIsAskedShowsNothing) {
  ScopedEnv confirm("KORVEX_CONFIRM", Recorder("yes", 0));
  EXPECT_FALSE(AskYesNo("Update?", kQuestionTimeout, [] { return true; }));
  EXPECT_FALSE(Exists(Out()));
  // Not stopped, the same command says Yes.
  EXPECT_TRUE(AskYesNo("Update?", kQuestionTimeout, [] { return false; }));
}

TEST_F(CommandTest, ZenityThatSaysNoOrIsMissingMeansNo) {
  ScopedEnv display("DISPLAY", ":0");
  {
    ScopedEnv path("PATH", dir_.path());  // no zenity anywhere
    EXPECT_FALSE(AskYesNo("Install?"));
  }
  Recorder("zenity", 1);
  ScopedEnv path("PATH", dir_.path() + ":" + std::getenv("PATH"));
  EXPECT_FALSE(AskYesNo("Install?"));
}

}  // namespace
}  // namespace belmor::platform
