#include "transport/credential_cache.h"

#include "logging/log.h"

namespace belmor::korvex {

void CredentialCache::LoadCredentials(bool strict) {
  const std::shared_ptr<Config> config = config_.lock();
  if (!config) return;
  credentials_.clear();
  const std::shared_ptr<TrustCenter> center = config->CurrentCenter();
  if (!center) return;
  const std::vector<std::string> recipients = center->recipients;

  // Filled aside and published whole: a transformation must never encrypt for
  // only some of the recipients because an earlier load stopped half-way.
  std::vector<Credential> loaded;
  for (const std::string& recipient : recipients) {
    Credential credential;
    try {
      credential.certificate = certificateLoader_->LoadDocument(recipient);
    } catch (const common::RuntimeException& e) {
      KX_LOG(WARN) << "[CredentialCache::LoadCredentials][certificate of " << recipient << "][" << e.Text() << "]";
      if (strict) throw common::FileNotFoundException("Could not load certificate file", recipient);
      continue;
    }
    if (keyLoader_) {
      try {
        credential.key = keyLoader_->LoadDocument(recipient);
      } catch (const common::RuntimeException& e) {
        KX_LOG(WARN) << "[CredentialCache::LoadCredentials][key of " << recipient << "][" << e.Text() << "]";
        throw common::FileNotFoundException("Could not load key file", recipient);
      }
    }
    loaded.push_back(std::move(credential));
  }
  if (!strict && loaded.empty()) throw common::FileNotFoundException("Could not load any credential file");
  credentials_ = std::move(loaded);
}

}  // namespace belmor::korvex
