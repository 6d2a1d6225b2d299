#ifndef KORVEX_TRANSPORT_CREDENTIAL_CACHE_H_
#define KORVEX_TRANSPORT_CREDENTIAL_CACHE_H_

#include <memory>

#include "config/config.h"
#include "config/document_loader.h"

namespace belmor::korvex {

// The certificates (and, where there are any, private keys) of the current
// trust center's recipients, fetched through document loaders. So far only
// what the engine needs to set one up exists; the S/MIME work fills in the
// credential list and LoadCredentials.
class CredentialCache {
 public:
  // The configuration gives the current trust center; it owns this cache, so
  // only a weak reference leads back to it. keyLoader may be empty.
  CredentialCache(const std::shared_ptr<Config>& config, std::shared_ptr<AbstractDocumentLoader> certificateLoader,
                  std::shared_ptr<AbstractDocumentLoader> keyLoader)
      : config_(config), certificateLoader_(std::move(certificateLoader)), keyLoader_(std::move(keyLoader)) {}
  virtual ~CredentialCache() = default;
  CredentialCache(const CredentialCache&) = delete;
  CredentialCache& operator=(const CredentialCache&) = delete;

  std::shared_ptr<Config> GetConfig() const { return config_.lock(); }
  const std::shared_ptr<AbstractDocumentLoader>& CertificateLoader() const { return certificateLoader_; }
  const std::shared_ptr<AbstractDocumentLoader>& KeyLoader() const { return keyLoader_; }

 private:
  std::weak_ptr<Config> config_;
  std::shared_ptr<AbstractDocumentLoader> certificateLoader_;
  std::shared_ptr<AbstractDocumentLoader> keyLoader_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_CREDENTIAL_CACHE_H_
