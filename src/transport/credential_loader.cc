#include "transport/credential_loader.h"

#include "common/exception.h"

namespace belmor::korvex {

CredentialFileLoader::CredentialFileLoader(std::string directory, std::string extension)
    : FileDocumentLoader(std::move(directory)), extension_(std::move(extension)) {}

std::string CredentialFileLoader::LoadDocument(const std::string& name) {
  if (name.empty() || name.front() == '.' || name.find_first_of("/\\") != std::string::npos) {
    throw common::FileNotFoundException("CredentialFileLoader::LoadDocument: not a credential name", name);
  }
  return FileDocumentLoader::LoadDocument(name + "." + extension_);
}

}  // namespace belmor::korvex
