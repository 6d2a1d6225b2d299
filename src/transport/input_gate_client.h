#ifndef KORVEX_TRANSPORT_INPUT_GATE_CLIENT_H_
#define KORVEX_TRANSPORT_INPUT_GATE_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/exception.h"
#include "logging/korvex_logger.h"
#include "transport/http_client.h"
#include "transport/rpc_request.h"
#include "transport/rpc_value.h"
#include "transport/security_client.h"

namespace belmor::korvex {

// The gate's clear refusal of a call: its reply was read and was an XML-RPC
// fault. It is a RuntimeException, so every guard that catches those still
// catches it; callers that must tell a refusal from a reply they could not
// read (the gate may have acted on that one) catch this class first. The
// description is that of RuntimeException, so log lines read as before.
KORVEX_DECLARE_EXCEPTION(GateFaultException, common::RuntimeException, "Runtime exception");

// An upload whose fate is unknown: its body went out, and what came back
// (nothing, a gateway's 500, 502 or 504, an answer that cannot be read) does
// not tell whether the gate stored it. Sending it again could bill twice.
KORVEX_DECLARE_EXCEPTION(UnknownOutcomeException, common::RuntimeException, "Runtime exception");

// The texts of the gate's version answers: the newest-version query fills the
// first three, the minimum-version query the last two.
struct VersionInfo {
  std::string currentVersion;
  std::string url;
  std::string info;
  std::string minDate;
  std::string minVer;
};

// The server's view of one trust center: sessions, invoice upload, the
// response gate and the version queries. Every operation is one XML-RPC call
// sent by HTTP POST on a fresh HttpClient, so calls never share transfer
// state. Used by one worker thread at a time; holds no lock.
//
// Failures: a reply with an HTTP status other than 200 (0: no connection) is
// logged and seen by the operations as the Boolean false; an unreadable reply
// raises common::RuntimeException and an XML-RPC fault GateFaultException,
// both "InputGateClient::SendRequest: xmlrpc fault" with a subject that gives
// the status, the length and a fault's code and text, never the body (the
// fault's code and text also stay in the client); a reply of the wrong kind
// raises RpcError "Invalid type conversion" unless the operation says
// otherwise. The operations are virtual so the steps can run against a gate
// double.
class InputGateClient {
 public:
  // connectionUri: the trust center's session and version service.
  InputGateClient(std::shared_ptr<SecurityClient> securityClient, std::string connectionUri);
  virtual ~InputGateClient();
  InputGateClient(const InputGateClient&) = delete;
  InputGateClient& operator=(const InputGateClient&) = delete;

  // Another trust center: the gate URLs, the session and the write-failed
  // flag are forgotten without a call to the old center. The cached minimum
  // version stays.
  void SetConnectionUri(const std::string& url);
  const std::string& ConnectionUri() const { return connection_uri_; }
  const std::shared_ptr<SecurityClient>& GetSecurityClient() const { return securityClient_; }
  // Handed to every HTTP client of the calls; none by default.
  void SetProxy(std::string host, uint16_t port);

  // Opens a session and takes the gate URLs from the reply. False (and
  // nothing changed) for a reply of the wrong shape or a failed HTTP status;
  // faults and unreadable replies raise. A gate URL must name a host of the
  // configuration or an https host of the trust center's own domain on its
  // port (HttpClient::IsSameDomainHost); such a host receives the token for
  // this session. A session naming any other host is refused (false,
  // RefusedGate names it) and closed where it was opened.
  virtual bool Connect(const std::string& product, const std::string& edition);
  // The gate whose host refused the last Connect, as its reply named it
  // (host and any port); empty when the last Connect refused none.
  const std::string& RefusedGate() const { return refusedGate_; }
  // Closes an open session; the session is forgotten even when the call fails.
  virtual void CloseSession();
  virtual bool IsConnected() const { return !session_.empty(); }

  // Uploads one invoice (all its bytes) and returns the gate's messages for
  // it, normalised to the report enumerations. WriteFailed() afterwards tells
  // whether the gate took it: it stays true without a session or on a failed
  // HTTP status, and a module message of error level or worse sets it too.
  // Only a definite answer returns: a readable reply, a fault
  // (GateFaultException), an HTTP status 4xx or 503, or a failure before the
  // body left (LastCallUnreachable tells the host was not reached). Any other
  // outcome raises UnknownOutcomeException.
  virtual std::vector<std::shared_ptr<LogRecord>> Write(const std::string& invoice, bool asBase64);
  virtual std::vector<std::shared_ptr<LogRecord>> Write2(const std::string& invoice) { return Write(invoice, true); }
  virtual bool WriteFailed() const { return writeFailed_; }
  // Whether the last call failed because the trust center could not be
  // reached or did not answer in time: nothing went out.
  virtual bool LastCallUnreachable() const { return lastDelivery_ == HttpClient::Delivery::kUnreachable; }

  // Bounds each later call to limit (0: no bound of its own); with
  // cancellable false, the calls still go out after the run was cancelled.
  virtual void LimitCalls(std::chrono::milliseconds limit, bool cancellable);

  // The names of the waiting responses; filter "*" lists all of them. An
  // empty filter raises std::out_of_range "invalid string position". Needs no
  // session.
  virtual std::shared_ptr<std::vector<std::string>> EnumResponses(const std::string& product,
                                                                  const std::string& edition,
                                                                  const std::string& filter);
  // One response's text; with confirm the gate may drop it afterwards. Empty
  // without a session.
  virtual std::string ReadResponse(const std::string& product, const std::string& edition, const std::string& name,
                                   bool confirm);

  // The oldest client version the trust center accepts and the treatment date
  // from which that holds, asked once per client and then served from the
  // cache; empty when the gate gave no usable answer.
  virtual std::shared_ptr<VersionInfo> QueryMinVersion();
  // The newest client version for this platform and build; empty for a reply
  // of the wrong shape. language is sent in upper case.
  virtual std::shared_ptr<VersionInfo> QueryNewVersion(const std::string& buildDate, std::string language);

  // The platform word of the newest-version query ("win32" for the Windows
  // product) and the processor architecture of this build.
  static constexpr char kPlatform[] = "linux";
#if defined(__x86_64__)
  static constexpr char kArchitecture[] = "x86_64";
#else
  static constexpr char kArchitecture[] = "UNKNOWN ARCHITECTURE";
#endif

  // The common call: builds the request from the signature and arguments
  // (see RpcRequest::Build), posts it to url and returns the reply's result,
  // or the Boolean false when the HTTP status was not 200.
  template <typename... Args>
  RpcValue SendRequest(const std::string& url, const std::string& methodName, std::string_view signature,
                       const Args&... args) {
    RpcRequest request(url);
    if (!request.Build(methodName, signature, args...)) ThrowUnbuildable(methodName);
    return Send(request);
  }

  // The last XML-RPC fault received.
  const std::string& FaultString() const { return faultString_; }
  int32_t FaultCode() const { return faultCode_; }

 protected:
  // Posts the request and judges the reply (see SendRequest).
  virtual RpcValue Send(const RpcRequest& request);

 private:
  [[noreturn]] static void ThrowUnbuildable(const std::string& methodName);
  // True when the result is a fault; stores its code and text.
  bool IsFault(const RpcValue& result);

  // Whether the last exchange leaves it open if the gate acted on it.
  bool LastOutcomeUnknown() const;

  std::string proxyHost_;
  uint16_t proxyPort_ = 0;
  std::chrono::milliseconds callLimit_{0};
  bool callsCancellable_ = true;
  HttpClient::Delivery lastDelivery_ = HttpClient::Delivery::kNotSent;
  int32_t lastStatus_ = 0;
  std::shared_ptr<SecurityClient> securityClient_;
  std::string connection_uri_;
  std::string write_uri_;
  std::string reader_uri_;
  std::string session_;
  // The gate hosts of the open session beyond the configured ones.
  std::vector<std::string> sessionHosts_;
  std::string refusedGate_;
  std::shared_ptr<VersionInfo> minVersion_;
  std::string faultString_;
  int32_t faultCode_ = 0;
  bool writeFailed_ = false;
};

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_INPUT_GATE_CLIENT_H_
