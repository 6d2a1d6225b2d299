#ifndef KORVEX_TRANSPORT_CREDENTIAL_LOADER_H_
#define KORVEX_TRANSPORT_CREDENTIAL_LOADER_H_

#include <string>

#include "config/document_loader.h"

namespace belmor::korvex {

// Reads "<name>.<extension>" from one directory: the practice's own private
// keys (extension "key") or certificates kept beside them. Names come from the
// trust center's configuration, so a name that could leave the directory (a
// separator, or a leading dot) is refused with FileNotFoundException like a
// missing file.
class CredentialFileLoader : public FileDocumentLoader {
 public:
  CredentialFileLoader(std::string directory, std::string extension);
  std::string LoadDocument(const std::string& name) override;

 private:
  std::string extension_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_CREDENTIAL_LOADER_H_
