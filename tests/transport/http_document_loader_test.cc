#include "transport/http_document_loader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "engine/http_online_services.h"
#include "sim_fixture.h"
#include "transport/credential_cache.h"
#include "transport/input_gate_client.h"
#include "transport/smime.h"

namespace belmor::korvex::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class HttpDocumentLoaderTest : public SimTest {};

TEST_F(HttpDocumentLoaderTest, LoadsBelowTheBaseWithOneSlashBetween) {
  auto client = std::make_shared<HttpClient>();
  const struct {
    std::string base;
    std::string name;
  } cases[] = {
      {Url("/download/schemas"), "korvex.xsd"},
      {Url("/download/schemas/"), "korvex.xsd"},
      {"", Url("/download/schemas/korvex.xsd")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.base);
    HttpDocumentLoader loader(c.base, client);
    EXPECT_THAT(loader.LoadDocument(c.name), HasSubstr("<xs:schema"));
  }
  for (const LoggedRequest& request : NewRequests()) EXPECT_EQ(request.path, "/download/schemas/korvex.xsd");
  EXPECT_THAT(logger_->Matching("[HttpDocumentLoader::LoadDocument][url="),
              ElementsAre(HasSubstr("[url=" + Url("/download/schemas/korvex.xsd") + "]"),
                          HasSubstr("[url=" + Url("/download/schemas/korvex.xsd") + "]"),
                          HasSubstr("[url=" + Url("/download/schemas/korvex.xsd") + "]")));
  EXPECT_THAT(logger_->Matching("[HttpDocumentLoader::LoadDocument][http code=200]"), ::testing::SizeIs(3));
}

TEST_F(HttpDocumentLoaderTest, StatusOutside2xxRaisesWithTheUrl) {
  auto client = std::make_shared<HttpClient>();
  HttpDocumentLoader loader(Url("/download/schemas"), client);
  const struct {
    const char* name;
    std::function<void()> arrange;
    int status;
  } cases[] = {
      {"missing document", [] {}, 404},
      {"refused token", [this] { provider_->token = "wrong"; }, 401},
      {"no connection", [this] {
         provider_->token = TrustCenterSim::kValidToken;
         Sim().SetControl(R"({"fault": "drop", "fault_methods": ["/download"]})"); }, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    const std::string name = std::string(c.status == 404 ? "missing.xsd" : "korvex.xsd");
    try {
      loader.LoadDocument(name);
      ADD_FAILURE() << "no exception";
    } catch (const common::RuntimeException& e) {
      EXPECT_EQ(e.Message(), "HttpDocumentLoader::LoadDocument: unable to load: " + Url("/download/schemas/") + name);
    }
    EXPECT_EQ(client->GetStatus(), c.status);
    EXPECT_THAT(logger_->Matching("[HttpDocumentLoader::LoadDocument][http code=" + std::to_string(c.status) + "]"),
                ::testing::Not(::testing::IsEmpty()));
  }
}

TEST_F(HttpDocumentLoaderTest, CredentialLoaderFetchesNameWithItsExtension) {
  CredentialHttpLoader loader(Url("/certificates"), std::make_shared<HttpClient>(), "crt");
  EXPECT_EQ(loader.LoadDocument("tcnord-a"), Sim().RecipientCert("tcnord-a"));
  EXPECT_THROW(loader.LoadDocument("nobody"), common::RuntimeException);
  const std::vector<LoggedRequest> requests = NewRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].path, "/certificates/tcnord-a.crt");
  EXPECT_EQ(requests[1].path, "/certificates/nobody.crt");
}

// One client serves every loader of a load session. A load that sends
// nothing (no token) must fail, never answer with the certificate fetched
// before it; and a page that is no certificate is never kept as one.
TEST_F(HttpDocumentLoaderTest, ACertificateIsTheAnswerToItsOwnRequestAndACertificate) {
  auto client = std::make_shared<HttpClient>();
  CredentialHttpLoader certificates(Url("/certificates"), client, "crt");
  ASSERT_EQ(certificates.LoadDocument("tcnord-a"), Sim().RecipientCert("tcnord-a"));
  provider_->token = "";
  EXPECT_THROW(certificates.LoadDocument("tcnord-b"), common::RuntimeException);
  EXPECT_THAT(client->GetResponse(), ::testing::IsEmpty());
  provider_->token = TrustCenterSim::kValidToken;

  // A trust center that answers 200 with something else.
  Sim().SetControl(R"({"huge_reply": {"bytes": 300, "paths": ["/certificates/tcnord-b.crt"]}})");
  EXPECT_THROW(certificates.LoadDocument("tcnord-b"), common::RuntimeException);
  EXPECT_EQ(client->GetStatus(), 200);
  Sim().SetControl("{}");
  EXPECT_EQ(certificates.LoadDocument("tcnord-b"), Sim().RecipientCert("tcnord-b"));

  const struct {
    const char* text;
    bool certificate;
  } texts[] = {
      {"", false},
      {"<html><body>Wartungsarbeiten</body></html>", false},
      {"-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n", false},
  };
  for (const auto& t : texts) EXPECT_EQ(SMIMECrypto::IsCertificate(t.text), t.certificate) << t.text;
  EXPECT_TRUE(SMIMECrypto::IsCertificate(Sim().RecipientCert("tcsued-a")));
  EXPECT_FALSE(SMIMECrypto::IsCertificate(Sim().RecipientKey("tcsued-a")));
}

TEST_F(HttpDocumentLoaderTest, OnlineServicesLoadCertificatesAndOpenTheGate) {
  HttpOnlineServices services;
  std::unique_ptr<OnlineLoadSession> session = services.OpenLoadSession("", 0);
  auto configLoader = session->CreateDocumentLoader(Url("/download/config"));
  auto certificateLoader = session->CreateCredentialLoader(Url("/certificates"), "crt");
  // One HTTP client serves every loader of the session and outlives it.
  session.reset();
  ASSERT_TRUE(std::dynamic_pointer_cast<HttpDocumentLoader>(configLoader));
  EXPECT_EQ(std::dynamic_pointer_cast<HttpDocumentLoader>(configLoader)->Client(),
            std::dynamic_pointer_cast<HttpDocumentLoader>(certificateLoader)->Client());
  EXPECT_THAT(configLoader->LoadDocument("korvex.xml"), HasSubstr("localhost:" + std::to_string(Sim().HttpsPort())));

  auto config = std::make_shared<Config>();
  auto center = std::make_shared<TrustCenter>();
  center->id = 1;
  center->recipients = {"tcnord-a", "tcnord-b"};
  config->AddCenter(center);
  config->SelectCenter(center);
  std::shared_ptr<CredentialCache> cache = services.CreateCredentialCache(config, certificateLoader);
  ASSERT_TRUE(cache);
  EXPECT_FALSE(cache->KeyLoader());
  cache->LoadCredentials(true);
  ASSERT_EQ(cache->Credentials().size(), 2u);
  EXPECT_EQ(cache->Credentials()[0].certificate, Sim().RecipientCert("tcnord-a"));
  EXPECT_EQ(cache->Credentials()[1].certificate, Sim().RecipientCert("tcnord-b"));
  EXPECT_EQ(cache->Credentials()[1].key, "");

  std::shared_ptr<InputGateClient> gate = services.CreateInputGateClient(nullptr, Url("/gate/nord"));
  ASSERT_TRUE(gate);
  EXPECT_EQ(gate->ConnectionUri(), Url("/gate/nord"));
  EXPECT_TRUE(gate->Connect("korvex", "ordiva"));
}

}  // namespace
}  // namespace belmor::korvex::testing
