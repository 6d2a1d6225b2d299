#include "platform/command.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/identity.h"

namespace belmor::platform {

namespace {

// Starts args[0] with the rest as its arguments; answers the pid, or -1 when
// it could not be started. The server may ignore or block signals such as
// SIGPIPE; the started program gets the default disposition of every signal.
pid_t Start(std::vector<std::string> args) {
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
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  // glibc reports a failed exec here rather than as the child's exit status.
  int error = ::posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), environ);
  ::posix_spawnattr_destroy(&attributes);
  return error == 0 ? pid : -1;
}

int Wait(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
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

bool AskYesNo(const std::string& question) {
  std::string confirm = EnvironmentVariable("KORVEX_CONFIRM");
  if (!confirm.empty()) return RunCommand(confirm, question) == 0;
  if (EnvironmentVariable("DISPLAY").empty() && EnvironmentVariable("WAYLAND_DISPLAY").empty()) return false;
  // Without --no-markup an "&" or "<" in the question would garble the dialog.
  return Run({"zenity", "--question", "--no-markup", "--text=" + question}) == 0;
}

}  // namespace belmor::platform
