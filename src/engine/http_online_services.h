#ifndef KORVEX_ENGINE_HTTP_ONLINE_SERVICES_H_
#define KORVEX_ENGINE_HTTP_ONLINE_SERVICES_H_

#include "engine/online_services.h"

namespace belmor::korvex {

// The trust center's real services: documents and certificates by HTTP GET,
// the gate by XML-RPC. Stateless; one object serves every load.
class HttpOnlineServices : public OnlineServices {
 public:
  // One HTTP client with this proxy, shared by every loader of the session.
  std::unique_ptr<OnlineLoadSession> OpenLoadSession(const std::string& proxyHost, uint16_t proxyPort) override;
  std::shared_ptr<CredentialCache> CreateCredentialCache(
      const std::shared_ptr<Config>& config, std::shared_ptr<AbstractDocumentLoader> certificateLoader) override;
  std::shared_ptr<InputGateClient> CreateInputGateClient(std::shared_ptr<SecurityClient> securityClient,
                                                         const std::string& url) override;
};

}  // namespace belmor::korvex

#endif  // KORVEX_ENGINE_HTTP_ONLINE_SERVICES_H_
