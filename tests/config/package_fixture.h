#ifndef KORVEX_TESTS_CONFIG_PACKAGE_FIXTURE_H_
#define KORVEX_TESTS_CONFIG_PACKAGE_FIXTURE_H_

// The trust-center fixture of the source tree as the loader tests need it:
// the files themselves, the package zipped as a trust center publishes it, and
// helpers to watch what the loaders do.

#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/document_loader.h"
#include "logging/log.h"
#include "support/temp_dir.h"
#include "support/zip_builder.h"

namespace belmor::korvex::fixture {

inline std::string Path(const std::string& relative) {
  return std::string(KORVEX_SOURCE_DIR) + "/testing/trustcenter/config/" + relative;
}

inline std::string Read(const std::string& relative) { return belmor::testing::ReadFile(Path(relative)); }

// The package with its sub-directories (schemas/common/invoice-types.xsd, ...)
// kept inside the zip.
inline std::string PackageZip() { return belmor::testing::ZipBuilder().AddTree(Path("package")).Build(); }

// The package by bare file name: what unpacking it must give.
inline std::map<std::string, std::string> FlatPackage() {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(Path("package"))) {
    if (entry.is_regular_file()) files[entry.path().filename().string()] = belmor::testing::ReadFile(entry.path());
  }
  return files;
}

// A map loader that remembers every name it was asked for.
class RecordingLoader : public FileMapDocumentLoader {
 public:
  using FileMapDocumentLoader::FileMapDocumentLoader;
  std::string LoadDocument(const std::string& name) override {
    asked.push_back(name);
    return FileMapDocumentLoader::LoadDocument(name);
  }
  std::vector<std::string> asked;
};

// A loader whose every answer is a failure of the given kind.
template <typename E>
class FailingLoader : public AbstractDocumentLoader {
 public:
  FailingLoader() : AbstractDocumentLoader("") {}
  std::string LoadDocument(const std::string& name) override { throw E("failing loader: " + name); }
};

// Collects the debug lines written while it lives.
class LogCapture {
 public:
  LogCapture() : previous_(log::CurrentLogger()), memory_(std::make_shared<Memory>()) { log::InstallLogger(memory_); }
  ~LogCapture() { log::InstallLogger(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every line written, the line headers included.
  std::string Text() const {
    std::string text;
    for (const auto& line : memory_->lines) text += line;
    return text;
  }

  bool Has(const std::string& text) const {
    for (const auto& line : memory_->lines) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  struct Memory : log::BaseLogger {
    bool Write(const log::LogData& data) override {
      lines.push_back(data.stream.str());
      return true;
    }
    std::vector<std::string> lines;
  };
  std::shared_ptr<log::BaseLogger> previous_;
  std::shared_ptr<Memory> memory_;
};

}  // namespace belmor::korvex::fixture

#endif  // KORVEX_TESTS_CONFIG_PACKAGE_FIXTURE_H_
