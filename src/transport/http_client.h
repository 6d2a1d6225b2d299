#ifndef KORVEX_TRANSPORT_HTTP_CLIENT_H_
#define KORVEX_TRANSPORT_HTTP_CLIENT_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/exception.h"
#include "transport/curl_transfer.h"

namespace belmor::korvex {

// The HIN token service failed while a request asked for its bearer token
// (an answer of the wrong shape, most often); the request itself was never
// sent. Carries the token service's failure as its cause.
KORVEX_DECLARE_EXCEPTION(TokenRequestException, common::RuntimeException, "Token request failed");

// One HTTP(S) request at a time over libcurl, for the gate calls and the
// document downloads. Every request carries the current HIN access token
// (CurrentAccessTokenProvider) as a bearer token and goes to the HIN OAuth2
// gateway: "http://H/P" and "https://H/P" are both requested as
// "https://oauth2.H/P". The CA bundle, the verbose trace and the time-outs
// come from CurrentTransportSettings() at each request.
//
// Requests to one host travel over one kept-alive TLS connection
// (ConnectionPool), whichever HttpClient object sends them; a connection the
// server has closed is opened again for the request. The token goes only to
// the hosts of TransportSettings::tokenHosts and those added to the object
// (AddTokenHost): a request to any other host is not sent, and a redirect is
// never followed. A reply larger than the reply
// limit fails the request.
//
// A request body goes out at most once: libcurl's retry of a kept connection
// that turned out dead is refused once any byte of it was handed over (the
// server may have stored it before it closed), and POSTs do not reuse a
// connection idle for more than a moment. A cancel of the run aborts a
// request at once while its body has not gone out, else after kCancelGrace.
//
// Throws only TokenRequestException, when the token service fails before the
// request goes out; otherwise callers judge GetStatus(). Status and body are
// always those of the last request: status 0 and no body when it failed or
// was not sent (no connection, TLS failure, no progress for too long, a URL
// without "http://" or "https://", a host not configured, no token, a reply
// too large). One thread at a time; users make one object per task.
class HttpClient {
 public:
  // What became of the last request, beyond its status. A body that went out
  // may have been acted on by the server even when no answer came back, so
  // callers that must not do a thing twice tell kLost from kNotSent.
  enum class Delivery {
    kAnswered,     // a status came back (GetStatus)
    kNotSent,      // nothing of the body left: not sent at all, or refused before it (TLS)
    kUnreachable,  // like kNotSent, because the host could not be reached or did not answer in time
    kLost,         // the body, or part of it, went out and no whole answer came back
  };

  HttpClient();
  HttpClient(std::string proxyHost, uint16_t proxyPort);
  virtual ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Adds one header line for the following requests; nothing is replaced, so
  // a name added twice is sent twice. Lines go out sorted by name (byte-wise),
  // equal names in the order added, after the Authorization line.
  void SetHeader(const std::string& name, const std::string& value);

  // Each stores its value and then calls SetProxy.
  void SetProxyHost(const std::string& host);
  void SetProxyPort(uint16_t port);
  // Logs the proxy and forms its address; requests go through the proxy when
  // the host is not empty and the port above 0.
  void SetProxy();

  int32_t Get(const std::string& url);
  // Sends "Content-length" with the body's size in bytes (no chunked
  // encoding). That header belongs to this one request: it does not stay for
  // the object's later requests.
  int32_t Post(const std::string& url, const std::string& body);

  // One more "host:port" (as Authority gives it for the address requested)
  // that this object's requests may go to with the token: a gate of the
  // trust center's own domain that its session named.
  void AddTokenHost(const std::string& authority) { extraTokenHosts_.push_back(authority); }

  // Bounds the whole of each later request (0: no bound beyond the transfer
  // limits of the settings).
  void SetTimeLimit(std::chrono::milliseconds limit) { timeLimit_ = limit; }
  // With false, later requests go on after the run is cancelled (closing a
  // session); give them a time limit then.
  void SetCancellable(bool cancellable) { cancellable_ = cancellable; }

  // Bytes a reply body may have; kGateReplyLimit unless set.
  void SetReplyLimit(size_t bytes) { replyLimit_ = bytes; }

  // The body of the last response, as raw bytes.
  std::string GetResponse() const { return response_; }
  int32_t GetStatus() const { return status_; }
  Delivery LastDelivery() const { return delivery_; }

  // The address requested for a configured URL, or empty when the URL has
  // neither "http://" nor "https://" (then nothing is sent).
  static std::string RewriteUrl(const std::string& url);
  // "host:port" of an absolute URL, the host in lower case and the scheme's
  // port when none is given (80 for http, 443 for https); empty for anything
  // else. Names the host in TransportSettings::tokenHosts.
  static std::string Authority(const std::string& url);
  // Whether the address requested for a configured URL (RewriteUrl) is on a
  // host that may receive the token.
  static bool IsTokenHost(const std::string& url);
  // Whether the address requested for url (RewriteUrl) lies on the port of
  // the one requested for configuredUrl and in the same registrable domain
  // ("gate2.tc.example" beside "gate.tc.example"). IP literals, single-label
  // names and names that are no plain host name belong to no domain: they
  // match only the very same host.
  static bool IsSameDomainHost(const std::string& url, const std::string& configuredUrl);
  // The registrable domain of a lower-case host name by the public suffix
  // list, private suffixes included ("tc.example" for "gate.tc.example",
  // "praxis.github.io" for "gate.praxis.github.io"); empty for a public
  // suffix itself and for an IP literal, a single label or a malformed name.
  static std::string RegistrableDomain(const std::string& host);

 private:
  // method: "GET", "POST" or "PUT".
  int32_t Perform(const std::string& method, const std::string& url, const std::string& body);

  std::multimap<std::string, std::string> headers_;
  std::vector<std::string> extraTokenHosts_;
  std::string response_;
  std::string proxyHost_;
  uint16_t proxyPort_ = 0;
  std::string proxy_;  // "http://host:port/" or empty
  int32_t status_ = 0;
  size_t replyLimit_ = kGateReplyLimit;
  std::chrono::milliseconds timeLimit_{0};
  bool cancellable_ = true;
  Delivery delivery_ = Delivery::kNotSent;
};

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_HTTP_CLIENT_H_
