#ifndef KORVEX_TESTS_SUPPORT_PRIVATE_BUS_H_
#define KORVEX_TESTS_SUPPORT_PRIVATE_BUS_H_

// What the tests of the automation server and of its clients need to run
// the real server: child processes, a session bus of the test's own, and
// patient polling.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/scoped_env.h"
#include "support/temp_dir.h"

namespace belmor::testing {

// Polls condition every 50 ms until it holds or limit has passed; answers
// whether it held. Limits are generous: the machine may be loaded.
bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(60));

// A child process with its output in a file; killed when still running at
// the end of the object.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& output);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The exit status, -1 after a signal or when it did not end in time.
  int Wait(std::chrono::seconds limit = std::chrono::seconds(120));
  bool Running();
  std::string Output() const;
  pid_t Pid() const { return pid_; }

 private:
  std::string output_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Runs a tool to its end and answers its output, its output file in dir;
// status gets the exit status.
std::string RunTool(const std::vector<std::string>& argv, const TempDir& dir, int* status = nullptr);

// A session bus of this test alone (DBUS_SESSION_BUS_ADDRESS points at it
// while the object lives), which starts services from servicesDir: by
// default the per-user registration directory under $XDG_DATA_HOME. The end
// of the object kills the server and stops the bus.
class PrivateBus {
 public:
  explicit PrivateBus(std::string servicesDir = std::string());
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // The process owning ch.belmor.Korvex; 0 when none does.
  pid_t ServerPid() const;
  void KillServer() const;
  const TempDir& Dir() const { return dir_; }
  // Registers the server program for this user (where the bus finds it, in
  // XDG_DATA_HOME); true when the registration succeeded.
  bool RegisterServer(const std::string& program) const;

 private:
  TempDir dir_;
  std::optional<ScopedEnv> address_;
  std::unique_ptr<Child> daemon_;
};

}  // namespace belmor::testing

#endif  // KORVEX_TESTS_SUPPORT_PRIVATE_BUS_H_
