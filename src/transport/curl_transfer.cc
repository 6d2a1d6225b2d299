#include "transport/curl_transfer.h"

#include <mutex>
#include <string>

#include "transport/transport_settings.h"

namespace belmor::korvex {

CurlHandle NewCurlHandle() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  return CurlHandle(curl_easy_init());
}

void ApplyTransferLimits(CURL* handle, const TransportSettings& settings) {
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  if (!settings.caFile.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, settings.caFile.c_str());
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, settings.connectTimeoutSeconds);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, settings.noProgressSeconds);
}

size_t AppendToString(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

}  // namespace belmor::korvex
