#ifndef KORVEX_CONFIG_ZIP_CONFIG_LOADER_H_
#define KORVEX_CONFIG_ZIP_CONFIG_LOADER_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "common/exception.h"
#include "config/config_loader.h"

namespace belmor::compress {

KORVEX_DECLARE_EXCEPTION(NoZipFileException, common::RuntimeException, "No valid Zip File exception");

// A package of schemas and stylesheets is a few megabytes at most; far more
// than that unpacked is a broken or hostile archive (a zip bomb), not a package.
inline constexpr uint64_t kMaxUnpackedSize = 256ull * 1024 * 1024;

// Unpacks a zip archive held in memory into a map from bare file name (the
// part after the last "/" or "\") to bytes. Directories are skipped; a later
// entry of the same bare name replaces an earlier one. Raises
// NoZipFileException "No valid zip file content" when the bytes are no archive.
// A library error, or more than maxTotalSize bytes unpacked in all, drops the
// entry at hand and ends unpacking with what was read so far; the error line
// goes to standard output.
std::map<std::string, std::string> UnzipToMap(const std::string& archive,
                                              uint64_t maxTotalSize = kMaxUnpackedSize);

}  // namespace belmor::compress

namespace belmor::korvex {

// Loads the online configuration: the file and its schema, then the document
// package named by the file, whose schemas and stylesheets fill the caches.
class ZipConfigLoader : public ConfigLoader {
 public:
  ZipConfigLoader(std::shared_ptr<AbstractDocumentLoader> configLoader,
                  std::shared_ptr<AbstractDocumentLoader> schemaLoader,
                  std::shared_ptr<AbstractDocumentLoader> packageLoader);

  using ConfigLoader::Load;
  void Load(const std::shared_ptr<Config>& config, const std::string& configName,
            const std::string& schemaName) override;

 private:
  std::shared_ptr<AbstractDocumentLoader> packageLoader_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_CONFIG_ZIP_CONFIG_LOADER_H_
