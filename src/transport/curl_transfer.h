#ifndef KORVEX_TRANSPORT_CURL_TRANSFER_H_
#define KORVEX_TRANSPORT_CURL_TRANSFER_H_

#include <curl/curl.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

namespace belmor::korvex {

struct TransportSettings;

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

// A fresh easy handle (empty when libcurl has no memory). libcurl's global
// set-up is not thread-safe; the first handle of any thread runs it once.
CurlHandle NewCurlHandle();

// What every transfer of the product takes from the settings: the CA bundle,
// a connect time-out and the abort of a transfer that makes no progress, and
// no signals (transfers run on worker threads).
void ApplyTransferLimits(CURL* handle, const TransportSettings& settings);

// The largest reply bodies kept in memory. A configuration package or a
// document may be as large as an unpacked package may grow; a gate reply
// carries one invoice's answer or one response document, a token reply a few
// hundred bytes. A larger reply fails its request.
inline constexpr size_t kDocumentReplyLimit = 256u * 1024 * 1024;
inline constexpr size_t kGateReplyLimit = 32u * 1024 * 1024;
inline constexpr size_t kTokenReplyLimit = 1024u * 1024;

// Where a transfer collects its reply body, up to limit bytes.
struct ReplyBody {
  std::string* text;
  size_t limit;
  bool exceeded = false;
};

// Makes the transfer append its reply to body->text. A reply that announces a
// larger size is refused before its body arrives; one that grows beyond the
// limit is cut off there (the transfer fails with CURLE_WRITE_ERROR or
// CURLE_FILESIZE_EXCEEDED and body->exceeded tells why). body must outlive
// the transfer.
void CollectReply(CURL* handle, ReplyBody* body);

// The body of a request, handed to libcurl at most once. libcurl sends a
// request again on a fresh connection when a kept one turns out dead, and
// rewinds the body for it; but a server may have acted on the first copy
// (a gate that stored an upload and then closed the connection). So once
// any byte of the body has gone to libcurl, a rewind is refused and the
// transfer ends with CURLE_SEND_FAIL_REWIND instead of sending it twice.
struct RequestBody {
  const std::string* text;
  size_t offset = 0;
  // Some byte of the body was handed over: the server may have it.
  bool started = false;
};

// Makes the transfer read its body from body (which must outlive it) and
// announces its size. Sets no method: the caller chooses POST or PUT.
void SendBodyOnce(CURL* handle, RequestBody* body);

// The cancel of a run, as its transfers see it. A transfer whose body has
// not gone out yet is aborted at once: nothing of it reached the server. One
// whose body went out may already have been acted on, so its answer is
// waited for kCancelGrace more before it is aborted too (its outcome is then
// unknown to the caller). Safe from any thread.
inline constexpr std::chrono::seconds kCancelGrace{3};
void CancelTransfers();
// A new run: transfers go on normally again.
void ResumeTransfers();
bool TransfersCancelled();
// Time since the run was cancelled; zero when it is not.
std::chrono::steady_clock::duration SinceTransfersCancelled();

// What a transfer checks while it runs (libcurl's progress callback).
struct TransferWatch {
  // The request's body, or null for a request without one.
  const RequestBody* body = nullptr;
  // False for a call that must still go out after a cancel (closing the
  // gate session), which is bounded by its time limit instead.
  bool cancellable = true;
  // Set when the watch ended the transfer.
  bool aborted = false;
};

// Lets watch (which must outlive the transfer) abort it on a cancel.
void WatchTransfer(CURL* handle, TransferWatch* watch);

// Connections, TLS sessions and name lookups kept between transfers, so that
// the requests of a run to one host travel over one kept-alive TLS connection
// instead of a handshake each. Transfers of any thread may use it at once;
// libcurl hands each connection to one transfer at a time.
class ConnectionPool {
 public:
  ConnectionPool();
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // The pool in effect, made when there is none.
  static std::shared_ptr<ConnectionPool> Current();
  // Closes the kept connections once no transfer uses them any more; the
  // next transfer starts a new pool. Called at the end of a run, so that no
  // connection of the run is left open while the program waits for the next.
  static void CloseIdle();

  // Lets the transfer use the pool. The handle must be cleaned up before the
  // pool goes: hold the pool's reference for as long as the handle lives.
  void Attach(CURL* handle) const;

 private:
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* pool);
  static void Unlock(CURL*, curl_lock_data data, void* pool);

  CURLSH* share_;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_CURL_TRANSFER_H_
