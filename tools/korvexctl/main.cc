// korvexctl: drives the Korvex Ordiva server over the session bus.

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "ctl.h"
#include "korvex/korvex_proxy.h"
#include "platform/step_lock.h"
#include "platform/ui_language.h"

namespace belmor::korvexctl {
namespace {

constexpr const char* kBusName = "ch.belmor.Korvex";
constexpr const char* kFactoryPath = "/ch/belmor/Korvex";
constexpr const char* kInterface = "ch.belmor.Korvex.IKorvex";

// --- signals ------------------------------------------------------------------

volatile sig_atomic_t gSignal = 0;
int gSignalPipe[2] = {-1, -1};

void OnSignal(int number) {
  gSignal = number;
  const char byte = 's';
  [[maybe_unused]] ssize_t ignored = ::write(gSignalPipe[1], &byte, 1);
}

void InstallSignalHandlers() {
  if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  // A reader that went away must not keep us from releasing the instance.
  ::signal(SIGPIPE, SIG_IGN);
}

// --- output -------------------------------------------------------------------

void PrintLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Error texts carry names and the server's messages: escaped like any output.
void PrintError(const std::string& text) {
  const std::string line = "korvexctl: " + EscapeText(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// --- the bus ------------------------------------------------------------------

class InstanceProxy : public sdbus::ProxyInterfaces<ch::belmor::Korvex::IKorvex_proxy> {
 public:
  InstanceProxy(sdbus::IConnection& connection, const std::string& server, const std::string& path,
                std::function<void(const Report&)> sink)
      : ProxyInterfaces(connection, server, path), sink_(std::move(sink)) {
    registerProxy();
  }
  ~InstanceProxy() { unregisterProxy(); }

  sdbus::IProxy& Raw() { return getProxy(); }

 private:
  void onKorvexEvent(const int32_t& level, const int32_t& mclass, const int32_t& origin, const int32_t& code,
                     const std::string& filename, const std::string& msg) override {
    if (sink_) sink_(Report{level, mclass, origin, code, filename, msg});
  }

  std::function<void(const Report&)> sink_;
};

struct PropertyInfo {
  std::string name;
  std::string type;
  bool writable = false;
};

// The properties as the server describes them, so that nothing of the
// interface is repeated here.
std::vector<PropertyInfo> ParseProperties(const std::string& xml) {
  std::vector<PropertyInfo> properties;
  const std::string open = std::string("<interface name=\"") + kInterface + "\"";
  const size_t start = xml.find(open);
  if (start == std::string::npos) return properties;
  const size_t end = xml.find("</interface>", start);
  const std::string body = xml.substr(start, end == std::string::npos ? std::string::npos : end - start);
  static const std::regex tag("<property\\b[^>]*>");
  const auto attribute = [](const std::string& element, const std::string& key) {
    const std::regex pattern("\\s" + key + "=\"([^\"]*)\"");
    std::smatch match;
    return std::regex_search(element, match, pattern) ? match[1].str() : std::string();
  };
  for (auto it = std::sregex_iterator(body.begin(), body.end(), tag); it != std::sregex_iterator(); ++it) {
    const std::string element = it->str();
    const std::string access = attribute(element, "access");
    properties.push_back({attribute(element, "name"), attribute(element, "type"),
                          access == "readwrite" || access == "write"});
  }
  return properties;
}

std::string HumanValue(const sdbus::Variant& value) {
  const std::string type = value.peekValueType();
  if (type == "s") return EscapeText(value.get<std::string>());
  if (type == "b") return value.get<bool>() ? "true" : "false";
  if (type == "i") return std::to_string(value.get<int32_t>());
  if (type == "as") {
    std::string text;
    for (const std::string& item : value.get<std::vector<std::string>>()) text += "\n  " + EscapeText(item);
    return text;
  }
  return "(" + type + ")";
}

std::string JsonValue(const sdbus::Variant& value) {
  const std::string type = value.peekValueType();
  if (type == "s") return JsonString(value.get<std::string>());
  if (type == "b") return value.get<bool>() ? "true" : "false";
  if (type == "i") return std::to_string(value.get<int32_t>());
  if (type == "as") {
    std::string text = "[";
    for (const std::string& item : value.get<std::vector<std::string>>()) {
      if (text.size() > 1) text += ",";
      text += JsonString(item);
    }
    return text + "]";
  }
  return "null";
}

// Empty when the system's lock table cannot be read.
std::optional<bool> RunActive() {
  std::ifstream in("/proc/locks");
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return FlockHeld(platform::StepLockFile(platform::kRunLockName), text.str());
}

// One connection, one instance, released on every way out.
class Client {
 public:
  Client() = default;

  ~Client() { Release(); }

  // Connects and creates the instance; false (reason printed) when the bus
  // or the server is not there.
  int Open() {
    try {
      connection_ = sdbus::createSessionBusConnection();
    } catch (const sdbus::Error& e) {
      PrintError("no session bus: " + e.getMessage());
      return kExitUnreachable;
    }
    try {
      // Watched before anything else, so a server that dies at any later
      // point is noticed.
      busDaemon_ = sdbus::createProxy(*connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus");
      busDaemon_->uponSignal("NameOwnerChanged")
          .onInterface("org.freedesktop.DBus")
          .call([this](const std::string& name, const std::string&, const std::string& newOwner) {
            if (name == kBusName && !owner_.empty() && newOwner != owner_) wentAway_ = true;
          });
      busDaemon_->finishRegistration();
      // The server that answers is the one the instance lives in: its
      // unique name, taken from the answer itself, is what a later failure
      // is measured against, and the instance is addressed by it, so no call
      // after that server's end can make the bus start another one.
      const auto factory = sdbus::createProxy(*connection_, kBusName, kFactoryPath);
      sdbus::MethodCall create =
          factory->createMethodCall(ch::belmor::Korvex::Factory_proxy::INTERFACE_NAME, "CreateInstance");
      sdbus::MethodReply reply = factory->callMethod(create);
      sdbus::ObjectPath path;
      reply >> path;
      owner_ = reply.getSender();
      instance_ = std::make_unique<InstanceProxy>(*connection_, owner_, path, [this](const Report& report) {
        if (sink_) sink_(report);
      });
    } catch (const sdbus::Error& e) {
      return Failure(e);
    }
    return kExitOk;
  }

  // The exit status for a failed call, its reason printed.
  int Failure(const sdbus::Error& e) {
    const std::string name = e.getName();
    switch (FailureExitStatus(name, owner_, OwnerNow())) {
      case kExitWentAway:
        PrintError("the server went away (" + name + ": " + e.getMessage() + ")");
        return kExitWentAway;
      case kExitBusy:
        PrintError("busy: another run is active (" + e.getMessage() + ")");
        return kExitBusy;
      case kExitUnreachable:
        PrintError("server not reachable: " + name + ": " + e.getMessage());
        return kExitUnreachable;
      default:
        PrintError(name + ": " + e.getMessage());
        return kExitFailed;
    }
  }

  // Who owns the server's name now, empty for nobody. Asked of the bus, which
  // answers from its present state: a server that died while a call waited
  // is seen gone although its NameOwnerChanged may still be queued behind
  // the failed answer.
  std::string OwnerNow() {
    if (owner_.empty() || wentAway_) return "";
    std::string now;
    try {
      busDaemon_->callMethod("GetNameOwner").onInterface("org.freedesktop.DBus").withArguments(std::string(kBusName))
          .storeResultsTo(now);
    } catch (const sdbus::Error&) {
      // No owner, or no bus any more: either way not the server we reached.
    }
    if (now != owner_) wentAway_ = true;
    return now;
  }

  void Release() {
    if (!instance_) return;
    // A call to a server that is gone would start a new one only to release
    // nothing.
    if (!wentAway_) {
      try {
        instance_->Release();
      } catch (const sdbus::Error& e) {
        if (!IsBusFailure(e.getName())) PrintError("release: " + e.getName() + ": " + e.getMessage());
      }
    }
    instance_.reset();
  }

  // Handles what has arrived, then waits up to timeout for more or a signal.
  void Pump(std::chrono::milliseconds timeout) {
    while (connection_->processPendingRequest()) {
    }
    const sdbus::IConnection::PollData data = connection_->getEventLoopPollData();
    pollfd fds[2] = {{data.fd, data.events, 0}, {gSignalPipe[0], POLLIN, 0}};
    int wait = static_cast<int>(timeout.count());
    if (const auto relative = data.getRelativeTimeout()) {
      wait = std::min<int>(wait, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(*relative).count()));
    }
    ::poll(fds, gSignalPipe[0] >= 0 ? 2 : 1, std::max(wait, 0));
    while (connection_->processPendingRequest()) {
    }
  }

  // Every signal the server sent before answering this call has been handled
  // once it returns.
  void Drain() {
    try {
      instance_->Raw().callMethod("Ping").onInterface("org.freedesktop.DBus.Peer");
    } catch (const sdbus::Error&) {
    }
    while (connection_->processPendingRequest()) {
    }
  }

  std::vector<PropertyInfo> Properties() {
    std::string xml;
    instance_->Raw().callMethod("Introspect").onInterface("org.freedesktop.DBus.Introspectable").storeResultsTo(xml);
    return ParseProperties(xml);
  }

  sdbus::Variant Get(const std::string& name) { return instance_->Raw().getProperty(name).onInterface(kInterface); }

  std::string GetText(const std::string& name) {
    try {
      const sdbus::Variant value = Get(name);
      return value.containsValueOfType<std::string>() ? value.get<std::string>() : std::string();
    } catch (const sdbus::Error&) {
      return "";
    }
  }

  InstanceProxy& Instance() { return *instance_; }
  bool WentAway() const { return wentAway_; }
  // WentAway, also when the news has not been handled yet.
  bool Gone() {
    (void)OwnerNow();
    return wentAway_;
  }
  void SetSink(std::function<void(const Report&)> sink) { sink_ = std::move(sink); }

 private:
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IProxy> busDaemon_;
  std::unique_ptr<InstanceProxy> instance_;
  std::function<void(const Report&)> sink_;
  std::string owner_;
  bool wentAway_ = false;
};

// --- commands -----------------------------------------------------------------

int PropertyError(const Command& command, const std::string& name, const sdbus::Error& e) {
  if (command.json) {
    PrintLine("{\"property\":" + JsonString(name) + ",\"error\":" + JsonString(e.getName()) +
              ",\"message\":" + JsonString(e.getMessage()) + "}");
  } else {
    PrintLine(EscapeText(name) + ": (" + EscapeText(e.getName() + ": " + e.getMessage()) + ")");
  }
  return kExitFailed;
}

void PrintProperty(const Command& command, const std::string& name, const sdbus::Variant& value) {
  if (command.json) {
    PrintLine("{\"property\":" + JsonString(name) + ",\"value\":" + JsonValue(value) + "}");
  } else {
    const std::string text = HumanValue(value);
    PrintLine(name + ":" + (text.empty() || text[0] == '\n' ? "" : " ") + text);
  }
}

int Get(Client& client, const Command& command) {
  const std::vector<PropertyInfo> properties = client.Properties();
  std::vector<std::string> names;
  if (command.args.empty()) {
    for (const PropertyInfo& info : properties) names.push_back(info.name);
  } else {
    names.push_back(command.args.front());
    const bool known = std::any_of(properties.begin(), properties.end(),
                                   [&](const PropertyInfo& info) { return info.name == names.front(); });
    // A name the interface does not have is a wrong command line, as for set.
    if (!known) {
      PrintError("no property '" + names.front() + "' (korvexctl get lists them)");
      return kExitUsage;
    }
  }
  int status = kExitOk;
  for (const std::string& name : names) {
    try {
      PrintProperty(command, name, client.Get(name));
    } catch (const sdbus::Error& e) {
      if (IsBusFailure(e.getName()) || client.WentAway()) return client.Failure(e);
      // Showing everything, a member the server does not offer is part of
      // the answer; asked for by name it is a failure.
      const int failed = PropertyError(command, name, e);
      if (!command.args.empty()) status = failed;
    }
  }
  return status;
}

int List(Client& client, const Command& command, const std::string& name) {
  try {
    const sdbus::Variant value = client.Get(name);
    if (command.json) {
      PrintProperty(command, name, value);
    } else {
      for (const std::string& item : value.get<std::vector<std::string>>()) PrintLine(EscapeText(item));
    }
    return kExitOk;
  } catch (const sdbus::Error& e) {
    return client.Failure(e);
  }
}

int Set(Client& client, const Command& command) {
  const std::string& name = command.args[0];
  const std::string& text = command.args[1];
  std::optional<PropertyInfo> info;
  for (const PropertyInfo& candidate : client.Properties()) {
    if (candidate.name == name) info = candidate;
  }
  if (!info) {
    PrintError("no property '" + name + "' (korvexctl get lists them)");
    return kExitUsage;
  }
  if (!info->writable) {
    PrintError("property '" + name + "' cannot be changed");
    return kExitUsage;
  }
  sdbus::Variant value;
  if (info->type == "b") {
    const std::optional<bool> flag = ParseBool(text);
    if (!flag) {
      PrintError("'" + text + "' is no boolean: true/false/yes/no/1/0");
      return kExitUsage;
    }
    value = sdbus::Variant(*flag);
  } else if (info->type == "s") {
    // Only a directory is a path; a trust center's name is taken as it is.
    const bool directory = name.size() > 9 && name.compare(name.size() - 9, 9, "Directory") == 0;
    const char* home = std::getenv("HOME");
    std::error_code error;
    const std::string cwd = directory ? std::filesystem::current_path(error).string() : std::string();
    value = sdbus::Variant(directory ? AbsoluteDirectory(text, home ? home : "", error ? "" : cwd) : text);
  } else if (info->type == "i") {
    try {
      size_t used = 0;
      const long number = std::stol(text, &used);
      if (used != text.size() || number < INT32_MIN || number > INT32_MAX) throw std::invalid_argument(text);
      value = sdbus::Variant(static_cast<int32_t>(number));
    } catch (const std::exception&) {
      PrintError("'" + text + "' is no number");
      return kExitUsage;
    }
  } else {
    PrintError("property '" + name + "' has a type korvexctl cannot set (" + info->type + ")");
    return kExitUsage;
  }
  // The server answers a name that matches no trust center with success and
  // changes nothing; a script must not believe it switched centers.
  std::vector<std::string> centers;
  std::string centerBefore;
  if (name == "trustCenter") {
    try {
      centers = client.Get("trustCenters").get<std::vector<std::string>>();
    } catch (const sdbus::Error& e) {
      if (IsBusFailure(e.getName()) || client.WentAway()) return client.Failure(e);
      // No centers to list (ClassNotAvailable): no name can be one of them.
    }
    centerBefore = client.GetText("trustCenter");
  }
  try {
    client.Instance().Raw().setProperty(name).onInterface(kInterface).toValue(value);
  } catch (const sdbus::Error& e) {
    return client.Failure(e);
  }
  if (name == "trustCenter" && std::find(centers.begin(), centers.end(), text) == centers.end()) {
    // Not a listed name, but an old name of a center selects it as well:
    // only a selection that stayed as it was means the name is unknown.
    const std::string centerAfter = client.GetText("trustCenter");
    if (client.Gone()) {
      PrintError("the server went away");
      return kExitWentAway;
    }
    if (centerAfter == centerBefore) {
      PrintError("no trust center '" + text + "' (korvexctl centers lists them); the trust center stays " +
                 (centerBefore.empty() ? std::string("unset") : "'" + centerBefore + "'"));
      return kExitFailed;
    }
  }
  return kExitOk;
}

int Status(Client& client, const Command& command) {
  const std::string center = client.GetText("trustCenter");
  const std::string login = client.GetText("asasLogin");
  std::string day = client.GetText("session");
  // The server names its day when its first run starts; until then it is today.
  if (day.empty()) day = DayStamp(std::time(nullptr));
  const std::string input = client.GetText("inputDirectory");
  const std::string work = client.GetText("workDirectory");
  const std::string output = client.GetText("outputDirectory");
  if (client.Gone()) {
    PrintError("the server went away");
    return kExitWentAway;
  }
  // The interface has no member for it: the run's step lock tells.
  const StatusInfo status{center, login, RunActive(), day, output, WaitingPlaces(input, work, day)};
  if (command.json) {
    PrintLine(StatusJson(status));
  } else {
    const std::string text = StatusText(status);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
  return kExitOk;
}

// Prints a report as the command asks; a run without --wait stays quiet.
std::function<void(const Report&)> Printer(const Command& command, bool show) {
  const std::string language = platform::UiLanguage();
  const bool colour = UseColour(::isatty(STDOUT_FILENO) == 1, std::getenv("NO_COLOR"));
  return [json = command.json, show, language, colour](const Report& report) {
    if (!show) return;
    PrintLine(json ? ReportJson(report) : FormatReportLine(report, language, colour));
  };
}

constexpr const char* kBusyError = "ch.belmor.Korvex.Error.Busy";

using Clock = std::chrono::steady_clock;

// The end of a run's time under --timeout; none without it.
struct Deadline {
  std::optional<Clock::time_point> at;
  int seconds = 0;
  bool Passed() const { return at && Clock::now() >= *at; }
};

// Waits until the active run is over, as far as korvexctl can see: the run
// lock free, or, without a lock to look at, a few seconds. 0 when the call
// may be tried again, else the exit status.
int AwaitOtherRun(Client& client, const Deadline& deadline) {
  std::error_code missing;
  const bool lockVisible =
      RunActive().has_value() && std::filesystem::exists(platform::StepLockFile(platform::kRunLockName), missing);
  // Never a tight loop: the server may still answer Busy for a moment after
  // the lock is free, and another queued client may win the next start.
  const auto earliest = std::chrono::steady_clock::now() + std::chrono::milliseconds(lockVisible ? 500 : 3000);
  while (true) {
    if (gSignal) {
      PrintError("interrupted while waiting: nothing was started");
      return 128 + gSignal;
    }
    if (client.Gone()) {
      PrintError("the server went away while korvexctl waited");
      return kExitWentAway;
    }
    // The other run is not korvexctl's to cancel.
    if (deadline.Passed()) {
      PrintError("timed out after " + std::to_string(deadline.seconds) +
                 " s waiting for the other run (--timeout): nothing was started");
      return kExitTimedOut;
    }
    if (std::chrono::steady_clock::now() >= earliest && (!lockVisible || RunActive() != true)) return 0;
    client.Pump(std::chrono::milliseconds(250));
  }
}

// Whether the run korvexctl started is over: its last step's completion
// report, or, once its lock file is where korvexctl looks, a free lock.
bool RunOver(Client& client, const RunFollower& follower, bool lockVisible) {
  if (follower.Finished()) return true;
  if (!lockVisible || RunActive() != false) return false;
  client.Drain();
  return !client.WentAway();
}

// --timeout has passed: the run is asked to stop and given 10 s for it.
int CancelAfterTimeout(Client& client, const RunFollower& follower, bool lockVisible, int seconds) {
  PrintError("timed out after " + std::to_string(seconds) + " s (--timeout): the run is cancelled");
  try {
    client.Instance().Cancel();
  } catch (const sdbus::Error& e) {
    if (client.Gone()) {
      PrintError("the server went away");
      return kExitWentAway;
    }
    PrintError("cancel: " + e.getName() + ": " + e.getMessage());
  }
  const auto limit = Clock::now() + std::chrono::seconds(10);
  auto nextLook = Clock::now();
  while (Clock::now() < limit) {
    if (gSignal) return 128 + gSignal;
    if (client.WentAway()) break;
    if (follower.Finished()) return kExitTimedOut;
    if (Clock::now() >= nextLook) {
      nextLook = Clock::now() + std::chrono::milliseconds(250);
      if (RunOver(client, follower, lockVisible)) return kExitTimedOut;
    }
    client.Pump(std::chrono::milliseconds(100));
  }
  if (client.Gone()) {
    PrintError("the server went away during the run");
    return kExitWentAway;
  }
  // Releasing the instance, as korvexctl does now, cancels it once more.
  PrintError("the run has not ended 10 s after its cancel");
  return kExitTimedOut;
}

int Run(Client& client, const Command& command) {
  Deadline deadline;
  if (command.timeoutSeconds) {
    deadline.seconds = *command.timeoutSeconds;
    deadline.at = Clock::now() + std::chrono::seconds(*command.timeoutSeconds);
  }
  RunFollower follower(command.method);
  const auto print = Printer(command, command.wait);
  // Subscribed before the call, and the call's answer awaited among the
  // signals: reports that arrive before it are the end of an earlier run,
  // those after it are this run's.
  bool answered = false;
  std::optional<sdbus::Error> refused;
  client.SetSink([&](const Report& report) {
    if (!answered || refused) return;
    print(report);
    follower.Add(report);
  });
  bool toldWaiting = false;
  while (true) {
    answered = false;
    refused.reset();
    try {
      auto call = client.Instance().Raw().callMethodAsync(command.method).onInterface(kInterface);
      const auto onReply = [&](const sdbus::Error* error) {
        answered = true;
        if (error) refused = *error;
      };
      if (command.method == "AutoOne") {
        call.withArguments(command.args.front()).uponReplyInvoke(onReply);
      } else {
        call.uponReplyInvoke(onReply);
      }
    } catch (const sdbus::Error& e) {
      return client.Failure(e);
    }
    while (!answered) {
      if (gSignal) return 128 + gSignal;
      if (deadline.Passed()) {
        // Whatever the answer would have started ends with the instance.
        PrintError("timed out after " + std::to_string(deadline.seconds) + " s (--timeout): the server did not answer");
        return kExitTimedOut;
      }
      client.Pump(std::chrono::milliseconds(250));
    }
    // Busy started nothing, so asking again cannot run anything twice; the
    // other run's reports in the meantime are not this run's.
    if (!refused || !command.queue || refused->getName() != kBusyError || client.Gone()) break;
    if (!toldWaiting) {
      PrintError("another run is active; waiting for its end (--queue)");
      toldWaiting = true;
    }
    const int waited = AwaitOtherRun(client, deadline);
    if (waited != 0) return waited;
  }
  if (refused) return client.Failure(*refused);
  // The run ends at its last step's completion report. Some ends send none
  // (a cancel skips the later steps silently; response reports may be
  // switched off), so the step lock, taken before the call is answered and
  // held to the run's end, is looked at too: once its file is where
  // korvexctl looks, a free lock means the run is over, also a run so short
  // that it ended before this first look. Without the file or the lock
  // table only the reports count.
  std::error_code missing;
  const bool lockVisible =
      RunActive().has_value() && std::filesystem::exists(platform::StepLockFile(platform::kRunLockName), missing);
  auto nextLook = std::chrono::steady_clock::now();
  while (!follower.Finished()) {
    if (client.WentAway()) {
      PrintError("the server went away during the run");
      return kExitWentAway;
    }
    if (gSignal) {
      // Releasing the instance cancels the run between files.
      PrintError("interrupted: the run is cancelled");
      return 128 + gSignal;
    }
    if (deadline.Passed()) return CancelAfterTimeout(client, follower, lockVisible, deadline.seconds);
    if (lockVisible && std::chrono::steady_clock::now() >= nextLook) {
      nextLook = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
      if (RunActive() == false) {
        client.Drain();
        if (client.WentAway()) continue;
        break;
      }
    }
    client.Pump(std::chrono::milliseconds(250));
  }
  if (follower.Failed() && !command.wait) PrintError("the run reported errors (--wait shows its reports)");
  return follower.ExitStatus();
}

int Watch(Client& client, const Command& command) {
  client.SetSink(Printer(command, true));
  while (!gSignal) {
    if (client.WentAway()) {
      PrintError("the server went away");
      return kExitWentAway;
    }
    client.Pump(std::chrono::milliseconds(500));
  }
  return kExitOk;
}

int Dispatch(Client& client, const Command& command) {
  try {
    switch (command.verb) {
      case Verb::kGet:
        return Get(client, command);
      case Verb::kSet:
        return Set(client, command);
      case Verb::kCenters:
        return List(client, command, "trustCenters");
      case Verb::kLogins:
        return List(client, command, "asasLogins");
      case Verb::kRun:
        return Run(client, command);
      case Verb::kWatch:
        return Watch(client, command);
      case Verb::kCancel:
        client.Instance().Cancel();
        return kExitOk;
      case Verb::kStatus:
        return Status(client, command);
      case Verb::kHelp:
      case Verb::kVersion:
        break;
    }
  } catch (const sdbus::Error& e) {
    return client.Failure(e);
  }
  return kExitOk;
}

int Main(int argc, char** argv) {
  const ParseResult parsed = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.command) {
    PrintError(parsed.error + " (korvexctl --help shows the usage)");
    return kExitUsage;
  }
  const Command& command = *parsed.command;
  if (command.verb == Verb::kHelp) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitOk;
  }
  if (command.verb == Verb::kVersion) {
    PrintLine("korvexctl " KORVEXCTL_VERSION);
    return kExitOk;
  }
  InstallSignalHandlers();
  Client client;
  const int opened = client.Open();
  if (opened != kExitOk) return opened;
  const int status = Dispatch(client, command);
  client.Release();
  return status;
}

}  // namespace
}  // namespace belmor::korvexctl

int main(int argc, char** argv) { return belmor::korvexctl::Main(argc, argv); }
