#ifndef KORVEX_TESTS_SERVER_SERVER_BUS_SUPPORT_H_
#define KORVEX_TESTS_SERVER_SERVER_BUS_SUPPORT_H_

// What the tests of the server on a private bus share: the bus with the
// server registered, clients of our own through the generated proxy, and the
// error of a call that must fail.

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <korvex/korvex_proxy.h>
#include <sdbus-c++/sdbus-c++.h>

#include "platform/scoped_env.h"
#include "support/child_process.h"
#include "support/private_bus.h"
#include "support/temp_dir.h"

namespace belmor::korvex::server::testing {

using belmor::testing::PrivateBus;
using belmor::testing::ReadFile;
using belmor::testing::ScopedEnv;
using belmor::testing::TempDir;

// Where a server built with ThreadSanitizer writes its reports while the
// object lives: the bus starts the server with the bus daemon's environment,
// which is this test's, and a server started by hand has it too. The end of
// the object fails the test for every report found; builds without the
// sanitizer never write one.
class RaceReports {
 public:
  RaceReports() : options_("TSAN_OPTIONS", Options(dir_.Sub("race"))) {}
  ~RaceReports() {
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      ADD_FAILURE() << "ThreadSanitizer report of the server, " << entry.path().filename().string() << ":\n"
                    << ReadFile(entry.path().string());
    }
  }
  RaceReports(const RaceReports&) = delete;
  RaceReports& operator=(const RaceReports&) = delete;

 private:
  // The options the test program runs with (scripts/test's halt_on_error),
  // and reports to files named logPath.<pid> instead of stderr.
  static std::string Options(const std::string& logPath) {
    const char* inherited = std::getenv("TSAN_OPTIONS");
    return (inherited && *inherited ? std::string(inherited) + ":" : std::string()) + "log_path=" + logPath;
  }

  TempDir dir_;
  ScopedEnv options_;
};

// A private bus whose servers report their races to the test. The reports
// are looked at after the bus has ended and the server with it.
class ServerBus : private RaceReports, public PrivateBus {
 public:
  using PrivateBus::PrivateBus;
};

// A private bus with the server registered per user, where it finds it.
class RegisteredBus : public ServerBus {
 public:
  RegisteredBus() { EXPECT_TRUE(RegisterServer(KORVEX_SERVER_PROGRAM)); }
};

struct Event {
  int32_t level, mclass, origin, code;
  std::string fileName, message;
  bool operator==(const Event& o) const {
    return level == o.level && mclass == o.mclass && origin == o.origin && code == o.code &&
           fileName == o.fileName && message == o.message;
  }
};

class Instance : public sdbus::ProxyInterfaces<ch::belmor::Korvex::IKorvex_proxy, sdbus::Properties_proxy> {
 public:
  Instance(sdbus::IConnection& connection, const sdbus::ObjectPath& path)
      : ProxyInterfaces(connection, "ch.belmor.Korvex", path) {
    registerProxy();
  }
  ~Instance() { unregisterProxy(); }

  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<std::string> Changed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return changed_;
  }
  // True once the step of origin reported its completion.
  bool Completed(int32_t origin) {
    for (const Event& e : Events())
      if (e.mclass == 2 && e.code == 1 && e.origin == origin) return true;
    return false;
  }

 private:
  void onKorvexEvent(const int32_t& level, const int32_t& mclass, const int32_t& origin, const int32_t& code,
                     const std::string& filename, const std::string& msg) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({level, mclass, origin, code, filename, msg});
  }
  void onPropertiesChanged(const std::string&, const std::map<std::string, sdbus::Variant>& changed,
                           const std::vector<std::string>& invalidated) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [name, value] : changed) changed_.push_back(name);
    for (const auto& name : invalidated) changed_.push_back(name);
  }

  std::mutex mutex_;
  std::vector<Event> events_;
  std::vector<std::string> changed_;
};

class FactoryProxy : public sdbus::ProxyInterfaces<ch::belmor::Korvex::Factory_proxy> {
 public:
  explicit FactoryProxy(sdbus::IConnection& connection)
      : ProxyInterfaces(connection, "ch.belmor.Korvex", "/ch/belmor/Korvex") {
    registerProxy();
  }
  ~FactoryProxy() { unregisterProxy(); }
};

// One client: its own bus connection and one automation object.
class Client {
 public:
  Client() : connection_(sdbus::createSessionBusConnection()) {
    connection_->enterEventLoopAsync();
    FactoryProxy factory(*connection_);
    path_ = factory.CreateInstance();
    korvex_ = std::make_unique<Instance>(*connection_, path_);
  }
  ~Client() {
    korvex_.reset();
    connection_->leaveEventLoop();
  }
  Instance& operator*() { return *korvex_; }
  Instance* operator->() { return korvex_.get(); }
  const std::string& Path() const { return path_; }

 private:
  std::unique_ptr<sdbus::IConnection> connection_;
  std::string path_;
  std::unique_ptr<Instance> korvex_;
};

// The D-Bus error name of a call that must fail.
inline std::string ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const sdbus::Error& e) {
    return e.getName() + " " + e.getMessage();
  }
  return "no error";
}

}  // namespace belmor::korvex::server::testing

#endif  // KORVEX_TESTS_SERVER_SERVER_BUS_SUPPORT_H_
