#ifndef KORVEX_TRANSPORT_INPUT_GATE_CLIENT_H_
#define KORVEX_TRANSPORT_INPUT_GATE_CLIENT_H_

#include <memory>
#include <string>

#include "common/exception.h"
#include "transport/security_client.h"

namespace belmor::korvex {

// The texts of the gate's version answers: the newest-version query fills the
// first three, the minimum-version query the last two.
struct VersionInfo {
  std::string currentVersion;
  std::string url;
  std::string info;
  std::string minDate;
  std::string minVer;
};

// The server's view of one trust center: sessions, invoice upload and the
// response gate, each an XML-RPC call. So far only what the engine needs
// exists (construction and a new URL when another center is selected); the
// gate-client work adds the calls.
class InputGateClient {
 public:
  // connectionUri: the trust center's session and version service.
  InputGateClient(std::shared_ptr<SecurityClient> securityClient, std::string connectionUri)
      : securityClient_(std::move(securityClient)), connection_uri_(std::move(connectionUri)) {}
  virtual ~InputGateClient() = default;
  InputGateClient(const InputGateClient&) = delete;
  InputGateClient& operator=(const InputGateClient&) = delete;

  void SetConnectionUri(const std::string& url) { connection_uri_ = url; }
  const std::string& ConnectionUri() const { return connection_uri_; }
  const std::shared_ptr<SecurityClient>& GetSecurityClient() const { return securityClient_; }

  // The oldest client version the trust center accepts and the treatment date
  // from which that holds; empty when the gate gave no usable answer. Virtual
  // so the validation step can be run against a gate double; the XML-RPC call
  // comes with the gate-client work.
  virtual std::shared_ptr<VersionInfo> QueryMinVersion() {
    throw common::RuntimeException("InputGateClient::QueryMinVersion: not available");
  }

 private:
  std::shared_ptr<SecurityClient> securityClient_;
  std::string connection_uri_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_INPUT_GATE_CLIENT_H_
