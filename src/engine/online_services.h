#ifndef KORVEX_ENGINE_ONLINE_SERVICES_H_
#define KORVEX_ENGINE_ONLINE_SERVICES_H_

#include <cstdint>
#include <memory>
#include <string>

namespace belmor::korvex {

class AbstractDocumentLoader;
class Config;
class CredentialCache;
class InputGateClient;
class SecurityClient;

// The HTTP side of one online configuration load. Every loader it makes
// shares one HTTP client (with the proxy given when the session was opened);
// the loaders keep that client alive after the session object is gone.
class OnlineLoadSession {
 public:
  virtual ~OnlineLoadSession() = default;

  // Fetches documents by HTTP GET below baseUrl.
  virtual std::shared_ptr<AbstractDocumentLoader> CreateDocumentLoader(const std::string& baseUrl) = 0;
  // Fetches name + "." + extension below baseUrl (certificates: "crt").
  virtual std::shared_ptr<AbstractDocumentLoader> CreateCredentialLoader(const std::string& baseUrl,
                                                                         const std::string& extension) = 0;
};

// Makes the collaborators that talk to the trust center's services, so the
// engine decides when and in what order without knowing the transport. The
// transport and security work supplies the real one; tests give doubles that
// serve documents from memory.
class OnlineServices {
 public:
  virtual ~OnlineServices() = default;

  // proxyHost and proxyPort as the security client reports them ("" and 0:
  // no proxy).
  virtual std::unique_ptr<OnlineLoadSession> OpenLoadSession(const std::string& proxyHost, uint16_t proxyPort) = 0;

  // The recipients' certificates of the configuration's current center,
  // fetched through certificateLoader; no key loader.
  virtual std::shared_ptr<CredentialCache> CreateCredentialCache(
      const std::shared_ptr<Config>& config, std::shared_ptr<AbstractDocumentLoader> certificateLoader) = 0;

  // The gate client of the trust center at url.
  virtual std::shared_ptr<InputGateClient> CreateInputGateClient(std::shared_ptr<SecurityClient> securityClient,
                                                                 const std::string& url) = 0;
};

}  // namespace belmor::korvex

#endif  // KORVEX_ENGINE_ONLINE_SERVICES_H_
