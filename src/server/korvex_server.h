#ifndef KORVEX_SERVER_KORVEX_SERVER_H_
#define KORVEX_SERVER_KORVEX_SERVER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include <korvex/korvex_adaptor.h>
#include "logging/korvex_logger.h"
#include "server/ckorvex.h"

namespace belmor::korvex {
class Korvex;
}

namespace belmor::korvex::server {

inline constexpr const char* kBusName = "ch.belmor.Korvex";
inline constexpr const char* kFactoryPath = "/ch/belmor/Korvex";
// Objects one bus connection may hold at once: every report goes to every
// object, so a client holding thousands would slow every run and fill the
// server's memory. The next CreateInstance answers LimitsExceeded.
inline constexpr size_t kMaxInstancesPerConnection = 64;
inline constexpr const char* kLimitsExceeded = "org.freedesktop.DBus.Error.LimitsExceeded";
// Longest text of a report's file name or message that leaves the server,
// in bytes: the length of a session-log line. A report goes to every object.
inline constexpr size_t kMaxEventText = 1023;

// One report on its way from a worker thread to the bus thread.
struct KorvexEvent {
  int32_t level = 0;
  int32_t mclass = 0;
  int32_t origin = 0;
  int32_t code = 0;
  std::string fileName;  // UTF-8
  std::string message;   // UTF-8
};

// The values a client sees: levels 0, 1, 2 and 4 stay, every other one is an
// error; classes 1 to 3 stay, others are system reports; origins 1 to 8
// stay, others are the reader. Both texts become UTF-8, cut to kMaxEventText
// bytes without splitting a character.
KorvexEvent MapReport(int32_t level, int32_t mclass, int32_t origin, int32_t code, const std::string& fileName,
                      const std::string& message);

// Reports from any thread, handed to the bus thread. sd-bus connections are
// not thread-safe, so nothing but the bus thread touches the connection: the
// queue wakes it through an eventfd.
class EventQueue {
 public:
  EventQueue();
  ~EventQueue();
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  void Push(KorvexEvent event);
  // Wakes the bus thread without an event.
  void Wake();
  std::deque<KorvexEvent> TakeAll();
  int Fd() const { return fd_; }
  // Clears the wake-up after a poll.
  void Acknowledge();

 private:
  int fd_ = -1;
  std::mutex mutex_;
  std::deque<KorvexEvent> events_;
};

// The process-wide sink in the session logger's single slot: every report
// goes to every live object, not only to the one created last.
class EventForwarder : public IKorvexSystemLogger {
 public:
  explicit EventForwarder(std::shared_ptr<EventQueue> queue) : queue_(std::move(queue)) {}
  void Log(int32_t level, int32_t mclass, int32_t origin, int32_t code, const std::string& fileName,
           const std::string& message) override;

 private:
  std::shared_ptr<EventQueue> queue_;
};

// The server on one bus connection: the factory object, the live automation
// objects and the bus loop. The process ends about one second after the
// last object is released, and only after a first one was created.
class KorvexServer : public InstanceHost {
 public:
  // engineSource makes the engine at the first CreateInstance; it may answer
  // an empty pointer (the engine did not start).
  using EngineSource = std::function<std::shared_ptr<Korvex>()>;
  KorvexServer(sdbus::IConnection& connection, EngineSource engineSource);
  ~KorvexServer() override;

  // Serves until the shutdown rule or a stop request ends it; every run has
  // ended by then, and the settings written. While it serves, settings are
  // saved by the settings' writer thread, never on the bus thread.
  void Run();
  // Asks the server to end (SIGTERM, SIGINT): the active run is cancelled,
  // its clients still get its reports up to its end, then Run returns.
  // Safe to call from a signal handler.
  void RequestStop();

  // InstanceHost
  void PropertyChanged(const std::string& name) override;
  void ReleaseLater(CKorvex& instance) override;
  bool Accepting() const override { return !stopping_; }
  void RunEnded() override { queue_->Wake(); }
  bool RunActive() const override;

  sdbus::ObjectPath CreateInstance(const std::string& owner);

 private:
  class Factory;

  void EnsureEngine();
  // Writes the pending settings and ends their writer.
  void StoreSettings();
  // Starts the orderly end once a stop was requested; true when Run may
  // return now.
  bool StopReached();
  void DeliverEvents();
  void ReleasePending();
  void ReleaseNow(const std::string& path);
  void OnNameOwnerChanged(sdbus::Message& message);
  // Joins the waiters of released objects whose runs have ended.
  void ReapWaiters(bool all);

  sdbus::IConnection& connection_;
  EngineSource engineSource_;
  bool engineMade_ = false;
  std::shared_ptr<Korvex> engine_;
  std::shared_ptr<EventQueue> queue_ = std::make_shared<EventQueue>();
  std::shared_ptr<EventForwarder> forwarder_;
  std::unique_ptr<Factory> factory_;
  std::map<std::string, std::unique_ptr<CKorvex>> instances_;
  std::vector<std::string> pendingRelease_;
  uint64_t nextInstance_ = 1;
  bool createdAny_ = false;
  // Released objects whose runs are still being waited for, each by its own
  // thread so the bus keeps answering meanwhile.
  struct Waiter {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Waiter> waiters_;
  std::optional<std::chrono::steady_clock::time_point> shutdownAt_;
  std::atomic<bool> stopRequested_{false};
  bool stopping_ = false;
};

}  // namespace belmor::korvex::server

#endif  // KORVEX_SERVER_KORVEX_SERVER_H_
