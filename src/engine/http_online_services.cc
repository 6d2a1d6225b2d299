#include "engine/http_online_services.h"

#include "transport/credential_cache.h"
#include "transport/http_client.h"
#include "transport/http_document_loader.h"
#include "transport/input_gate_client.h"

namespace belmor::korvex {

namespace {

class HttpLoadSession : public OnlineLoadSession {
 public:
  explicit HttpLoadSession(std::shared_ptr<HttpClient> client) : client_(std::move(client)) {}

  std::shared_ptr<AbstractDocumentLoader> CreateDocumentLoader(const std::string& baseUrl) override {
    return std::make_shared<HttpDocumentLoader>(baseUrl, client_);
  }
  std::shared_ptr<AbstractDocumentLoader> CreateCredentialLoader(const std::string& baseUrl,
                                                                 const std::string& extension) override {
    return std::make_shared<CredentialHttpLoader>(baseUrl, client_, extension);
  }

 private:
  std::shared_ptr<HttpClient> client_;
};

}  // namespace

std::unique_ptr<OnlineLoadSession> HttpOnlineServices::OpenLoadSession(const std::string& proxyHost,
                                                                       uint16_t proxyPort) {
  auto client = std::make_shared<HttpClient>(proxyHost, proxyPort);
  // The configuration package is the largest document there is.
  client->SetReplyLimit(kDocumentReplyLimit);
  return std::make_unique<HttpLoadSession>(std::move(client));
}

std::shared_ptr<CredentialCache> HttpOnlineServices::CreateCredentialCache(
    const std::shared_ptr<Config>& config, std::shared_ptr<AbstractDocumentLoader> certificateLoader) {
  return std::make_shared<CredentialCache>(config, std::move(certificateLoader), nullptr);
}

std::shared_ptr<InputGateClient> HttpOnlineServices::CreateInputGateClient(
    std::shared_ptr<SecurityClient> securityClient, const std::string& url) {
  return std::make_shared<InputGateClient>(std::move(securityClient), url);
}

}  // namespace belmor::korvex
