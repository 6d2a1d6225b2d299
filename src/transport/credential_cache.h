#ifndef KORVEX_TRANSPORT_CREDENTIAL_CACHE_H_
#define KORVEX_TRANSPORT_CREDENTIAL_CACHE_H_

#include <memory>
#include <string>
#include <vector>

#include "common/exception.h"
#include "config/config.h"
#include "config/document_loader.h"

namespace belmor::korvex {

// One recipient's certificate and, where the practice has it, private key
// (both PEM; the key may be empty).
struct Credential {
  std::string certificate;
  std::string key;
};

// The certificates (and, where there are any, private keys) of the current
// trust center's recipients, fetched through document loaders. Not locked:
// the transform step fills it and the stylesheet functions read it on the same
// worker thread.
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

  // Rebuilds the list from the current center's recipients, in their order.
  // strict: the first certificate that cannot be fetched raises
  // FileNotFoundException "Could not load certificate file" (subject: the
  // recipient); otherwise such recipients are skipped and only an empty list
  // raises "Could not load any credential file". A key that cannot be fetched
  // always raises "Could not load key file". After a failure the list is
  // empty, never a part of the recipients. Without configuration nothing
  // happens; without a current center the list is just emptied. Virtual so the
  // transform step can be run against a double.
  virtual void LoadCredentials(bool strict);

  const std::vector<Credential>& Credentials() const { return credentials_; }

 private:
  std::weak_ptr<Config> config_;
  std::shared_ptr<AbstractDocumentLoader> certificateLoader_;
  std::shared_ptr<AbstractDocumentLoader> keyLoader_;
  std::vector<Credential> credentials_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_CREDENTIAL_CACHE_H_
