#include "server/korvex_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include "common/encoding.h"
#include "config/client_config.h"
#include "engine/korvex.h"
#include "logging/log.h"
#include "logging/report.h"
#include "server/bus_error.h"

namespace belmor::korvex::server {

namespace {
constexpr auto kShutdownDelay = std::chrono::seconds(1);
}

KorvexEvent MapReport(int32_t level, int32_t mclass, int32_t origin, int32_t code, const std::string& fileName,
                      const std::string& message) {
  KorvexEvent event;
  event.level = (level == mlDebug || level == mlInfo || level == mlWarning || level == mlFatal) ? level : mlError;
  event.mclass = (mclass >= mcAsas && mclass <= mcCount) ? mclass : mcSystem;
  event.origin = (origin >= moPChecker && origin <= moPWriter) ? origin : moPReader;
  event.code = code;
  event.fileName = common::ClipUtf8(common::ToUtf8(fileName), kMaxEventText);
  event.message = common::ClipUtf8(common::ToUtf8(message), kMaxEventText);
  return event;
}

EventQueue::EventQueue() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

EventQueue::~EventQueue() { ::close(fd_); }

void EventQueue::Push(KorvexEvent event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
  }
  Wake();
}

void EventQueue::Wake() {
  const uint64_t one = 1;
  // A full counter still wakes the poll; nothing is lost.
  [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
}

std::deque<KorvexEvent> EventQueue::TakeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(events_, {});
}

void EventQueue::Acknowledge() {
  uint64_t count = 0;
  [[maybe_unused]] ssize_t n = ::read(fd_, &count, sizeof count);
}

void EventForwarder::Log(int32_t level, int32_t mclass, int32_t origin, int32_t code, const std::string& fileName,
                         const std::string& message) {
  queue_->Push(MapReport(level, mclass, origin, code, fileName, message));
}

class KorvexServer::Factory : public sdbus::AdaptorInterfaces<ch::belmor::Korvex::Factory_adaptor> {
 public:
  Factory(sdbus::IConnection& connection, KorvexServer& server)
      : AdaptorInterfaces(connection, kFactoryPath), server_(server) {
    registerAdaptor();
  }
  ~Factory() { unregisterAdaptor(); }

 private:
  sdbus::ObjectPath CreateInstance() override {
    const sdbus::Message* call = getObject().getCurrentlyProcessedMessage();
    return server_.CreateInstance(call ? call->getSender() : std::string());
  }

  KorvexServer& server_;
};

KorvexServer::KorvexServer(sdbus::IConnection& connection, EngineSource engineSource)
    : connection_(connection), engineSource_(std::move(engineSource)),
      forwarder_(std::make_shared<EventForwarder>(queue_)) {
  // One watch for every client that leaves the bus; the objects it created
  // are released for it.
  connection_.addMatch(
      "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged'",
      [this](sdbus::Message& message) { OnNameOwnerChanged(message); }, sdbus::floating_slot);
  factory_ = std::make_unique<Factory>(connection_, *this);
}

KorvexServer::~KorvexServer() {
  for (auto& [path, instance] : instances_) pendingRelease_.push_back(path);
  ReleasePending();
  ReapWaiters(true);
  // Also when Run ended by an exception: no put is lost.
  StoreSettings();
  factory_.reset();
}

void KorvexServer::EnsureEngine() {
  if (engineMade_) return;
  engine_ = engineSource_ ? engineSource_() : nullptr;
  engineMade_ = true;
  if (engine_ && engine_->GetLogger()) engine_->GetLogger()->SetEventSink(forwarder_);
  // A put is answered at once and written by the writer; a burst of puts is
  // one write, and a slow disk stalls no client.
  if (engine_ && engine_->GetClientConfig()) engine_->GetClientConfig()->StartWriter();
}

void KorvexServer::StoreSettings() {
  if (engine_ && engine_->GetClientConfig()) engine_->GetClientConfig()->StopWriter();
}

sdbus::ObjectPath KorvexServer::CreateInstance(const std::string& owner) {
  if (stopping_) ThrowBusError(BusFailure::Fail, "the server is ending");
  const size_t held = std::count_if(instances_.begin(), instances_.end(),
                                    [&](const auto& entry) { return entry.second->Owner() == owner; });
  if (held >= kMaxInstancesPerConnection)
    throw sdbus::Error(kLimitsExceeded, "at most " + std::to_string(kMaxInstancesPerConnection) +
                                            " objects per connection; release one first");
  EnsureEngine();
  const std::string path = std::string(kFactoryPath) + "/" + std::to_string(nextInstance_++);
  instances_[path] = std::make_unique<CKorvex>(connection_, path, owner, engine_, *this);
  createdAny_ = true;
  shutdownAt_.reset();
  return sdbus::ObjectPath(path);
}

void KorvexServer::PropertyChanged(const std::string& name) {
  for (auto& [path, instance] : instances_) {
    try {
      instance->EmitChanged(name);
    } catch (const sdbus::Error& e) {
      KX_LOG(WARN) << "[KorvexServer::PropertyChanged][" << e.getMessage() << "]";
    }
  }
}

void KorvexServer::ReleaseLater(CKorvex& instance) { pendingRelease_.push_back(instance.Path()); }

void KorvexServer::ReleaseNow(const std::string& path) {
  auto it = instances_.find(path);
  if (it == instances_.end()) return;
  std::shared_ptr<RunWorker> worker = it->second->TakeWorker();
  // The bus object goes at once (later calls answer UnknownObject); the run
  // it started is cancelled and waited for off the bus thread.
  instances_.erase(it);
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<EventQueue> queue = queue_;
  const bool running = worker->Running();
  waiters_.push_back({std::thread([worker = std::move(worker), done, queue, running]() mutable {
                        worker->Join();
                        if (running) KX_LOG(INFO) << "[CKorvex::~CKorvex][thread finished shutdown now]";
                        worker.reset();
                        done->store(true);
                        queue->Wake();
                      }),
                      done});
}

void KorvexServer::ReleasePending() {
  std::vector<std::string> paths = std::exchange(pendingRelease_, {});
  for (const std::string& path : paths) ReleaseNow(path);
}

void KorvexServer::ReapWaiters(bool all) {
  for (auto it = waiters_.begin(); it != waiters_.end();) {
    if (all || it->done->load()) {
      it->thread.join();
      it = waiters_.erase(it);
    } else {
      ++it;
    }
  }
}

void KorvexServer::OnNameOwnerChanged(sdbus::Message& message) {
  std::string name, oldOwner, newOwner;
  message >> name >> oldOwner >> newOwner;
  if (!newOwner.empty() || name.empty() || name[0] != ':') return;
  for (const auto& [path, instance] : instances_)
    if (instance->Owner() == name) pendingRelease_.push_back(path);
}

void KorvexServer::DeliverEvents() {
  for (const KorvexEvent& e : queue_->TakeAll()) {
    for (auto& [path, instance] : instances_) {
      try {
        instance->emitKorvexEvent(e.level, e.mclass, e.origin, e.code, e.fileName, e.message);
      } catch (const sdbus::Error& error) {
        KX_LOG(WARN) << "[KorvexServer::DeliverEvents][" << error.getMessage() << "]";
      }
    }
  }
}

bool KorvexServer::RunActive() const {
  for (const auto& [path, instance] : instances_)
    if (instance->Running()) return true;
  return !waiters_.empty();
}

void KorvexServer::RequestStop() {
  stopRequested_.store(true);
  queue_->Wake();
}

bool KorvexServer::StopReached() {
  if (!stopRequested_.load()) return false;
  if (!stopping_) {
    stopping_ = true;
    KX_LOG(INFO) << "[KorvexServer::Run][asked to end: cancelling the active run]";
    // The name stays until the run has ended: clients receive the reports
    // through it. New objects and runs are refused meanwhile.
    if (engine_) engine_->Cancel();
  }
  // The objects stay until their runs have ended, so that their clients get
  // every report of the run and see it end.
  return !RunActive();
}

void KorvexServer::Run() {
  using Clock = std::chrono::steady_clock;
  for (;;) {
    // Reports go out before the next call is answered: a client told that a
    // run has ended has had every report the run made before its end.
    do {
      DeliverEvents();
      ReleasePending();
    } while (connection_.processPendingRequest());
    ReapWaiters(false);
    if (StopReached()) break;

    const bool idle = instances_.empty() && waiters_.empty();
    if (!createdAny_ || !idle) {
      shutdownAt_.reset();
    } else if (!shutdownAt_) {
      shutdownAt_ = Clock::now() + kShutdownDelay;
    } else if (Clock::now() >= *shutdownAt_) {
      // Let go of the name first, so that a client arriving now activates a
      // new server; a call that reached this one already is still answered.
      try {
        connection_.releaseName(kBusName);
      } catch (const sdbus::Error&) {
      }
      while (connection_.processPendingRequest()) ReleasePending();
      if (instances_.empty()) break;
      shutdownAt_.reset();
      continue;
    }

    const sdbus::IConnection::PollData data = connection_.getEventLoopPollData();
    int timeout = data.getPollTimeout();
    if (shutdownAt_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*shutdownAt_ - Clock::now()).count();
      const int wait = static_cast<int>(std::max<long long>(0, left) + 1);
      timeout = timeout < 0 ? wait : std::min(timeout, wait);
    }
    struct pollfd fds[2] = {{data.fd, data.events, 0}, {queue_->Fd(), POLLIN, 0}};
    const int n = ::poll(fds, 2, timeout);
    if (n < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "poll");
    if (fds[1].revents & POLLIN) queue_->Acknowledge();
  }
  // Whatever was put is on disk before the process ends; a failure to
  // write it still reaches the clients that are left.
  StoreSettings();
  DeliverEvents();
}

}  // namespace belmor::korvex::server
