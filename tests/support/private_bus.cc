#include "support/private_bus.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

#include "support/child_process.h"

namespace belmor::testing {

namespace fs = std::filesystem;

bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

Child::Child(const std::vector<std::string>& argv, const std::string& output) : output_(output) {
  pid_ = SpawnWithOutput(argv, output_);
}

Child::~Child() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

int Child::Wait(std::chrono::seconds limit) {
  if (status_) return *status_;
  const auto end = std::chrono::steady_clock::now() + limit;
  int raw = 0;
  while (::waitpid(pid_, &raw, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return *status_;
}

bool Child::Running() {
  if (status_) return false;
  int raw = 0;
  if (::waitpid(pid_, &raw, WNOHANG) == 0) return true;
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return false;
}

std::string Child::Output() const { return fs::exists(output_) ? ReadFile(output_) : ""; }

std::string RunTool(const std::vector<std::string>& argv, const TempDir& dir, int* status) {
  static int counter = 0;
  Child tool(argv, dir.Sub("tool" + std::to_string(++counter) + ".out"));
  const int rc = tool.Wait();
  if (status) *status = rc;
  return tool.Output();
}

PrivateBus::PrivateBus(std::string services) {
  if (services.empty()) services = std::string(std::getenv("XDG_DATA_HOME")) + "/dbus-1/services";
  fs::create_directories(services);
  WriteFile(dir_.Sub("bus.conf"),
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig><type>session</type><keep_umask/><listen>unix:path=" + dir_.Sub("socket") +
                "</listen><servicedir>" + services +
                "</servicedir><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
  address_.emplace("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir_.Sub("socket"));
  daemon_ = std::make_unique<Child>(
      std::vector<std::string>{"dbus-daemon", "--nofork", "--config-file=" + dir_.Sub("bus.conf")},
      dir_.Sub("daemon.log"));
  if (!WaitFor([this] { return fs::exists(dir_.Sub("socket")); }, std::chrono::seconds(30))) {
    ADD_FAILURE() << "no bus: " << daemon_->Output();
  }
}

bool PrivateBus::RegisterServer(const std::string& program) const {
  int status = 0;
  RunTool({program, "/RegServerPerUser"}, dir_, &status);
  return status == 0;
}

PrivateBus::~PrivateBus() {
  KillServer();
  ::kill(daemon_->Pid(), SIGTERM);
  daemon_->Wait(std::chrono::seconds(10));
}

pid_t PrivateBus::ServerPid() const {
  int status = 0;
  const std::string text =
      RunTool({"gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
               "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.GetConnectionUnixProcessID",
               "ch.belmor.Korvex"},
              dir_, &status);
  std::smatch match;
  static const std::regex number("uint32 ([0-9]+)");
  return status == 0 && std::regex_search(text, match, number) ? static_cast<pid_t>(std::stol(match[1])) : 0;
}

void PrivateBus::KillServer() const {
  if (const pid_t pid = ServerPid()) {
    ::kill(pid, SIGKILL);
    WaitFor([pid] { return ::kill(pid, 0) != 0; }, std::chrono::seconds(30));
  }
}

}  // namespace belmor::testing
