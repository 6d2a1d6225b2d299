#ifndef KORVEX_TESTS_SUPPORT_TRUST_CENTER_SIM_H_
#define KORVEX_TESTS_SUPPORT_TRUST_CENTER_SIM_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace belmor::testing {

struct TrustCenterSimOptions {
  // When not 0, the served configuration and the session URLs name this port
  // instead of the HTTPS port, so a proxy listening there can stand between
  // client and simulator (which forwards to HttpsPort()).
  int publicPort = 0;
};

// One line of the simulator's request log, taken apart.
struct SimRequest {
  std::string port;     // "https" or "http": the listener that received it
  int connection = 0;   // the connection's number on that listener, from 1
  std::string host;     // the Host header; empty when there was none
  std::string method;
  std::string path;     // as in the request line, query included
  std::optional<std::string> authorization;  // the header's value, if sent
  std::string rpcMethod;  // empty for requests that are no XML-RPC call
  int status = 0;         // 0 for a dropped connection
};

// One running test trust center (testing/trustcenter/simulator.py) in a fresh
// state directory of its own, with system-chosen ports, so suites may run side
// by side. Configured URLs name "http://localhost:<PublicPort()>"; the HTTP
// client's rewrite turns them into "https://oauth2.localhost:<PublicPort()>",
// which CaFile() makes trusted (as it does "oauth2.other.localhost"). The
// destructor stops the simulator and removes the directory; if the test
// program dies instead, the simulator notices its parent is gone and ends by
// itself.
//
// Faults and answers are steered through SetControl (the simulator reads the
// control file at every request); what reached the simulator is in
// RequestLog. Both listeners keep connections alive; HttpsConnections and
// HttpConnections tell how many a client opened. Not thread-safe; one object
// per test or fixture.
class TrustCenterSim {
 public:
  // Starts the simulator and waits up to 30 s until it is ready; throws
  // std::runtime_error (with the simulator's output) when it does not come up.
  TrustCenterSim();
  explicit TrustCenterSim(const TrustCenterSimOptions& options);
  // SIGTERM, then SIGKILL when it has not ended after 5 s.
  ~TrustCenterSim();
  TrustCenterSim(const TrustCenterSim&) = delete;
  TrustCenterSim& operator=(const TrustCenterSim&) = delete;

  int HttpsPort() const { return https_port_; }
  int HttpPort() const { return http_port_; }
  // The port configured URLs name: publicPort when given, else HttpsPort().
  int PublicPort() const { return public_port_; }
  pid_t Pid() const { return pid_; }
  // The test CA that signed the server certificate (PEM).
  std::string CaFile() const;
  // "http://localhost:<PublicPort()>": the form configured URLs take.
  std::string BaseUrl() const;
  // "http://localhost:<http_port>": login page ("/REST/v1/OAuth/GetAuthCode/...")
  // and start page ("/start").
  std::string LoginBaseUrl() const;
  // "https://oauth2.localhost:<PublicPort()>": base of the token endpoint.
  std::string TokenBaseUrl() const;

  std::string StateDir() const { return dir_; }
  std::string RecipientsDir() const;
  // PEM texts of a recipient of the configuration (tcnord-a, tcnord-b, tcsued-a).
  std::string RecipientCert(const std::string& name) const;
  std::string RecipientKey(const std::string& name) const;

  // Replaces control.json atomically; the next request sees it.
  void SetControl(const std::string& json);
  // Contents of the uploaded invoices, in upload order.
  std::vector<std::string> Uploads() const;
  // Puts a response into responses/<filter>/<name> for the response gate.
  void AddResponse(const std::string& filter, const std::string& name, const std::string& body);
  bool HasResponse(const std::string& filter, const std::string& name) const;
  // One JSON object per request received, in arrival order.
  std::vector<std::string> RequestLog() const;
  // The same, taken apart.
  std::vector<SimRequest> Requests() const;

  // Connections accepted so far, read afresh at every call. An HTTPS
  // connection counts once its TLS handshake completed; failed handshakes
  // count apart.
  int HttpsConnections() const;
  int HttpConnections() const;
  int HttpsHandshakeFailures() const;

  // Absolute path of the browser stand-in, for KORVEX_BROWSER.
  static std::string BrowserCommand();
  // Always accepted as a bearer token, without any control.
  static constexpr char kValidToken[] = "KorvexSimulatorBuiltInAccessToken0123456789abcdefghijklmnopq";
  static_assert(sizeof kValidToken == 61, "the simulator issues 60-character tokens");

 private:
  void Stop();

  std::string dir_;
  pid_t pid_ = -1;
  int https_port_ = 0;
  int http_port_ = 0;
  int public_port_ = 0;
};

// A port on loopback where nothing listens: a trust center that cannot be
// reached.
int ClosedLoopbackPort();

}  // namespace belmor::testing

#endif  // KORVEX_TESTS_SUPPORT_TRUST_CENTER_SIM_H_
