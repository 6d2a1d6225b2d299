#include "transport/http_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim_fixture.h"
#include "transport/curl_transfer.h"
#include "transport/rpc_value.h"

namespace belmor::korvex::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

class HttpClientTest : public SimTest {};

TEST_F(HttpClientTest, GetCarriesTheTokenWholeAndKeepsTheBody) {
  HttpClient client;
  ASSERT_EQ(client.Get(Url("/download/schemas/korvex.xsd")), 200);
  EXPECT_EQ(client.GetStatus(), 200);
  EXPECT_THAT(client.GetResponse(), HasSubstr("<xs:schema"));

  const std::vector<LoggedRequest> requests = NewRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(std::string(TrustCenterSim::kValidToken).size(), 60u);
  EXPECT_EQ(requests[0].Header("Authorization"), std::string("Bearer ") + TrustCenterSim::kValidToken);
  EXPECT_EQ(requests[0].Header("User-Agent"), "KX Ordiva Client/5");
}

TEST_F(HttpClientTest, PostSendsSortedHeadersAndContentLengthWithoutChunking) {
  HttpClient client;
  client.SetHeader("Content-type", "text/xml");
  client.SetHeader("Accept", "*/*");
  const std::string body(1234, 'x');
  // Not an XML-RPC call: the gate answers with a fault, but it has read the body.
  ASSERT_EQ(client.Post(Url("/gate/nord"), body), 200);

  const std::vector<LoggedRequest> requests = NewRequests();
  ASSERT_EQ(requests.size(), 1u);
  const LoggedRequest& post = requests[0];
  EXPECT_EQ(post.method, "POST");
  EXPECT_EQ(post.bodyLength, 1234);
  EXPECT_EQ(post.Header("Content-length"), "1234");
  EXPECT_EQ(post.Header("Transfer-Encoding"), "<none>");
  std::vector<std::string> ours;
  for (const auto& [name, value] : post.headers) {
    if (name == "Authorization" || name == "Accept" || name == "Content-length" || name == "Content-type") {
      ours.push_back(name);
    }
  }
  EXPECT_THAT(ours, ElementsAre("Authorization", "Accept", "Content-length", "Content-type"));
}

TEST_F(HttpClientTest, ContentLengthBelongsToOnePost) {
  HttpClient client;
  ASSERT_EQ(client.Post(Url("/gate/nord"), std::string(10, 'a')), 200);
  ASSERT_EQ(client.Post(Url("/gate/nord"), std::string(20, 'b')), 200);
  ASSERT_EQ(client.Get(Url("/download/schemas/korvex.xsd")), 200);

  const std::vector<LoggedRequest> requests = NewRequests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].Header("Content-length"), "20");
  EXPECT_EQ(requests[1].bodyLength, 20);
  int lengthLines = 0;
  for (const auto& header : requests[1].headers) lengthLines += header.first == "Content-length";
  EXPECT_EQ(lengthLines, 1);
  EXPECT_EQ(requests[2].Header("Content-length"), "<none>");
}

TEST_F(HttpClientTest, HttpAndHttpsUrlsGoToTheOAuthGateway) {
  const std::string port = std::to_string(Sim().HttpsPort());
  const std::string configured[] = {"http://localhost:" + port + "/download/schemas/korvex.xsd",
                                    "https://localhost:" + port + "/download/schemas/korvex.xsd"};
  for (const std::string& url : configured) {
    SCOPED_TRACE(url);
    EXPECT_EQ(HttpClient::RewriteUrl(url), "https://oauth2.localhost:" + port + "/download/schemas/korvex.xsd");
    HttpClient client;
    EXPECT_EQ(client.Get(url), 200);
  }
  const std::vector<LoggedRequest> requests = NewRequests();
  ASSERT_EQ(requests.size(), 2u);
  for (const LoggedRequest& request : requests) {
    EXPECT_EQ(request.Header("Host"), "oauth2.localhost:" + port);
    EXPECT_EQ(request.path, "/download/schemas/korvex.xsd");
  }
}

TEST_F(HttpClientTest, UrlWithoutSchemeSendsNothingAndGivesStatusZero) {
  HttpClient client;
  ASSERT_EQ(client.Get(Url("/download/schemas/korvex.xsd")), 200);
  const std::string port = std::to_string(Sim().HttpsPort());
  for (const std::string& url : {"localhost:" + port + "/download/schemas/korvex.xsd", std::string("http:/"),
                                std::string(""), "ftp://localhost:" + port + "/x"}) {
    SCOPED_TRACE(url);
    EXPECT_EQ(HttpClient::RewriteUrl(url), "");
    EXPECT_EQ(client.Get(url), 0);
    EXPECT_EQ(client.GetStatus(), 0);
    EXPECT_EQ(client.GetResponse(), "");
  }
  EXPECT_EQ(NewRequests().size(), 1u);
  // No login is started for a request that cannot be sent.
  EXPECT_EQ(provider_->asked, 1);
}

// A request that is not sent leaves no answer behind: a loader that asks
// for one document must never take the previous document for its answer.
TEST_F(HttpClientTest, EmptyTokenSendsNothingAndLeavesNoEarlierAnswer) {
  HttpClient client;
  provider_->token = "";
  EXPECT_EQ(client.Get(Url("/download/schemas/korvex.xsd")), 0);

  provider_->token = TrustCenterSim::kValidToken;
  ASSERT_EQ(client.Get(Url("/download/schemas/korvex.xsd")), 200);
  ASSERT_THAT(client.GetResponse(), HasSubstr("<xs:schema"));
  provider_->token = "";
  EXPECT_EQ(client.Get(Url("/certificates/tcnord-b.crt")), 0);
  EXPECT_EQ(client.GetStatus(), 0);
  EXPECT_THAT(client.GetResponse(), IsEmpty());
  EXPECT_EQ(client.Post(Url("/gate/nord"), "x"), 0);

  SetAccessTokenProvider(nullptr);
  EXPECT_EQ(client.Get(Url("/download/schemas/korvex.xsd")), 0);
  EXPECT_THAT(client.GetResponse(), IsEmpty());
  EXPECT_EQ(NewRequests().size(), 1u);
}

// A token service that fails (an answer of the wrong shape) raises its own
// class, so a caller knows that the request never went out; the status and
// body of the failed request are not those of the one before.
TEST_F(HttpClientTest, FailingTokenServiceRaisesTokenRequestExceptionAndSendsNothing) {
  class FailingProvider : public AccessTokenProvider {
   public:
    std::string GetAccessToken() override { throw RpcError("Invalid type conversion"); }
    void TokenRefused() override {}
  };
  HttpClient client;
  ASSERT_EQ(client.Get(Url("/download/schemas/korvex.xsd")), 200);
  SetAccessTokenProvider(std::make_shared<FailingProvider>());
  EXPECT_THROW(client.Post(Url("/gate/nord"), "x"), TokenRequestException);
  EXPECT_EQ(client.GetStatus(), 0);
  EXPECT_EQ(client.GetResponse(), "");
  EXPECT_EQ(NewRequests().size(), 1u);
}

TEST_F(HttpClientTest, RefusedTokenIsReportedOnceAndTheStatusReturned) {
  provider_->token = std::string(60, 'z');
  HttpClient client;
  EXPECT_EQ(client.Get(Url("/download/schemas/korvex.xsd")), 401);
  EXPECT_EQ(provider_->refused, 1);
  EXPECT_EQ(NewRequests().size(), 1u);  // not repeated

  provider_->token = TrustCenterSim::kValidToken;
  EXPECT_EQ(client.Get(Url("/download/schemas/korvex.xsd")), 200);
  EXPECT_EQ(provider_->refused, 1);
}

TEST_F(HttpClientTest, FailedTransfersGiveStatusZero) {
  struct Case {
    const char* name;
    const char* control;
  };
  const Case cases[] = {
      {"dropped connection", R"({"fault": "drop", "fault_methods": ["/gate"]})"},
      // Far longer than the shortened no-progress limit: only the abort ends it early.
      {"gate stops answering", R"({"fault": "slow", "slow_seconds": 30, "fault_methods": ["/gate"]})"},
  };
  Settings([](TransportSettings& s) { s.noProgressSeconds = 1; });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sim().SetControl(c.control);
    HttpClient client;
    EXPECT_EQ(client.Post(Url("/gate/nord"), "<methodCall/>"), 0);
    EXPECT_EQ(client.GetResponse(), "");
  }
  // Both requests reached the gate; the client gave up on them.
  EXPECT_EQ(NewRequests().size(), 2u);

  // A CA that did not sign the server's certificate: the TLS handshake fails.
  Settings([](TransportSettings& s) { s.caFile = "/etc/ssl/certs/ca-certificates.crt"; });
  Sim().SetControl("{}");
  HttpClient client;
  EXPECT_EQ(client.Get(Url("/download/schemas/korvex.xsd")), 0);
}

TEST_F(HttpClientTest, ProxySettersLogAndRequestsUseTheProxy) {
  HttpClient client;
  client.SetProxyHost("127.0.0.1");
  client.SetProxyPort(9);  // nothing listens there
  EXPECT_THAT(logger_->Matching("[HttpClient::SetProxy]"),
              ElementsAre(HasSubstr("[HttpClient::SetProxy][host=127.0.0.1, port=0]"),
                          HasSubstr("[HttpClient::SetProxy][host=127.0.0.1, port=9]")));
  EXPECT_EQ(client.Get(Url("/download/schemas/korvex.xsd")), 0);

  HttpClient viaConstructor("127.0.0.1", 9);
  EXPECT_EQ(viaConstructor.Get(Url("/download/schemas/korvex.xsd")), 0);
  EXPECT_THAT(NewRequests(), IsEmpty());

  // Without a port there is no proxy.
  client.SetProxyPort(0);
  EXPECT_EQ(client.Get(Url("/download/schemas/korvex.xsd")), 200);
}

TEST_F(HttpClientTest, VerboseTraceGoesToTheDebugLogWithTheTokenMasked) {
  HttpClient quiet;
  ASSERT_EQ(quiet.Get(Url("/download/schemas/korvex.xsd")), 200);
  EXPECT_THAT(logger_->Matching("[HttpClient::Perform][curl]"), IsEmpty());

  Settings([](TransportSettings& s) { s.verbose = true; });
  HttpClient client;
  ASSERT_EQ(client.Post(Url("/gate/nord"), "<methodCall/>"), 200);
  const std::vector<std::string> trace = logger_->Matching("[HttpClient::Perform][curl]");
  EXPECT_THAT(trace, Contains(HasSubstr("> POST /gate/nord")));
  EXPECT_THAT(trace, Contains(HasSubstr("Authorization: ***")));
  EXPECT_THAT(trace, Contains(HasSubstr("< HTTP/1.")));
  for (const std::string& line : logger_->Lines()) {
    EXPECT_THAT(line, Not(HasSubstr(TrustCenterSim::kValidToken)));
  }
}

// The requests of a run travel over one kept-alive connection, whichever
// client object sends them; a connection the server closes is opened again
// and each request still arrives once.
TEST_F(HttpClientTest, RequestsShareOneKeptConnectionAndOneTheServerClosesIsReopened) {
  const std::string call =
      "<?xml version=\"1.0\"?><methodCall><methodName>korvex.queryminversion</methodName><params/></methodCall>";
  const struct {
    const char* control;
    int connections;  // for 10 requests
  } cases[] = {
      {"{}", 1},
      {R"({"close_after": 2})", 5},    // silently, as an idle timeout does
      {R"({"close_header": true})", 10},  // "Connection: close" on every answer
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.control);
    Sim().SetControl(c.control);
    ConnectionPool::CloseIdle();
    const int before = Sim().HttpsConnections();
    const size_t requestsBefore = Sim().RequestLog().size();
    for (int i = 0; i < 5; ++i) {
      HttpClient document;
      EXPECT_EQ(document.Get(Url("/download/schemas/korvex.xsd")), 200);
      EXPECT_THAT(document.GetResponse(), HasSubstr("<xs:schema"));
      HttpClient gate;
      EXPECT_EQ(gate.Post(Url("/gate/nord"), call), 200);
      EXPECT_THAT(gate.GetResponse(), HasSubstr("minVer"));
    }
    EXPECT_EQ(Sim().HttpsConnections() - before, c.connections);
    EXPECT_EQ(Sim().RequestLog().size() - requestsBefore, 10u) << "every request arrived once";
  }
  // The end of a run closes what it kept; the next run connects anew.
  ConnectionPool::CloseIdle();
  Sim().SetControl("{}");
  const int before = Sim().HttpsConnections();
  HttpClient client;
  EXPECT_EQ(client.Get(Url("/download/schemas/korvex.xsd")), 200);
  EXPECT_EQ(Sim().HttpsConnections() - before, 1);
}

TEST(HttpClientAuthorityTest, NamesHostAndPortAsRequested) {
  const struct {
    const char* url;
    const char* authority;
  } cases[] = {
      {"https://oauth2.localhost:8443/gate/nord", "oauth2.localhost:8443"},
      {"https://OAuth2.Example.CH/gate", "oauth2.example.ch:443"},
      {"http://example.ch", "example.ch:80"},
      {"https://example.ch:8443?x=1", "example.ch:8443"},
      {"https://example.ch#frag", "example.ch:443"},
      {"https://user:pw@example.ch:1/", "example.ch:1"},
      {"https://example.ch:1@other.localhost/", "other.localhost:443"},
      {"https://[::1]:8443/x", "[::1]:8443"},
      {"https://[::1]/x", "[::1]:443"},
      {"ftp://example.ch/", ""},
      {"example.ch/gate", ""},
      {"https:///path", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(HttpClient::Authority(c.url), c.authority) << c.url;
}

// A host of the configured gate's registrable domain, decided on the names
// the requests go to ("oauth2." + host) and on the configured gate's port.
TEST(HttpClientDomainTest, AHostIsOfTheConfiguredDomainOnlyByItsRegistrableDomainAndPort) {
  const struct {
    const char* url;
    const char* configured;
    bool same;
  } cases[] = {
      {"http://gate2.tc.example/input", "http://gate.tc.example/rpc", true},
      {"https://GATE2.TC.Example/input", "http://gate.tc.example/rpc", true},
      {"http://a.b.tc.example/input", "http://gate.tc.example/rpc", true},
      {"http://tc.example/input", "http://gate.tc.example/rpc", true},
      {"http://gate.tc.example:8443/input", "http://gate.tc.example:8443/rpc", true},
      {"http://gate2.tc.example:8443/input", "http://gate.tc.example/rpc", false},  // another port
      {"http://gate2.tc.example/input", "http://gate.tc.example:8443/rpc", false},
      {"http://gate.other.example/input", "http://gate.tc.example/rpc", false},
      {"http://tc.example.evil.ch/input", "http://gate.tc.example/rpc", false},
      {"http://gate.tc.example@evil.example/input", "http://gate.tc.example/rpc", false},
      {"ftp://gate2.tc.example/input", "http://gate.tc.example/rpc", false},
      {"http://gate2.tc.example./input", "http://gate.tc.example/rpc", false},
      {"http://gate2..tc.example/input", "http://gate.tc.example/rpc", false},
      // Public suffixes, private ones too, are no one's domain.
      {"http://evil.co.uk/input", "http://tc.co.uk/rpc", false},
      {"http://gate2.tc.co.uk/input", "http://gate.tc.co.uk/rpc", true},
      {"http://evil.github.io/input", "http://praxis.github.io/rpc", false},
      {"http://gate.praxis.github.io/input", "http://praxis.github.io/rpc", true},
      // Single labels and IP literals match only themselves, though the
      // rewritten "oauth2.localhost" and "oauth2.10.0.1.1" look like domains.
      {"http://localhost:8443/input", "http://localhost:8443/rpc", true},
      {"http://x.oauth2.localhost:8443/input", "http://localhost:8443/rpc", false},
      {"http://other.localhost:8443/input", "http://localhost:8443/rpc", false},
      {"http://10.0.1.1/input", "http://10.0.1.1/rpc", true},
      {"http://10.9.1.1/input", "http://10.0.1.1/rpc", false},
      {"http://[::2]:8443/input", "http://[::1]:8443/rpc", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HttpClient::IsSameDomainHost(c.url, c.configured), c.same) << c.url << " beside " << c.configured;
  }
  const struct {
    const char* host;
    const char* domain;
  } domains[] = {
      {"gate.tc.example", "tc.example"},  {"oauth2.gate.praxis.github.io", "praxis.github.io"},
      {"co.uk", ""},                      {"github.io", ""},
      {"127.0.0.1", ""},                  {"localhost", ""},
      {"gate.tc.example.", ""},
  };
  for (const auto& d : domains) EXPECT_EQ(HttpClient::RegistrableDomain(d.host), d.domain) << d.host;
}

// A host added to one client (a gate its session named) gets that client's
// requests with the token; every other client still refuses it.
TEST_F(HttpClientTest, AHostAddedToOneClientIsServedByThatClientAlone) {
  const std::string configured = HttpClient::Authority(HttpClient::RewriteUrl(Url("")));
  Settings([&](TransportSettings& s) { s.tokenHosts = std::vector<std::string>{configured}; });
  const std::string port = std::to_string(Sim().HttpsPort());
  const std::string other = "http://other.localhost:" + port + "/download/schemas/korvex.xsd";
  HttpClient added;
  added.AddTokenHost("oauth2.other.localhost:" + port);
  EXPECT_EQ(added.Get(other), 200);
  HttpClient plain;
  EXPECT_EQ(plain.Get(other), 0);
  ASSERT_EQ(NewRequests().size(), 1u);
  EXPECT_EQ(provider_->asked, 1);
}

// The bearer token is the practice's credential: a URL on a host that is not
// configured is not sent at all, not even asked a token for.
TEST_F(HttpClientTest, OnlyConfiguredHostsGetARequestAndTheToken) {
  const std::string configured = HttpClient::Authority(HttpClient::RewriteUrl(Url("")));
  Settings([&](TransportSettings& s) { s.tokenHosts = std::vector<std::string>{configured}; });
  const std::string port = std::to_string(Sim().HttpsPort());
  for (const std::string& url : {"http://other.localhost:" + port + "/download/schemas/korvex.xsd",
                                 "http://localhost:" + port + "@other.localhost:" + port + "/download/schemas/korvex.xsd",
                                 std::string("http://localhost:1/download/schemas/korvex.xsd")}) {
    SCOPED_TRACE(url);
    HttpClient client;
    EXPECT_FALSE(HttpClient::IsTokenHost(url));
    EXPECT_EQ(client.Get(url), 0);
    EXPECT_EQ(client.Post(url, "x"), 0);
  }
  EXPECT_EQ(provider_->asked, 0);
  EXPECT_THAT(NewRequests(), IsEmpty());

  HttpClient client;
  EXPECT_TRUE(HttpClient::IsTokenHost(Url("/download")));
  EXPECT_EQ(client.Get(Url("/download/schemas/korvex.xsd")), 200);
  EXPECT_EQ(NewRequests().size(), 1u);
}

// An answer that points elsewhere is that answer: the token was meant for
// this host only.
TEST_F(HttpClientTest, ARedirectIsNotFollowed) {
  Sim().SetControl(R"({"redirect": {"paths": ["/download/schemas/"], "methods": ["korvex.queryminversion"]}})");
  HttpClient client;
  EXPECT_EQ(client.Get(Url("/download/schemas/korvex.xsd")), 302);
  EXPECT_EQ(client.Post(Url("/gate/nord"),
                        "<?xml version=\"1.0\"?><methodCall><methodName>korvex.queryminversion</methodName>"
                        "<params/></methodCall>"),
            302);
  for (const belmor::testing::SimRequest& request : Sim().Requests()) EXPECT_NE(request.port, "http") << request.path;
  EXPECT_EQ(Sim().HttpConnections(), 0);
}

// Peak resident memory of this process so far, in bytes.
long PeakResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    long kib = 0;
    if (std::sscanf(line.c_str(), "VmHWM: %ld kB", &kib) == 1) return kib * 1024;
  }
  return 0;
}

// A reply beyond its limit fails the request before it can exhaust memory:
// announced, it is refused before the body comes; sent without a length, it
// is cut off at the limit.
TEST_F(HttpClientTest, AReplyBeyondItsLimitFailsWithoutTakingTheMemory) {
  constexpr long kMiB = 1024 * 1024;
  const std::string call =
      "<?xml version=\"1.0\"?><methodCall><methodName>korvex.queryminversion</methodName><params/></methodCall>";
  const struct {
    const char* name;
    size_t limit;
    bool chunked;
    bool post;
  } cases[] = {
      {"package download, announced", kDocumentReplyLimit, false, false},
      {"gate reply, announced", kGateReplyLimit, false, true},
      {"gate reply, chunked", kGateReplyLimit, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sim().SetControl(std::string(R"({"huge_reply": {"bytes": )") + std::to_string(300 * kMiB) +
                     R"(, "paths": ["/download/kx-schemas.zip"], "methods": ["korvex.queryminversion"], "chunked": )" +
                     (c.chunked ? "true" : "false") + "}}");
    const long before = PeakResidentBytes();
    {
      HttpClient client;
      client.SetReplyLimit(c.limit);
      const int32_t status = c.post ? client.Post(Url("/gate/nord"), call) : client.Get(Url("/download/kx-schemas.zip"));
      EXPECT_EQ(status, 0);
      EXPECT_EQ(client.GetStatus(), 0);
      EXPECT_THAT(client.GetResponse(), IsEmpty());
    }
#if !defined(__SANITIZE_ADDRESS__)
    // (AddressSanitizer keeps freed blocks resident, so only the plain build
    // can tell what the client itself holds.)
    EXPECT_LT(PeakResidentBytes() - before, 64 * kMiB);
#else
    (void)before;
#endif
    EXPECT_THAT(logger_->Matching("reply larger than"), Not(IsEmpty()));
  }
  // Within its limit the same reply shape is kept whole.
  Sim().SetControl(R"({"huge_reply": {"bytes": 5000000, "methods": ["korvex.queryminversion"], "chunked": true}})");
  HttpClient client;
  EXPECT_EQ(client.Post(Url("/gate/nord"), call), 200);
  EXPECT_EQ(client.GetResponse().size(), 5000000u);
}

}  // namespace
}  // namespace belmor::korvex::testing
