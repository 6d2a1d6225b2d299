#ifndef KORVEX_TRANSPORT_HTTP_DOCUMENT_LOADER_H_
#define KORVEX_TRANSPORT_HTTP_DOCUMENT_LOADER_H_

#include <memory>
#include <string>

#include "config/document_loader.h"
#include "transport/http_client.h"

namespace belmor::korvex {

// Fetches documents by HTTP GET of base URL + "/" + name (no second "/" when
// the base already ends in one; nothing between them when the base is
// empty). The HTTP client is shared by all loaders of one configuration load,
// which run on one thread. A status outside 200..299 (0: no connection)
// raises common::RuntimeException "HttpDocumentLoader::LoadDocument: unable
// to load" with the URL as subject.
class HttpDocumentLoader : public AbstractDocumentLoader {
 public:
  HttpDocumentLoader(std::string baseUrl, std::shared_ptr<HttpClient> client);
  std::string LoadDocument(const std::string& name) override;

  const std::shared_ptr<HttpClient>& Client() const { return client_; }

 private:
  std::shared_ptr<HttpClient> client_;
};

// The recipients' certificates: name + "." + extension below the base URL.
class CredentialHttpLoader : public HttpDocumentLoader {
 public:
  CredentialHttpLoader(std::string baseUrl, std::shared_ptr<HttpClient> client, std::string extension);
  std::string LoadDocument(const std::string& name) override;

 private:
  std::string extension_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_HTTP_DOCUMENT_LOADER_H_
