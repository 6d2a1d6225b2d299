// The C++ side of the test trust center: it comes up on its own ports, libcurl
// trusts it through the test CA under the rewritten host name, and it is gone
// when the object is.
#include "support/trust_center_sim.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace belmor::testing {
namespace {

struct Fetched {
  CURLcode result = CURLE_OK;
  long status = 0;
  std::string body;
};

size_t Append(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

using Curl = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

Curl NewCurl() { return Curl(curl_easy_init(), &curl_easy_cleanup); }

// One GET as the product's HTTP client makes it: bearer token, CA bundle, no
// proxy. libcurl keeps the handle's connection open for its next request.
Fetched Get(CURL* curl, const std::string& url, const std::string& ca_file, const std::string& token) {
  Fetched f;
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(nullptr, &curl_slist_free_all);
  if (!token.empty()) headers.reset(curl_slist_append(nullptr, ("Authorization: Bearer " + token).c_str()));
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &f.body);
  f.result = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &f.status);
  return f;
}

// The same on a handle of its own, closed afterwards.
Fetched Get(const std::string& url, const std::string& ca_file, const std::string& token) {
  return Get(NewCurl().get(), url, ca_file, token);
}

TEST(TrustCenterSimTest, ServesTheConfigurationOverTlsUnderTheRewrittenHostAndStopsWithTheObject) {
  pid_t pid = -1;
  std::string dir;
  {
    TrustCenterSim sim;
    pid = sim.Pid();
    dir = sim.StateDir();
    const std::string port = std::to_string(sim.HttpsPort());
    EXPECT_EQ(sim.TokenBaseUrl(), "https://oauth2.localhost:" + port);
    EXPECT_EQ(sim.BaseUrl(), "http://localhost:" + port);

    const Fetched config = Get(sim.TokenBaseUrl() + "/download/config/korvex.xml", sim.CaFile(),
                               TrustCenterSim::kValidToken);
    ASSERT_EQ(config.result, CURLE_OK) << curl_easy_strerror(config.result);
    EXPECT_EQ(config.status, 200);
    EXPECT_NE(config.body.find("url=\"http://localhost:" + port + "/gate/nord\""), std::string::npos);
    EXPECT_EQ(config.body.find("localhost:8443"), std::string::npos);

    const Fetched anonymous = Get(sim.TokenBaseUrl() + "/download/config/korvex.xml", sim.CaFile(), "");
    EXPECT_EQ(anonymous.status, 401);
    // The bearer header as the product sends it is what the log shows.
    const auto log = sim.RequestLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[0].find(std::string("\"Bearer ") + TrustCenterSim::kValidToken + "\""), std::string::npos);
    EXPECT_NE(log[1].find("\"authorization\": null"), std::string::npos);
  }
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_FALSE(std::filesystem::exists(dir));
}

TEST(TrustCenterSimTest, AServerCertificateFromAnotherIssuerIsRefused) {
  TrustCenterSim sim;
  // A recipient certificate is a CA file that cannot vouch for the server.
  const std::string wrong_ca = sim.RecipientsDir() + "/tcnord-a.crt";
  const Fetched f = Get(sim.TokenBaseUrl() + "/download/config/korvex.xml", wrong_ca, TrustCenterSim::kValidToken);
  EXPECT_EQ(f.result, CURLE_PEER_FAILED_VERIFICATION) << curl_easy_strerror(f.result);
  // The refused handshake is no connection a client could have sent on.
  EXPECT_EQ(sim.HttpsConnections(), 0);
  for (int i = 0; i < 100 && sim.HttpsHandshakeFailures() == 0; ++i) ::usleep(50 * 1000);
  EXPECT_EQ(sim.HttpsHandshakeFailures(), 1);
}

TEST(TrustCenterSimTest, AKeptAliveConnectionCountsOnceAndEveryRequestNamesItsConnection) {
  TrustCenterSim sim;
  const std::string url = sim.TokenBaseUrl() + "/download/schemas/korvex.xsd";
  {
    Curl reused = NewCurl();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Get(reused.get(), url, sim.CaFile(), TrustCenterSim::kValidToken).status, 200);
    EXPECT_EQ(sim.HttpsConnections(), 1);
  }
  EXPECT_EQ(Get(url, sim.CaFile(), TrustCenterSim::kValidToken).status, 200);
  EXPECT_EQ(sim.HttpsConnections(), 2);
  EXPECT_EQ(sim.HttpConnections(), 0);

  // Closed after every answer: libcurl finds the connection dead and opens another.
  sim.SetControl(R"({"close_after": 1})");
  {
    Curl reused = NewCurl();
    for (int i = 0; i < 2; ++i) EXPECT_EQ(Get(reused.get(), url, sim.CaFile(), TrustCenterSim::kValidToken).status, 200);
  }
  EXPECT_EQ(sim.HttpsConnections(), 4);

  const std::vector<SimRequest> requests = sim.Requests();
  ASSERT_EQ(requests.size(), 6u);
  const int expected[] = {1, 1, 1, 2, 3, 4};
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].connection, expected[i]) << i;
    EXPECT_EQ(requests[i].port, "https");
    EXPECT_EQ(requests[i].host, "oauth2.localhost:" + std::to_string(sim.HttpsPort()));
    EXPECT_EQ(requests[i].path, "/download/schemas/korvex.xsd");
    EXPECT_EQ(requests[i].authorization, std::string("Bearer ") + TrustCenterSim::kValidToken);
    EXPECT_EQ(requests[i].status, 200);
  }
}

TEST(TrustCenterSimTest, APublicPortIsWhatServedUrlsName) {
  // A port nothing listens on will do: only the texts are checked.
  TrustCenterSimOptions options;
  options.publicPort = 1;
  TrustCenterSim sim(options);
  EXPECT_EQ(sim.PublicPort(), 1);
  EXPECT_NE(sim.HttpsPort(), 1);
  EXPECT_EQ(sim.BaseUrl(), "http://localhost:1");
  EXPECT_EQ(sim.TokenBaseUrl(), "https://oauth2.localhost:1");
  const Fetched config = Get("https://oauth2.localhost:" + std::to_string(sim.HttpsPort()) +
                                 "/download/config/korvex.xml",
                             sim.CaFile(), TrustCenterSim::kValidToken);
  EXPECT_EQ(config.status, 200);
  EXPECT_NE(config.body.find("url=\"http://localhost:1/gate/nord\""), std::string::npos);
  EXPECT_EQ(config.body.find("localhost:" + std::to_string(sim.HttpsPort())), std::string::npos);
}

TEST(TrustCenterSimTest, TwoSimulatorsRunSideBySideAndControlReachesOnlyTheirOwn) {
  TrustCenterSim a;
  TrustCenterSim b;
  EXPECT_NE(a.HttpsPort(), b.HttpsPort());
  EXPECT_NE(a.StateDir(), b.StateDir());
  a.SetControl(R"({"fault": "http500", "fault_methods": ["/download/"]})");
  const std::string path = "/download/schemas/korvex.xsd";
  EXPECT_EQ(Get(a.TokenBaseUrl() + path, a.CaFile(), TrustCenterSim::kValidToken).status, 500);
  EXPECT_EQ(Get(b.TokenBaseUrl() + path, b.CaFile(), TrustCenterSim::kValidToken).status, 200);
  // Each trusts only its own CA.
  EXPECT_EQ(Get(b.TokenBaseUrl() + path, a.CaFile(), TrustCenterSim::kValidToken).result,
            CURLE_PEER_FAILED_VERIFICATION);
}

TEST(TrustCenterSimTest, ResponsesAndRecipientFilesAreWhereTheGatesAndDownloadsFindThem) {
  TrustCenterSim sim;
  sim.AddResponse("01-10000-1", "answer-1.xml", "<answer/>");
  EXPECT_TRUE(sim.HasResponse("01-10000-1", "answer-1.xml"));
  EXPECT_FALSE(sim.HasResponse("01-10000-1", "answer-2.xml"));
  EXPECT_TRUE(sim.Uploads().empty());
  for (const char* name : {"tcnord-a", "tcnord-b", "tcsued-a"}) {
    EXPECT_NE(sim.RecipientCert(name).find("-----BEGIN CERTIFICATE-----"), std::string::npos) << name;
    EXPECT_NE(sim.RecipientKey(name).find("PRIVATE KEY-----"), std::string::npos) << name;
    const Fetched f = Get(sim.TokenBaseUrl() + "/certificates/" + name + ".crt", sim.CaFile(),
                          TrustCenterSim::kValidToken);
    EXPECT_EQ(f.body, sim.RecipientCert(name)) << name;
  }
}

}  // namespace
}  // namespace belmor::testing
