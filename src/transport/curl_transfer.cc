#include "transport/curl_transfer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "transport/transport_settings.h"

namespace belmor::korvex {

namespace {

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t AppendWithinLimit(char* data, size_t size, size_t count, void* target) {
  auto* body = static_cast<ReplyBody*>(target);
  const size_t n = size * count;
  if (n > body->limit - body->text->size()) {
    body->exceeded = true;
    return 0;  // libcurl ends the transfer with CURLE_WRITE_ERROR
  }
  body->text->append(data, n);
  return n;
}

size_t ReadOnce(char* buffer, size_t size, size_t count, void* target) {
  auto* body = static_cast<RequestBody*>(target);
  const size_t n = std::min(size * count, body->text->size() - body->offset);
  std::memcpy(buffer, body->text->data() + body->offset, n);
  body->offset += n;
  if (n > 0) body->started = true;
  return n;
}

int SeekBeforeStart(void* target, curl_off_t offset, int origin) {
  auto* body = static_cast<RequestBody*>(target);
  if (body->started || origin != SEEK_SET || offset != 0) return CURL_SEEKFUNC_CANTSEEK;
  body->offset = 0;
  return CURL_SEEKFUNC_OK;
}

struct CancelState {
  std::atomic<bool> cancelled{false};
  // steady_clock ticks of the latest cancel.
  std::atomic<std::chrono::steady_clock::rep> at{0};
};

CancelState& Cancels() {
  static CancelState state;
  return state;
}

int AbortOnCancel(void* target, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* watch = static_cast<TransferWatch*>(target);
  if (!watch->cancellable || !TransfersCancelled()) return 0;
  if (watch->body && watch->body->started && SinceTransfersCancelled() < kCancelGrace) return 0;
  watch->aborted = true;
  return 1;  // libcurl ends the transfer with CURLE_ABORTED_BY_CALLBACK
}

struct PoolState {
  std::mutex mutex;
  std::shared_ptr<ConnectionPool> current;
};

PoolState& Pools() {
  // Never destroyed: transfers on other threads may still end during exit.
  static auto* state = new PoolState;
  return *state;
}

}  // namespace

CurlHandle NewCurlHandle() {
  InitCurlOnce();
  return CurlHandle(curl_easy_init());
}

void ApplyTransferLimits(CURL* handle, const TransportSettings& settings) {
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  if (!settings.caFile.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, settings.caFile.c_str());
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, settings.connectTimeoutSeconds);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, settings.noProgressSeconds);
}

void CollectReply(CURL* handle, ReplyBody* body) {
  body->exceeded = false;
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, AppendWithinLimit);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, body);
  curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(body->limit));
}

void CancelTransfers() {
  // A second Cancel does not give a sent body its grace again.
  if (Cancels().cancelled.load()) return;
  Cancels().at = std::chrono::steady_clock::now().time_since_epoch().count();
  Cancels().cancelled = true;
}

void ResumeTransfers() { Cancels().cancelled = false; }

bool TransfersCancelled() { return Cancels().cancelled.load(); }

std::chrono::steady_clock::duration SinceTransfersCancelled() {
  if (!TransfersCancelled()) return std::chrono::steady_clock::duration::zero();
  using std::chrono::steady_clock;
  return steady_clock::now() - steady_clock::time_point(steady_clock::duration(Cancels().at.load()));
}

void WatchTransfer(CURL* handle, TransferWatch* watch) {
  watch->aborted = false;
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, AbortOnCancel);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, watch);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
}

void SendBodyOnce(CURL* handle, RequestBody* body) {
  body->offset = 0;
  body->started = false;
  curl_easy_setopt(handle, CURLOPT_READFUNCTION, ReadOnce);
  curl_easy_setopt(handle, CURLOPT_READDATA, body);
  curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, SeekBeforeStart);
  curl_easy_setopt(handle, CURLOPT_SEEKDATA, body);
  curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->text->size()));
  curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(body->text->size()));
}

ConnectionPool::ConnectionPool() {
  InitCurlOnce();
  share_ = curl_share_init();
  if (!share_) return;  // no memory: transfers then go without a pool
  curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, Lock);
  curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, Unlock);
  curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
  curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
  curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
}

// Closes the pool's connections; every handle attached has been cleaned up
// by now, since each holds the pool while it lives.
ConnectionPool::~ConnectionPool() {
  if (share_) curl_share_cleanup(share_);
}

std::shared_ptr<ConnectionPool> ConnectionPool::Current() {
  PoolState& state = Pools();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (!state.current) state.current = std::make_shared<ConnectionPool>();
  return state.current;
}

void ConnectionPool::CloseIdle() {
  std::shared_ptr<ConnectionPool> old;
  {
    PoolState& state = Pools();
    std::lock_guard<std::mutex> lock(state.mutex);
    old = std::move(state.current);
  }
  // Outside the lock: the cleanup closes connections, which may take a
  // moment for TLS.
  old.reset();
}

void ConnectionPool::Attach(CURL* handle) const {
  if (share_) curl_easy_setopt(handle, CURLOPT_SHARE, share_);
}

void ConnectionPool::Lock(CURL*, curl_lock_data data, curl_lock_access, void* pool) {
  static_cast<ConnectionPool*>(pool)->locks_[data].lock();
}

void ConnectionPool::Unlock(CURL*, curl_lock_data data, void* pool) {
  static_cast<ConnectionPool*>(pool)->locks_[data].unlock();
}

}  // namespace belmor::korvex
