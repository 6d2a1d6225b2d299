#include "transport/http_client.h"

#include <curl/curl.h>
#include <libpsl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "common/string_util.h"
#include "logging/log.h"
#include "transport/transport_settings.h"

namespace belmor::korvex {

namespace {

constexpr char kUserAgent[] = "KX Ordiva Client/5";
constexpr char kGateway[] = "https://oauth2.";

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

// Appends one line to the header list; false when libcurl has no memory left.
bool Append(HeaderList& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (!grown) return false;
  list.release();
  list.reset(grown);
  return true;
}

// The verbose trace goes to the debug log, never to standard error. Only
// libcurl's own text and the header blocks are written: bodies carry patient
// data. The bearer token is a credential and is masked.
std::string MaskCredentials(std::string_view block) {
  std::string out;
  size_t start = 0;
  while (start < block.size()) {
    size_t end = block.find('\n', start);
    end = end == std::string_view::npos ? block.size() : end + 1;
    std::string_view line = block.substr(start, end - start);
    bool secret = false;
    for (std::string_view name : {"authorization:", "proxy-authorization:"}) {
      if (common::StartsWithIgnoringAsciiCase(line, name)) {
        out.append(line.substr(0, name.size()));
        out.append(" ***");
        if (line.back() == '\n') out.append(line.size() > 1 && line[line.size() - 2] == '\r' ? "\r\n" : "\n");
        secret = true;
        break;
      }
    }
    if (!secret) out.append(line);
    start = end;
  }
  return out;
}

int TraceToDebugLog(CURL*, curl_infotype type, char* data, size_t size, void*) {
  const char* prefix = nullptr;
  switch (type) {
    case CURLINFO_TEXT:
      prefix = "* ";
      break;
    case CURLINFO_HEADER_IN:
      prefix = "< ";
      break;
    case CURLINFO_HEADER_OUT:
      prefix = "> ";
      break;
    default:
      return 0;
  }
  std::string text = MaskCredentials(std::string_view(data, size));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  KX_LOG(DEBUG) << "[HttpClient::Perform][curl] " << prefix << text;
  return 0;
}

// How a failed transfer ended, told from libcurl's code and what of the body
// it had taken.
HttpClient::Delivery FailedDelivery(CURLcode result, const RequestBody& body, bool hasBody) {
  if (hasBody && body.started) return HttpClient::Delivery::kLost;
  switch (result) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
      return HttpClient::Delivery::kUnreachable;
    default:
      // A GET has no body to lose: whatever broke, it may simply go again.
      return HttpClient::Delivery::kNotSent;
  }
}

// A POST on a connection idle for longer than this opens a new one: the gate
// may have closed the old one meanwhile, and a body sent into a closed
// connection is one whose fate is unknown.
constexpr long kPostConnectionMaxIdleSeconds = 2;

}  // namespace

HttpClient::HttpClient() = default;

HttpClient::HttpClient(std::string proxyHost, uint16_t proxyPort)
    : proxyHost_(std::move(proxyHost)), proxyPort_(proxyPort) {
  if (!proxyHost_.empty() && proxyPort_ > 0) proxy_ = "http://" + proxyHost_ + ":" + std::to_string(proxyPort_) + "/";
}

HttpClient::~HttpClient() = default;

void HttpClient::SetHeader(const std::string& name, const std::string& value) { headers_.emplace(name, value); }

void HttpClient::SetProxyHost(const std::string& host) {
  proxyHost_ = host;
  SetProxy();
}

void HttpClient::SetProxyPort(uint16_t port) {
  proxyPort_ = port;
  SetProxy();
}

void HttpClient::SetProxy() {
  KX_LOG(DEBUG) << "[HttpClient::SetProxy][host=" << proxyHost_ << ", port=" << proxyPort_ << "]";
  proxy_.clear();
  if (!proxyHost_.empty() && proxyPort_ > 0) proxy_ = "http://" + proxyHost_ + ":" + std::to_string(proxyPort_) + "/";
}

int32_t HttpClient::Get(const std::string& url) { return Perform("GET", url, std::string()); }

int32_t HttpClient::Post(const std::string& url, const std::string& body) {
  SetHeader("Content-length", std::to_string(body.size()));
  const int32_t status = Perform("POST", url, body);
  // The length describes this body only; left in place it would be sent again
  // beside the next request's own.
  auto [first, last] = headers_.equal_range("Content-length");
  if (first != last) headers_.erase(std::prev(last));
  return status;
}

std::string HttpClient::RewriteUrl(const std::string& url) {
  for (std::string_view scheme : {"http://", "https://"}) {
    if (common::StartsWithIgnoringAsciiCase(url, scheme)) return kGateway + url.substr(scheme.size());
  }
  return std::string();
}

std::string HttpClient::Authority(const std::string& url) {
  std::string_view rest(url);
  std::string port;
  if (common::StartsWithIgnoringAsciiCase(rest, "https://")) {
    rest.remove_prefix(8);
    port = "443";
  } else if (common::StartsWithIgnoringAsciiCase(rest, "http://")) {
    rest.remove_prefix(7);
    port = "80";
  } else {
    return std::string();
  }
  rest = rest.substr(0, rest.find_first_of("/?#"));
  // Credentials in the URL name no host.
  const size_t at = rest.rfind('@');
  if (at != std::string_view::npos) rest.remove_prefix(at + 1);
  // "[::1]:8443": the colon that separates the port comes after the bracket.
  const size_t bracket = rest.rfind(']');
  const size_t colon = rest.rfind(':');
  std::string_view host = rest;
  if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
    host = rest.substr(0, colon);
    const std::string_view given = rest.substr(colon + 1);
    if (!given.empty()) port = std::string(given);
  }
  if (host.empty()) return std::string();
  return common::AsciiLower(std::string(host)) + ":" + port;
}

namespace {

bool IsTokenTarget(const std::string& target, const TransportSettings& settings,
                   const std::vector<std::string>& extraHosts = {}) {
  const std::optional<std::vector<std::string>>& hosts = settings.tokenHosts;
  if (!hosts) return true;
  const std::string authority = HttpClient::Authority(target);
  if (authority.empty()) return false;
  return std::find(hosts->begin(), hosts->end(), authority) != hosts->end() ||
         std::find(extraHosts.begin(), extraHosts.end(), authority) != extraHosts.end();
}

// "host" and "port" of an Authority.
std::pair<std::string, std::string> SplitAuthority(const std::string& authority) {
  const size_t colon = authority.rfind(':');
  if (colon == std::string::npos) return {authority, ""};
  return {authority.substr(0, colon), authority.substr(colon + 1)};
}

// A name of dot-separated labels of letters, digits and hyphens, at least
// two of them, the last not starting with a digit: anything else (an IP
// literal, "localhost", a trailing dot, an empty label) is compared as it
// stands and never by its domain.
bool IsPlainHostName(const std::string& host) {
  if (host.empty() || host.front() == '.' || host.back() == '.') return false;
  size_t labels = 1;
  size_t lastLabel = 0;
  char previous = '.';
  for (size_t i = 0; i < host.size(); ++i) {
    const char c = host[i];
    if (c == '.') {
      if (previous == '.') return false;
      ++labels;
      lastLabel = i + 1;
    } else if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) {
      return false;
    }
    previous = c;
  }
  // No top-level domain starts with a digit: "127.0.0.1", "10.1" and the like
  // are addresses.
  const char first = host[lastLabel];
  return labels >= 2 && !(first >= '0' && first <= '9');
}

struct PslDeleter {
  void operator()(psl_ctx_t* psl) const { psl_free(psl); }
};

// The system's list when it is newer than the one built into libpsl; read
// once, then only read from.
const psl_ctx_t* PublicSuffixes() {
  static const std::unique_ptr<psl_ctx_t, PslDeleter> latest(psl_latest(nullptr));
  return latest ? latest.get() : psl_builtin();
}

}  // namespace

bool HttpClient::IsTokenHost(const std::string& url) {
  const std::string target = RewriteUrl(url);
  return !target.empty() && IsTokenTarget(target, CurrentTransportSettings());
}

std::string HttpClient::RegistrableDomain(const std::string& host) {
  if (!IsPlainHostName(host)) return std::string();
  const psl_ctx_t* psl = PublicSuffixes();
  if (!psl) return std::string();
  // Null for a public suffix: "co.uk" or "github.io" is no one's domain.
  const char* domain = psl_registrable_domain(psl, host.c_str());
  return domain ? std::string(domain) : std::string();
}

bool HttpClient::IsSameDomainHost(const std::string& url, const std::string& configuredUrl) {
  const std::string target = Authority(RewriteUrl(url));
  const std::string configured = Authority(RewriteUrl(configuredUrl));
  if (target.empty() || configured.empty()) return false;
  if (target == configured) return true;
  const auto [host, port] = SplitAuthority(target);
  const auto [configuredHost, configuredPort] = SplitAuthority(configured);
  if (port != configuredPort) return false;
  // The names as written decide whether they are names at all: the rewrite
  // turns "localhost" into a name of two labels and "127.0.0.1" into one
  // that looks like a domain.
  for (const std::string* written : {&url, &configuredUrl}) {
    if (!IsPlainHostName(SplitAuthority(Authority(*written)).first)) return false;
  }
  const std::string domain = RegistrableDomain(host);
  return !domain.empty() && domain == RegistrableDomain(configuredHost);
}

int32_t HttpClient::Perform(const std::string& method, const std::string& url, const std::string& body) {
  // Whatever ends this request early, it leaves no answer of an earlier one
  // behind: a loader must never take the last document for this one's.
  status_ = 0;
  response_.clear();
  delivery_ = Delivery::kNotSent;

  // Checked before the token is asked for: a URL that cannot be sent must
  // never start a login.
  const std::string target = RewriteUrl(url);
  if (target.empty()) {
    KX_LOG(ERROR) << "[HttpClient::Perform][not an http or https URL: " << url << "]";
    return status_;
  }
  // One copy of the settings serves the whole request.
  const TransportSettings settings = CurrentTransportSettings();
  if (!IsTokenTarget(target, settings, extraTokenHosts_)) {
    KX_LOG(ERROR) << "[HttpClient::Perform][not sent: " << Authority(target) << " is no host of the configuration]";
    return status_;
  }

  // Declared before the handle: the handle must be cleaned up first.
  const std::shared_ptr<ConnectionPool> pool = ConnectionPool::Current();
  CurlHandle curl = NewCurlHandle();
  if (!curl) return status_;

  const std::shared_ptr<AccessTokenProvider> provider = CurrentAccessTokenProvider();
  std::string token;
  if (provider) {
    // Told apart from a failure of the request: the caller knows then that
    // nothing reached the server.
    try {
      token = provider->GetAccessToken();
    } catch (const common::Exception& e) {
      throw TokenRequestException("HttpClient: no bearer token", e);
    }
  }
  if (token.empty()) return status_;

  CURL* h = curl.get();
  pool->Attach(h);
  ApplyTransferLimits(h, settings);
  if (settings.verbose) {
    curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, TraceToDebugLog);
    curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
  }
  curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent);
  // The token was checked for this host only: an answer that points
  // elsewhere is the answer, never a second request.
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");

  HeaderList headers;
  bool headersComplete = Append(headers, "Authorization: Bearer " + token);
  for (const auto& [name, value] : headers_) headersComplete = headersComplete && Append(headers, name + ": " + value);
  // Without this line libcurl would send the body chunked; the gates expect
  // the Content-length given by Post.
  if (method == "POST" || method == "PUT") headersComplete = headersComplete && Append(headers, "Transfer-Encoding:");
  if (!headersComplete) return status_;
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_URL, target.c_str());

  if (!proxy_.empty()) curl_easy_setopt(h, CURLOPT_PROXY, proxy_.c_str());

  ReplyBody reply{&response_, replyLimit_};
  CollectReply(h, &reply);

  const bool hasBody = method == "POST" || method == "PUT";
  RequestBody source{&body};
  TransferWatch watch{hasBody ? &source : nullptr, cancellable_};
  WatchTransfer(h, &watch);
  if (timeLimit_.count() > 0) curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeLimit_.count()));
  if (method == "GET") {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  } else if (hasBody) {
    SendBodyOnce(h, &source);
    curl_easy_setopt(h, method == "POST" ? CURLOPT_POST : CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_MAXAGE_CONN, kPostConnectionMaxIdleSeconds);
  }

  const CURLcode result = curl_easy_perform(h);
  if (result == CURLE_OK) {
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    status_ = static_cast<int32_t>(code);
    delivery_ = Delivery::kAnswered;
  } else {
    delivery_ = FailedDelivery(result, source, hasBody);
    // Part of a body is no answer.
    response_.clear();
    if (reply.exceeded || result == CURLE_FILESIZE_EXCEEDED) {
      KX_LOG(ERROR) << "[HttpClient::Perform][" << method << " " << target << ": reply larger than " << replyLimit_
                    << " bytes, refused]";
    } else {
      KX_LOG(DEBUG) << "[HttpClient::Perform][" << method << " " << target << " failed: " << curl_easy_strerror(result)
                    << (watch.aborted ? ", run cancelled" : "")
                    << (delivery_ == Delivery::kLost ? ", after the body went out" : "") << "]";
    }
  }
  if (status_ == 401 && provider) provider->TokenRefused();
  return status_;
}

}  // namespace belmor::korvex
