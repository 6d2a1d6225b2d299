#include "transport/input_gate_client.h"

#include <stdexcept>
#include <string_view>

#include "common/string_util.h"
#include "logging/log.h"
#include "transport/http_client.h"
#include "transport/rpc_response.h"

namespace belmor::korvex {

namespace {

constexpr char kFaultMessage[] = "InputGateClient::SendRequest: xmlrpc fault";

// Whether the reply ends with the closing tag of its document.
bool IsCompleteDocument(std::string_view body) {
  constexpr std::string_view kEnd = "</methodResponse>";
  const size_t last = body.find_last_not_of(" \t\r\n");
  if (last == std::string_view::npos) return false;
  body = body.substr(0, last + 1);
  return body.size() >= kEnd.size() && body.substr(body.size() - kEnd.size()) == kEnd;
}

// What a failure may tell of a reply. The body itself never goes into a log
// line or an exception: a response-gate reply holds a patient's name, birth
// date and insurance number, and both end up in the debug log.
std::string ReplySummary(int32_t status, const std::string& body) {
  return "status " + std::to_string(status) + ", " + std::to_string(body.size()) + " bytes";
}

// The host (and any port) of a gate URL as the reply wrote it, for the
// practice to read: it goes into the session log and to every client, so
// nothing but the characters of a host name survives, and not too many.
std::string GateName(const std::string& url) {
  std::string_view rest(url);
  const size_t scheme = rest.find("://");
  if (scheme != std::string_view::npos) rest.remove_prefix(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  const size_t at = rest.rfind('@');
  if (at != std::string_view::npos) rest.remove_prefix(at + 1);
  std::string name;
  for (const char c : rest.substr(0, 255)) {
    const bool hostChar = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          c == '.' || c == '-' || c == ':' || c == '[' || c == ']' || c == '_';
    name += hostChar ? c : '?';
  }
  return name.empty() ? "?" : name;
}

}  // namespace

InputGateClient::InputGateClient(std::shared_ptr<SecurityClient> securityClient, std::string connectionUri)
    : securityClient_(std::move(securityClient)), connection_uri_(std::move(connectionUri)) {}

InputGateClient::~InputGateClient() = default;

void InputGateClient::SetConnectionUri(const std::string& url) {
  connection_uri_ = url;
  write_uri_.clear();
  reader_uri_.clear();
  session_.clear();
  sessionHosts_.clear();
  writeFailed_ = false;
}

void InputGateClient::SetProxy(std::string host, uint16_t port) {
  proxyHost_ = std::move(host);
  proxyPort_ = port;
}

void InputGateClient::LimitCalls(std::chrono::milliseconds limit, bool cancellable) {
  callLimit_ = limit;
  callsCancellable_ = cancellable;
}

// Definite are a status the gate itself answers before or instead of acting
// (4xx; 503: not taking requests) and, of course, a readable reply. A 500,
// 502 or 504 comes from the HTTPS gateway in front of the gate, which may
// have passed the upload on before it gave up.
bool InputGateClient::LastOutcomeUnknown() const {
  if (lastDelivery_ == HttpClient::Delivery::kLost) return true;
  if (lastDelivery_ != HttpClient::Delivery::kAnswered) return false;
  const bool definite = lastStatus_ == 200 || (lastStatus_ >= 400 && lastStatus_ < 500) || lastStatus_ == 503;
  return !definite;
}

void InputGateClient::ThrowUnbuildable(const std::string& methodName) {
  throw common::RuntimeException("InputGateClient::SendRequest: arguments do not fit the signature", methodName);
}

RpcValue InputGateClient::Send(const RpcRequest& request) {
  std::string document;
  request.Write(document);

  HttpClient http(proxyHost_, proxyPort_);
  http.SetHeader("Content-type", "text/xml");
  http.SetHeader("Accept", "*/*");
  http.SetTimeLimit(callLimit_);
  http.SetCancellable(callsCancellable_);
  for (const std::string& host : sessionHosts_) http.AddTokenHost(host);
  const int32_t status = http.Post(request.Url(), document);
  lastDelivery_ = http.LastDelivery();
  lastStatus_ = status;
  const std::string body = http.GetResponse();
  if (status != 200) {
    KX_LOG(ERROR) << "[InputGateClient::SendRequest][code: " << status << "][response of " << body.size()
                  << " bytes]";
    return RpcValue::MakeBoolean(false);
  }

  // The reader takes a document that breaks off for what it holds so far;
  // here that would pass half a response text as the whole one. So a reply
  // counts as readable only when it is complete and carries a value.
  if (!IsCompleteDocument(body)) {
    throw common::RuntimeException(kFaultMessage, ReplySummary(status, body) + ", incomplete");
  }
  RpcResponse response;
  try {
    response.Read(std::string_view(body));
  } catch (const RpcError&) {
    throw common::RuntimeException(kFaultMessage, ReplySummary(status, body) + ", unreadable");
  }
  if (!response.Result().IsValid()) {
    throw common::RuntimeException(kFaultMessage, ReplySummary(status, body) + ", no value");
  }
  if (IsFault(response.Result())) {
    KX_LOG(ERROR) << "[InputGateClient::SendRequest][xmlrpc fault: " << faultCode_ << " (" << faultString_ << ")]";
    throw GateFaultException(kFaultMessage, ReplySummary(status, body) + ", fault " + std::to_string(faultCode_) +
                                                " (" + faultString_ + ")");
  }
  return std::move(response.Result());
}

// A fault is recognised by its shape, not by the "fault" element: a Struct of
// exactly the two members "faultString" and "faultCode", in either order.
bool InputGateClient::IsFault(const RpcValue& result) {
  if (result.kind() != RpcValue::kStruct) return false;
  const RpcValue::Members& members = result.AsStruct();
  if (members.size() != 2) return false;
  const bool named = (members[0].name == "faultString" && members[1].name == "faultCode") ||
                     (members[0].name == "faultCode" && members[1].name == "faultString");
  if (!named) return false;
  try {
    for (const RpcMember& member : members) {
      if (member.name == "faultString") {
        faultString_ = member.value.AsString();
      } else {
        faultCode_ = member.value.AsInt();
      }
    }
  } catch (const RpcError&) {
    // Still a fault; the fields keep what was read.
  }
  return true;
}

bool InputGateClient::Connect(const std::string& product, const std::string& edition) {
  refusedGate_.clear();
  try {
    const RpcValue result = SendRequest(connection_uri_, "korvex.session.new", "S:sss", product, edition, "InputGate");
    if (result.AsStruct().size() != 3) return false;
    std::string session = result.GetMember("session").AsString();
    std::string writeUri = result.GetMember("url").AsString();
    std::string readerUri = result.GetMember("url2").AsString();
    // The gates get the practice's bearer token with every call: a session
    // that names a host outside the trust center's domain is refused before
    // anything goes there, and closed where it was opened. A trust center
    // may spread its gates over hosts of its own domain.
    std::vector<std::string> sessionHosts;
    for (const std::string* uri : {&writeUri, &readerUri}) {
      if (HttpClient::IsTokenHost(*uri)) continue;
      if (HttpClient::IsSameDomainHost(*uri, connection_uri_)) {
        sessionHosts.push_back(HttpClient::Authority(HttpClient::RewriteUrl(*uri)));
        continue;
      }
      KX_LOG(ERROR) << "[InputGateClient::Connect][session refused: gate " << HttpClient::Authority(*uri)
                    << " is no host of the configuration or its domain]";
      refusedGate_ = GateName(*uri);
      session_ = std::move(session);
      try {
        CloseSession();
      } catch (const common::Exception& e) {
        KX_LOG(ERROR) << "[InputGateClient::Connect][refused session not closed: " << e.Text() << "]";
      }
      return false;
    }
    session_ = std::move(session);
    write_uri_ = std::move(writeUri);
    reader_uri_ = std::move(readerUri);
    sessionHosts_ = std::move(sessionHosts);
    KX_LOG(DEBUG) << "[InputGateClient::Connect][write_uri: " << write_uri_ << "][reader_uri_: " << reader_uri_ << "]";
    return true;
  } catch (const RpcError& e) {
    KX_LOG(ERROR) << "[InputGateClient::Connect][SendRequest failed: " << e.Message() << "]";
    return false;
  }
}

void InputGateClient::CloseSession() {
  if (session_.empty()) return;
  const std::string session = std::move(session_);
  session_.clear();
  sessionHosts_.clear();
  SendRequest(connection_uri_, "korvex.session.close", "b:s", session);
}

std::vector<std::shared_ptr<LogRecord>> InputGateClient::Write(const std::string& invoice, bool asBase64) {
  writeFailed_ = true;
  lastDelivery_ = HttpClient::Delivery::kNotSent;
  std::vector<std::shared_ptr<LogRecord>> messages;
  if (session_.empty()) return messages;

  // The flag is cleared only once the whole answer was read: a reply that
  // breaks off half-way must not pass as an accepted invoice.
  bool refused = false;
  try {
    const RpcValue result = asBase64
                                ? SendRequest(write_uri_, "korvex.inputgate.write2", "S:sB", session_, invoice)
                                : SendRequest(write_uri_, "korvex.inputgate.write", "S:ss", session_, invoice);
    if (result.kind() == RpcValue::kBoolean) {
      if (LastOutcomeUnknown()) {
        throw UnknownOutcomeException("InputGateClient::Write: outcome unknown",
                                      "status " + std::to_string(lastStatus_));
      }
      return messages;
    }
    for (const RpcValue& element : result.AsArray()) {
      const RpcValue::Values& fields = element.AsArray();
      if (fields.size() != 6) continue;
      auto record = std::make_shared<LogRecord>(fields[0].AsInt(), fields[1].AsInt(), fields[2].AsInt(),
                                                fields[3].AsInt(), fields[4].AsString(), fields[5].AsString());
      // The gate refused the invoice when one of its modules reports an error.
      if (record->Class() == mcModule && record->Level() > mlWarning) refused = true;
      messages.push_back(std::move(record));
    }
  } catch (const GateFaultException&) {
    throw;
  } catch (const UnknownOutcomeException&) {
    throw;
  } catch (const TokenRequestException&) {
    throw;  // nothing went out
  } catch (const common::Exception& e) {
    // A 200 whose answer cannot be read, or not as messages: the gate may
    // well have stored the invoice before it answered so.
    throw UnknownOutcomeException("InputGateClient::Write: answer unreadable", e);
  }
  writeFailed_ = refused;
  return messages;
}

std::shared_ptr<std::vector<std::string>> InputGateClient::EnumResponses(const std::string& product,
                                                                         const std::string& edition,
                                                                         const std::string& filter) {
  if (filter.empty()) throw std::out_of_range("invalid string position");
  const RpcValue result =
      filter[0] == '*'
          ? SendRequest(reader_uri_, "korvex.responsegate.enum", "A:ss", product, edition)
          : SendRequest(reader_uri_, "korvex.responsegate.enum2", "A:sss", product, edition, filter);
  auto names = std::make_shared<std::vector<std::string>>();
  for (const RpcValue& name : result.AsArray()) names->push_back(name.AsString());
  return names;
}

std::string InputGateClient::ReadResponse(const std::string& product, const std::string& edition,
                                          const std::string& name, bool confirm) {
  if (session_.empty()) return std::string();
  const RpcValue result =
      SendRequest(reader_uri_, "korvex.responsegate.read", "s:sssb", product, edition, name, confirm);
  return result.AsString();
}

std::shared_ptr<VersionInfo> InputGateClient::QueryMinVersion() {
  KX_LOG(DEBUG) << "[InputGateClient::QueryMinVersion][connection_uri_=" << connection_uri_ << "]";
  try {
    if (!minVersion_) {
      const RpcValue result = SendRequest(connection_uri_, "korvex.queryminversion", "S:");
      if (result.AsStruct().size() == 2) {
        auto version = std::make_shared<VersionInfo>();
        version->minDate = result.GetMember("minDate").AsString();
        version->minVer = result.GetMember("minVer").AsString();
        minVersion_ = std::move(version);
      }
    }
  } catch (const RpcError& e) {
    KX_LOG(ERROR) << "[InputGateClient::QueryMinVersion][SendRequest failed: " << e.Message() << "]";
    return nullptr;
  }
  if (!minVersion_) return nullptr;
  auto copy = std::make_shared<VersionInfo>();
  copy->minDate = minVersion_->minDate;
  copy->minVer = minVersion_->minVer;
  return copy;
}

std::shared_ptr<VersionInfo> InputGateClient::QueryNewVersion(const std::string& buildDate, std::string language) {
  language = common::AsciiUpper(std::move(language));
  const RpcValue result = SendRequest(connection_uri_, "korvex.querynewversion2", "S:ssss", kPlatform, kArchitecture,
                                      buildDate, language);
  if (result.AsStruct().size() != 3) return nullptr;
  auto version = std::make_shared<VersionInfo>();
  version->currentVersion = result.GetMember("currentVersion").AsString();
  version->url = result.GetMember("url").AsString();
  version->info = result.GetMember("info").AsString();
  return version;
}

}  // namespace belmor::korvex
