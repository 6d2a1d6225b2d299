#include "platform/command.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/identity.h"

namespace belmor::platform {

namespace {

// Starts args[0] with the rest as its arguments; answers the pid, or -1 when
// it could not be started. The server may ignore or block signals such as
// SIGPIPE; the started program gets the default disposition of every signal.
// With ownGroup the program leads a process group of its own, so that it can
// be ended together with whatever it starts.
pid_t Start(std::vector<std::string> args, bool ownGroup = false) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawnattr_t attributes;
  if (::posix_spawnattr_init(&attributes) != 0) return -1;
  sigset_t no_signals;
  sigset_t all_signals;
  ::sigemptyset(&no_signals);
  ::sigfillset(&all_signals);
  ::posix_spawnattr_setsigmask(&attributes, &no_signals);
  ::posix_spawnattr_setsigdefault(&attributes, &all_signals);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (ownGroup) {
    ::posix_spawnattr_setpgroup(&attributes, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  ::posix_spawnattr_setflags(&attributes, flags);

  pid_t pid = -1;
  // glibc reports a failed exec here rather than as the child's exit status.
  int error = ::posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), environ);
  ::posix_spawnattr_destroy(&attributes);
  return error == 0 ? pid : -1;
}

int ExitStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int Wait(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return ExitStatus(status);
}

// True once the child has ended (and is reaped) within limit.
bool Reaped(pid_t pid, std::chrono::milliseconds limit, int& exitStatus) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == pid) {
      exitStatus = ExitStatus(status);
      return true;
    }
    if (ended < 0 && errno != EINTR) {
      exitStatus = -1;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

constexpr int kEndedByUs = -1;

// Waits for a program started with its own group; once timeout has passed or
// stopped() says so, ends the whole group (a dialog that ignores SIGTERM is
// killed a moment later) and answers kEndedByUs.
int WaitBounded(pid_t pid, std::chrono::milliseconds timeout, const std::function<bool()>& stopped) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int exitStatus = -1;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (Reaped(pid, std::clamp(left, std::chrono::milliseconds(0), std::chrono::milliseconds(50)), exitStatus)) {
      return exitStatus;
    }
    if (std::chrono::steady_clock::now() >= deadline || (stopped && stopped())) break;
  }
  ::kill(-pid, SIGTERM);
  if (!Reaped(pid, std::chrono::seconds(1), exitStatus)) {
    ::kill(-pid, SIGKILL);
    Wait(pid);
  }
  // What the program started dies with the group too, also when it outlived
  // the program itself.
  ::kill(-pid, SIGKILL);
  return kEndedByUs;
}

int Ask(std::vector<std::string> args, std::chrono::milliseconds timeout, const std::function<bool()>& stopped) {
  if (stopped && stopped()) return kEndedByUs;
  pid_t pid = Start(std::move(args), true);
  return pid < 0 ? kCommandNotStarted : WaitBounded(pid, timeout, stopped);
}

int Run(std::vector<std::string> args) {
  pid_t pid = Start(std::move(args));
  return pid < 0 ? kCommandNotStarted : Wait(pid);
}

}  // namespace

int RunCommand(const std::string& program, const std::string& argument) {
  return Run({program, argument});
}

bool LaunchCommand(const std::string& program, const std::string& argument) {
  pid_t pid = Start({program, argument});
  if (pid < 0) return false;
  try {
    std::thread([pid] { Wait(pid); }).detach();
  } catch (const std::system_error&) {
    // Without a thread the program still runs; it stays a zombie until we end.
  }
  return true;
}

bool OpenInBrowser(const std::string& url_or_path) {
  std::string browser = EnvironmentVariable("KORVEX_BROWSER");
  return LaunchCommand(browser.empty() ? "xdg-open" : browser, url_or_path);
}

bool AskYesNo(const std::string& question, std::chrono::milliseconds timeout, const std::function<bool()>& stopped) {
  std::string confirm = EnvironmentVariable("KORVEX_CONFIRM");
  if (!confirm.empty()) return Ask({confirm, question}, timeout, stopped) == 0;
  if (EnvironmentVariable("DISPLAY").empty() && EnvironmentVariable("WAYLAND_DISPLAY").empty()) return false;
  // Without --no-markup an "&" or "<" in the question would garble the dialog.
  return Ask({"zenity", "--question", "--no-markup", "--text=" + question}, timeout, stopped) == 0;
}

}  // namespace belmor::platform
