#ifndef KORVEX_TRANSPORT_CURL_TRANSFER_H_
#define KORVEX_TRANSPORT_CURL_TRANSFER_H_

#include <curl/curl.h>

#include <cstddef>
#include <memory>

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

// CURLOPT_WRITEFUNCTION that appends every block to the std::string given as
// CURLOPT_WRITEDATA.
size_t AppendToString(char* data, size_t size, size_t count, void* target);

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_CURL_TRANSFER_H_
