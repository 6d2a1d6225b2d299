#include "transport/http_document_loader.h"

#include "common/exception.h"
#include "logging/log.h"
#include "transport/smime.h"

namespace belmor::korvex {

HttpDocumentLoader::HttpDocumentLoader(std::string baseUrl, std::shared_ptr<HttpClient> client)
    : AbstractDocumentLoader(std::move(baseUrl)), client_(std::move(client)) {
  KX_LOG(DEBUG) << "[HttpDocumentLoader::HttpDocumentLoader][create: base_path_=" << Base() << "]";
}

std::string HttpDocumentLoader::LoadDocument(const std::string& name) {
  KX_LOG(DEBUG) << "[HttpDocumentLoader::LoadDocument]";
  std::string url = Base();
  if (!url.empty() && url.back() != '/') url += '/';
  url += name;
  KX_LOG(DEBUG) << "[HttpDocumentLoader::LoadDocument][url=" << url << "]";
  const int32_t status = client_ ? client_->Get(url) : 0;
  KX_LOG(DEBUG) << "[HttpDocumentLoader::LoadDocument][http code=" << status << "]";
  if (status < 200 || status > 299) {
    throw common::RuntimeException("HttpDocumentLoader::LoadDocument: unable to load", url);
  }
  KX_LOG(DEBUG) << "[HttpDocumentLoader::LoadDocument][successful load: " << Base() << "/" << name << "]";
  return client_->GetResponse();
}

CredentialHttpLoader::CredentialHttpLoader(std::string baseUrl, std::shared_ptr<HttpClient> client,
                                           std::string extension)
    : HttpDocumentLoader(std::move(baseUrl), std::move(client)), extension_(std::move(extension)) {}

std::string CredentialHttpLoader::LoadDocument(const std::string& name) {
  std::string text = HttpDocumentLoader::LoadDocument(name + "." + extension_);
  // An error page served with status 200, or anything else that is no
  // certificate, must not be kept as this recipient's.
  if (extension_ == "crt" && !SMIMECrypto::IsCertificate(text)) {
    throw common::RuntimeException("CredentialHttpLoader::LoadDocument: not a certificate", name);
  }
  return text;
}

}  // namespace belmor::korvex
