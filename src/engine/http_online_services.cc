#include "engine/http_online_services.h"

#include "common/exception.h"
#include "config/config_loader.h"
#include "logging/log.h"
#include "transport/credential_cache.h"
#include "transport/http_client.h"
#include "transport/http_document_loader.h"
#include "transport/input_gate_client.h"
#include "transport/transport_settings.h"

namespace belmor::korvex {

namespace {

// Whether a request to url would have carried a token. Asked only after a
// request that went nowhere, when the provider has already answered for this
// run: a token it has is handed out at once, and after a login that failed or
// was cancelled it starts no second one.
bool TokenAvailable(const std::string& url) {
  if (!HttpClient::IsTokenHost(url)) return true;  // nothing was asked of the provider
  const std::shared_ptr<AccessTokenProvider> provider = CurrentAccessTokenProvider();
  if (!provider) return false;
  try {
    return !provider->GetAccessToken().empty();
  } catch (const common::Exception&) {
    return false;
  }
}

// An HTTP document loader whose failures say why the document did not come,
// told from the status and delivery of the shared client's last request.
class ReasonedDocumentLoader : public HttpDocumentLoader {
 public:
  using HttpDocumentLoader::HttpDocumentLoader;

  std::string LoadDocument(const std::string& name) override {
    try {
      return HttpDocumentLoader::LoadDocument(name);
    } catch (const TokenRequestException& e) {
      throw HinLoginRequiredException("[HttpOnlineServices][no token for " + Base() + "]", e);
    } catch (const common::RuntimeException& e) {
      const int32_t status = Client()->GetStatus();
      const std::string what = "[HttpOnlineServices][" + Base() + " " + name + "]";
      KX_LOG(DEBUG) << what << "[status " << status << "][delivery " << static_cast<int>(Client()->LastDelivery())
                    << "]";
      if (status == 401) throw HinLoginRequiredException(what, e);
      if (status != 0 && (status < 200 || status > 299)) throw TrustCenterStatusException(what, e, status);
      if (status != 0) throw;  // answered, but not with what was asked for
      if (Client()->LastDelivery() == HttpClient::Delivery::kNotSent && !TokenAvailable(Base())) {
        throw HinLoginRequiredException(what, e);
      }
      throw TrustCenterUnreachableException(what, e);
    }
  }
};

class HttpLoadSession : public OnlineLoadSession {
 public:
  explicit HttpLoadSession(std::shared_ptr<HttpClient> client) : client_(std::move(client)) {}

  std::shared_ptr<AbstractDocumentLoader> CreateDocumentLoader(const std::string& baseUrl) override {
    return std::make_shared<ReasonedDocumentLoader>(baseUrl, client_);
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
