#ifndef KORVEX_CONFIG_DOCUMENT_LOADER_H_
#define KORVEX_CONFIG_DOCUMENT_LOADER_H_

#include <map>
#include <string>

namespace belmor::korvex {

// Fetches a document's bytes by name from one base (a directory, a map, a
// URL). Loaders are shared between their users; failures are exceptions of
// the common tree.
class AbstractDocumentLoader {
 public:
  explicit AbstractDocumentLoader(std::string base) : base_(std::move(base)) {}
  virtual ~AbstractDocumentLoader() = default;

  virtual std::string LoadDocument(const std::string& name) = 0;
  const std::string& Base() const { return base_; }

 private:
  std::string base_;
};

// Reads base directory + name; a file that cannot be read raises
// FileNotFoundException "FileDocumentLoader::LoadDocument: unable to read".
class FileDocumentLoader : public AbstractDocumentLoader {
 public:
  using AbstractDocumentLoader::AbstractDocumentLoader;
  std::string LoadDocument(const std::string& name) override;
};

// Serves documents from memory, e.g. an unpacked package. An absent name
// yields empty text, which makes compiling that document fail by its name.
class FileMapDocumentLoader : public AbstractDocumentLoader {
 public:
  explicit FileMapDocumentLoader(std::map<std::string, std::string> files);
  std::string LoadDocument(const std::string& name) override;

 private:
  std::map<std::string, std::string> files_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_CONFIG_DOCUMENT_LOADER_H_
