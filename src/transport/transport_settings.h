#ifndef KORVEX_TRANSPORT_TRANSPORT_SETTINGS_H_
#define KORVEX_TRANSPORT_TRANSPORT_SETTINGS_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace belmor::korvex {

// What the transport takes from the workstation settings. The engine hands it
// over after it has read the settings; the transport never reaches back into
// the engine, so it can be built and tested without one.
struct TransportSettings {
  // CA bundle for every HTTPS request; empty: the system store.
  std::string caFile;
  // libcurl's verbose trace, routed into the debug log with the credentials
  // masked. Off unless the practice switched debugging on.
  bool verbose = false;
  // A connection that is not up after connectTimeoutSeconds, or a transfer
  // that moves less than one byte a second for noProgressSeconds, is given up
  // (status 0). Generous enough for a slow line; tests shorten them.
  long connectTimeoutSeconds = 30;
  long noProgressSeconds = 60;
  // Bases of the HIN OAuth service (the fixed paths are added by the client).
  std::string hinAuthUrl;
  std::string hinTokenUrl;
  std::string hinStartPage;
  // The login proves with PKCE that the code it redeems is its own. Off
  // only for a HIN service that refuses the parameters ("hinPkce").
  bool hinPkce = true;
  // The hosts the practice configured, which alone may receive the bearer
  // token: "host:port" as HttpClient::Authority gives them for the addresses
  // requested. A request to any other host is not sent. Unset: no limit (a
  // tool or test without an engine); the engine always sets it.
  std::optional<std::vector<std::string>> tokenHosts;
  // Stores a new current HIN login as the "hinLogin" setting (a token reply
  // names it; a refused token leaves a single blank). Empty: not stored.
  std::function<void(const std::string&)> storeHinLogin;
};

// Replaces the process-wide settings; safe from any thread.
void SetTransportSettings(TransportSettings settings);
// A copy of the settings in effect (defaults until the engine sets them).
TransportSettings CurrentTransportSettings();

// Gives every HTTP request its bearer token. The OAuth client's token store is
// the one provider of the product; tests install fixed ones.
class AccessTokenProvider {
 public:
  virtual ~AccessTokenProvider() = default;
  // The token to send; empty: the request is not sent.
  virtual std::string GetAccessToken() = 0;
  // The trust center answered 401: the current login's token is dropped.
  virtual void TokenRefused() = 0;
};

// Process-wide provider; none until the OAuth client is initialised (or a
// test installs one). Without a provider the token is empty and nothing is
// sent.
void SetAccessTokenProvider(std::shared_ptr<AccessTokenProvider> provider);
std::shared_ptr<AccessTokenProvider> CurrentAccessTokenProvider();

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_TRANSPORT_SETTINGS_H_
