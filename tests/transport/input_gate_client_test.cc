#include "transport/input_gate_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim_fixture.h"
#include "transport/http_client.h"

namespace belmor::korvex::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr char kInvoice[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<invoice:request xmlns:invoice=\"http://www.forum-datenaustausch.ch/invoice\">"
    "<patient name=\"M\xC3\xBCller &amp; S\xC3\xB6hne\"/></invoice:request>\n";

class InputGateClientTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    gate_ = std::make_unique<InputGateClient>(nullptr, Url("/gate/nord"));
  }

  std::vector<std::string> RpcMethods() const {
    std::vector<std::string> out;
    for (const LoggedRequest& r : NewRequests()) out.push_back(r.rpcMethod);
    return out;
  }

  std::unique_ptr<InputGateClient> gate_;
};

TEST_F(InputGateClientTest, SessionUploadAndClose) {
  ASSERT_TRUE(gate_->Connect("korvex", "ordiva"));
  EXPECT_TRUE(gate_->IsConnected());
  EXPECT_THAT(logger_->Matching("[InputGateClient::Connect][write_uri: " + Url("/gate/nord/input") +
                                "][reader_uri_: " + Url("/gate/nord/response") + "]"),
              ::testing::SizeIs(1));

  EXPECT_THAT(gate_->Write2(kInvoice), IsEmpty());
  EXPECT_FALSE(gate_->WriteFailed());
  EXPECT_THAT(gate_->Write(kInvoice, false), IsEmpty());
  EXPECT_FALSE(gate_->WriteFailed());
  // Both forms arrive as the same bytes, the Base64 one bit for bit.
  EXPECT_THAT(NewUploads(), ElementsAre(kInvoice, kInvoice));

  gate_->CloseSession();
  EXPECT_FALSE(gate_->IsConnected());
  EXPECT_THAT(RpcMethods(), ElementsAre("korvex.session.new", "korvex.inputgate.write2", "korvex.inputgate.write",
                                        "korvex.session.close"));
  const std::vector<LoggedRequest> requests = NewRequests();
  EXPECT_EQ(requests[0].rpcParams, RpcValue::MakeArray({RpcValue::MakeString("korvex"),
                                                         RpcValue::MakeString("ordiva"),
                                                         RpcValue::MakeString("InputGate")}));
  EXPECT_EQ(requests[1].path, "/gate/nord/input");
  EXPECT_EQ(requests[1].Header("Content-type"), "text/xml");
  EXPECT_EQ(requests[1].Header("Accept"), "*/*");

  // Without a session nothing is uploaded and the write counts as failed.
  EXPECT_THAT(gate_->Write2(kInvoice), IsEmpty());
  EXPECT_TRUE(gate_->WriteFailed());
  EXPECT_EQ(NewRequests().size(), 4u);
}

// The gates get the bearer token with every call, so a session that names a
// gate on a host the workstation was not configured for is refused before
// anything goes there, and closed where it was opened.
TEST_F(InputGateClientTest, ASessionOnAnotherHostIsRefused) {
  Settings([&](TransportSettings& s) {
    s.tokenHosts = std::vector<std::string>{HttpClient::Authority(HttpClient::RewriteUrl(Url("")))};
  });
  Sim().SetControl(R"({"session_host": "other.localhost"})");
  EXPECT_FALSE(gate_->Connect("korvex", "ordiva"));
  EXPECT_FALSE(gate_->IsConnected());
  EXPECT_THAT(gate_->Write2(kInvoice), IsEmpty());
  EXPECT_TRUE(gate_->WriteFailed());
  EXPECT_THAT(RpcMethods(), ElementsAre("korvex.session.new", "korvex.session.close"));
  for (const LoggedRequest& request : NewRequests()) EXPECT_THAT(request.Header("Host"), StartsWith("oauth2.localhost:"));
  EXPECT_THAT(NewUploads(), IsEmpty());
  EXPECT_THAT(logger_->Matching("[InputGateClient::Connect][session refused: gate other.localhost:"),
              ::testing::SizeIs(1));
  // The caller learns which gate was refused, to tell the practice.
  EXPECT_EQ(gate_->RefusedGate(), "other.localhost:" + std::to_string(Sim().HttpsPort()));

  // Without the limit (as the old client did) the same reply would be taken.
  Settings([](TransportSettings& s) { s.tokenHosts.reset(); });
  EXPECT_TRUE(gate_->Connect("korvex", "ordiva"));
  EXPECT_EQ(gate_->RefusedGate(), "");
}

// Answers the session call with the gate URLs it was given and every other
// call with true; nothing goes on the network.
class SessionReplyGate : public InputGateClient {
 public:
  SessionReplyGate(const std::string& connectionUri, std::string url, std::string url2)
      : InputGateClient(nullptr, connectionUri), url_(std::move(url)), url2_(std::move(url2)) {}
  std::vector<std::string> methods;

 protected:
  RpcValue Send(const RpcRequest& request) override {
    methods.push_back(request.MethodName());
    if (request.MethodName() != "korvex.session.new") return RpcValue::MakeBoolean(true);
    return RpcValue::MakeStruct({{"session", RpcValue::MakeString("s1")},
                                 {"url", RpcValue::MakeString(url_)},
                                 {"url2", RpcValue::MakeString(url2_)}});
  }

 private:
  std::string url_;
  std::string url2_;
};

// A trust center may put its gates on other hosts of its own domain; any
// other host is refused by name, and the refused session is closed.
TEST_F(InputGateClientTest, ASessionOnAHostOfTheTrustCentersDomainIsTakenAnyOtherRefusedByName) {
  const std::string configured = "http://gate.tc.example/rpc";
  Settings([&](TransportSettings& s) {
    s.tokenHosts = std::vector<std::string>{HttpClient::Authority(HttpClient::RewriteUrl(configured))};
  });
  const struct {
    std::string url, url2;
    std::string refused;  // empty: connected
  } cases[] = {
      {"http://gate.tc.example/input", "http://gate.tc.example/response", ""},
      {"http://gate2.tc.example/input", "https://responses.tc.example/response", ""},
      {"http://gate.tc.example/input", "http://gate.tc-example.ch/response", "gate.tc-example.ch"},
      {"http://gate2.tc.example:8443/input", "http://gate.tc.example/response", "gate2.tc.example:8443"},
      {"http://gate.tc.example@evil.example/input", "http://gate.tc.example/response", "evil.example"},
      {"http://evil.example/\r\nFEHLER/input", "http://gate.tc.example/response", "evil.example"},
      {"http://ev\r\nil.example:1/input", "http://gate.tc.example/response", "ev??il.example:1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url + " " + c.url2);
    SessionReplyGate gate(configured, c.url, c.url2);
    EXPECT_EQ(gate.Connect("korvex", "ordiva"), c.refused.empty());
    EXPECT_EQ(gate.IsConnected(), c.refused.empty());
    EXPECT_EQ(gate.RefusedGate(), c.refused);
    if (!c.refused.empty()) {
      EXPECT_THAT(gate.methods, ElementsAre("korvex.session.new", "korvex.session.close"));
    }
  }
}

TEST_F(InputGateClientTest, NewConnectionUriForgetsTheSession) {
  ASSERT_TRUE(gate_->Connect("korvex", "ordiva"));
  gate_->SetConnectionUri(Url("/gate/sued"));
  EXPECT_FALSE(gate_->IsConnected());
  EXPECT_EQ(gate_->ReadResponse("korvex", "ordiva", "any", false), "");
  ASSERT_TRUE(gate_->Connect("korvex", "ordiva"));
  EXPECT_THAT(gate_->Write2(kInvoice), IsEmpty());
  const std::vector<LoggedRequest> requests = NewRequests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].path, "/gate/sued");
  EXPECT_EQ(requests[2].path, "/gate/sued/input");
}

TEST_F(InputGateClientTest, ResponsesAreListedReadAndConfirmed) {
  const std::string binary("\x89PNG\r\n\x1a\n\xff\x00tail", 13);
  Sim().AddResponse("rl-a", "rl-1.xml", "<response>1</response>");
  Sim().AddResponse("rl-a", "rl-2.bin", binary);
  Sim().AddResponse("rl-b", "rl-3.xml", "<response>3</response>");
  ASSERT_TRUE(gate_->Connect("korvex", "ordiva"));

  auto all = gate_->EnumResponses("korvex", "ordiva", "*");
  ASSERT_TRUE(all);
  EXPECT_THAT(*all, ::testing::IsSupersetOf({"rl-1.xml", "rl-2.bin", "rl-3.xml"}));
  auto filtered = gate_->EnumResponses("korvex", "ordiva", "rl-a");
  ASSERT_TRUE(filtered);
  EXPECT_THAT(*filtered, ElementsAre("rl-1.xml", "rl-2.bin"));
  EXPECT_THROW(
      {
        try {
          gate_->EnumResponses("korvex", "ordiva", "");
        } catch (const std::out_of_range& e) {
          EXPECT_STREQ(e.what(), "invalid string position");
          throw;
        }
      },
      std::out_of_range);

  EXPECT_EQ(gate_->ReadResponse("korvex", "ordiva", "rl-1.xml", false), "<response>1</response>");
  EXPECT_TRUE(Sim().HasResponse("rl-a", "rl-1.xml"));
  EXPECT_EQ(gate_->ReadResponse("korvex", "ordiva", "rl-1.xml", true), "<response>1</response>");
  EXPECT_FALSE(Sim().HasResponse("rl-a", "rl-1.xml"));
  // A response that is no text comes as Base64 and is handed over as its bytes.
  EXPECT_EQ(gate_->ReadResponse("korvex", "ordiva", "rl-2.bin", false), binary);

  const std::vector<LoggedRequest> requests = NewRequests();
  ASSERT_EQ(requests.size(), 6u);
  EXPECT_EQ(requests[1].rpcMethod, "korvex.responsegate.enum");
  EXPECT_EQ(requests[1].path, "/gate/nord/response");
  EXPECT_EQ(requests[2].rpcMethod, "korvex.responsegate.enum2");
  EXPECT_EQ(requests[2].rpcParams.AsArray().at(2), RpcValue::MakeString("rl-a"));
  EXPECT_EQ(requests[4].rpcParams.AsArray().at(3), RpcValue::MakeBoolean(true));
}

TEST_F(InputGateClientTest, VersionQueries) {
  Sim().SetControl(R"({"min_version": {"minDate": "2024-07-01", "minVer": "5.0.2"},
                       "new_version": {"currentVersion": "5.1.0", "url": "u", "info": "i"}})");
  for (int i = 0; i < 2; ++i) {
    std::shared_ptr<VersionInfo> min = gate_->QueryMinVersion();
    ASSERT_TRUE(min);
    EXPECT_EQ(min->minDate, "2024-07-01");
    EXPECT_EQ(min->minVer, "5.0.2");
  }
  std::shared_ptr<VersionInfo> newest = gate_->QueryNewVersion("20240612", "de");
  ASSERT_TRUE(newest);
  EXPECT_EQ(newest->currentVersion, "5.1.0");
  EXPECT_EQ(newest->url, "u");
  EXPECT_EQ(newest->info, "i");

  // The minimum version is asked once per client.
  const std::vector<LoggedRequest> requests = NewRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].rpcMethod, "korvex.queryminversion");
  EXPECT_EQ(requests[1].rpcMethod, "korvex.querynewversion2");
  EXPECT_EQ(requests[1].rpcParams,
            RpcValue::MakeArray({RpcValue::MakeString("linux"), RpcValue::MakeString(InputGateClient::kArchitecture),
                                 RpcValue::MakeString("20240612"), RpcValue::MakeString("DE")}));
#if defined(__x86_64__)
  EXPECT_STREQ(InputGateClient::kArchitecture, "x86_64");
#endif
}

// How each operation takes a failed HTTP status, a reply of the wrong shape,
// a fault and an unreadable reply. Replies carry patient data, so neither the
// log lines nor the exceptions ever hold a reply's body: status, length and a
// fault's code and text only.
TEST_F(InputGateClientTest, FailedCallsAsEachOperationTakesThem) {
  // A refusal raises GateFaultException, an unreadable reply a plain RuntimeException.
  enum Outcome { kFalse, kFalseSilently, kFaultRaised, kUnreadableRaised };
  struct Case {
    const char* control;
    Outcome outcome;
    const char* sendLine;  // expected SendRequest error line, empty: none
    const char* body;      // a piece of the reply's body, which must show nowhere
    const char* subject;   // expected subject of the raised exception
  };
  const Case cases[] = {
      {R"({"fault": "http500"})", kFalse, "[InputGateClient::SendRequest][code: 500][response of 31 bytes]",
       "simulated internal server error", ""},
      {R"({"fault": "drop"})", kFalse, "[InputGateClient::SendRequest][code: 0][response of 0 bytes]", "", ""},
      {R"({"fault": "http401"})", kFalse, "[InputGateClient::SendRequest][code: 401][response of ", "invalid_token",
       ""},
      {R"({"fault": "wrong_shape"})", kFalseSilently, "", "", ""},
      {R"({"fault": "xmlrpc_fault"})", kFaultRaised,
       "[InputGateClient::SendRequest][xmlrpc fault: 4711 (simulated fault <b>&amp;</b>)]", "<?xml",
       ", fault 4711 (simulated fault <b>&amp;</b>)"},
      {R"({"fault": "garbled"})", kUnreadableRaised, "", "garbled", ", incomplete"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control);
    Sim().SetControl(c.control);
    logger_ = std::make_shared<CapturingLogger>();
    log::InstallLogger(logger_);
    InputGateClient gate(nullptr, Url("/gate/nord"));
    std::string raised;

    if (c.outcome == kFaultRaised || c.outcome == kUnreadableRaised) {
      try {
        gate.Connect("korvex", "ordiva");
        ADD_FAILURE() << "no exception";
      } catch (const common::RuntimeException& e) {
        raised = e.Text();
        EXPECT_EQ(dynamic_cast<const GateFaultException*>(&e) != nullptr, c.outcome == kFaultRaised);
        EXPECT_THAT(e.Message(), StartsWith("InputGateClient::SendRequest: xmlrpc fault: status 200, "));
        EXPECT_THAT(e.Message(), ::testing::ContainsRegex("status 200, [0-9]+ bytes"));
        EXPECT_THAT(e.Message(), ::testing::EndsWith(std::string(" bytes") + c.subject));
      }
      EXPECT_THROW(gate.QueryMinVersion(), common::RuntimeException);
    } else {
      EXPECT_FALSE(gate.Connect("korvex", "ordiva"));
      EXPECT_FALSE(gate.QueryMinVersion());
      const size_t connectLines = logger_->Matching("[InputGateClient::Connect]").size();
      const size_t versionLines = logger_->Matching("[InputGateClient::QueryMinVersion][SendRequest failed").size();
      if (c.outcome == kFalse) {
        EXPECT_THAT(logger_->Matching("[InputGateClient::Connect]"),
                    ElementsAre(HasSubstr("[InputGateClient::Connect][SendRequest failed: Invalid type conversion]")));
        EXPECT_EQ(versionLines, 1u);
      } else {
        EXPECT_EQ(connectLines, 0u);
        EXPECT_EQ(versionLines, 0u);
      }
    }
    EXPECT_FALSE(gate.IsConnected());
    if (*c.sendLine) {
      EXPECT_THAT(logger_->Matching(c.sendLine), ::testing::Not(IsEmpty()));
    }
    if (*c.body) {
      EXPECT_THAT(logger_->Matching(c.body), IsEmpty());
      EXPECT_THAT(raised, ::testing::Not(HasSubstr(c.body)));
    }
  }
  EXPECT_EQ(provider_->refused, 2);  // the http401 case, once per call
}

TEST_F(InputGateClientTest, FaultIsKnownByItsShapeAndKeepsCodeAndText) {
  // A plain answer shaped like a fault counts as one, in either member order.
  const char* controls[] = {
      R"({"min_version": {"faultString": "refused", "faultCode": 17}})",
      R"({"min_version": {"faultCode": 17, "faultString": "refused"}})",
  };
  for (const char* control : controls) {
    SCOPED_TRACE(control);
    Sim().SetControl(control);
    InputGateClient gate(nullptr, Url("/gate/nord"));
    EXPECT_THROW(gate.QueryMinVersion(), GateFaultException);
    EXPECT_EQ(gate.FaultCode(), 17);
    EXPECT_EQ(gate.FaultString(), "refused");
  }
  // Other shapes are ordinary answers.
  Sim().SetControl(R"({"min_version": {"faultString": "x", "faultCode": 1, "more": 2},
                       "new_version": {"faultString": "x", "faultCodes": 1}})");
  EXPECT_FALSE(gate_->QueryMinVersion());
  EXPECT_FALSE(gate_->QueryNewVersion("20240612", "de"));
  EXPECT_EQ(gate_->FaultCode(), 0);
}

TEST_F(InputGateClientTest, GateMessagesAreNormalisedAndDecideTheWriteResult) {
  ASSERT_TRUE(gate_->Connect("korvex", "ordiva"));
  struct Case {
    const char* messages;
    bool failed;
  };
  const Case cases[] = {
      {"[]", false},
      {R"([[2, 2, 5, 10, "a.xml", "warning of a module"]])", false},
      {R"([[3, 2, 5, 10, "a.xml", "error of a module"]])", true},
      {R"([[4, 1, 5, 10, "a.xml", "fatal, but not of a module"]])", false},
      {R"([[7, 2, 5, 10, "a.xml", "unknown level reads as error"]])", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.messages);
    Sim().SetControl(std::string(R"({"write_messages": )") + c.messages + "}");
    gate_->Write2(kInvoice);
    EXPECT_EQ(gate_->WriteFailed(), c.failed);
  }

  Sim().SetControl(R"({"write_messages": [
      [7, 9, 12, -5, "a.xml", "normalised"],
      [1, 2, 3],
      [1, 3, 8, 2, "b.xml", "kept", "seventh"],
      [0, 1, 1, 42, "c.xml", "Gr\u00fc\u00dfe"]]})");
  const std::vector<std::shared_ptr<LogRecord>> records = gate_->Write2(kInvoice);
  ASSERT_EQ(records.size(), 2u);
  const LogRecord& first = *records[0];
  EXPECT_EQ(first.Level(), mlError);
  EXPECT_EQ(first.Class(), mcSystem);
  EXPECT_EQ(first.Origin(), moPReader);
  EXPECT_EQ(first.Code(), -5);
  EXPECT_EQ(first.FileName(), "a.xml");
  EXPECT_EQ(first.Message(), "normalised");
  const LogRecord& second = *records[1];
  EXPECT_EQ(second.Level(), mlDebug);
  EXPECT_EQ(second.Class(), mcAsas);
  EXPECT_EQ(second.Origin(), moPChecker);
  EXPECT_EQ(second.Code(), 42);
  EXPECT_EQ(second.Message(), "Gr\xC3\xBC\xC3\x9F" "e");
  EXPECT_FALSE(gate_->WriteFailed());

  // An answer that breaks off half-way never passes as accepted, nor as
  // refused: the gate may have stored the invoice before it answered so.
  Sim().SetControl(R"({"write_messages": [[1, 1, 1, 1, "a.xml", "fine"], "not a message"]})");
  EXPECT_THROW(gate_->Write2(kInvoice), UnknownOutcomeException);
  EXPECT_TRUE(gate_->WriteFailed());
}

TEST_F(InputGateClientTest, FailedHttpStatusOnTheOtherOperations) {
  ASSERT_TRUE(gate_->Connect("korvex", "ordiva"));
  // The gate's own refusal is definite; a 500 may come from the gateway in
  // front of it after the upload went on.
  Sim().SetControl(R"({"fault": "http503"})");
  EXPECT_THAT(gate_->Write2(kInvoice), IsEmpty());
  EXPECT_TRUE(gate_->WriteFailed());
  EXPECT_FALSE(gate_->LastCallUnreachable());
  Sim().SetControl(R"({"fault": "http500"})");
  EXPECT_THROW(gate_->Write2(kInvoice), UnknownOutcomeException);
  EXPECT_TRUE(gate_->WriteFailed());
  EXPECT_THROW(gate_->EnumResponses("korvex", "ordiva", "*"), RpcError);
  EXPECT_THROW(gate_->ReadResponse("korvex", "ordiva", "x", false), RpcError);
  EXPECT_THROW(gate_->QueryNewVersion("20240612", "fr"), RpcError);
  // The session is forgotten even though closing it failed.
  gate_->CloseSession();
  EXPECT_FALSE(gate_->IsConnected());
  EXPECT_THAT(NewUploads(), IsEmpty());
}

}  // namespace
}  // namespace belmor::korvex::testing
