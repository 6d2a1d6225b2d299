#include "support/zip_builder.h"

#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "support/temp_dir.h"

namespace belmor::testing {

namespace {

struct ZipCloser {
  void operator()(void* file) const { zipClose(file, nullptr); }
};

void Check(int err, const std::string& what) {
  if (err != ZIP_OK) throw std::runtime_error("zip builder: " + what + " failed with " + std::to_string(err));
}

}  // namespace

ZipBuilder& ZipBuilder::Add(const std::string& name, const std::string& bytes, bool deflate) {
  entries_.push_back({name, bytes, deflate});
  return *this;
}

ZipBuilder& ZipBuilder::AddTree(const std::string& directory) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    Add(fs::relative(file, directory).generic_string(), ReadFile(file.string()));
  }
  return *this;
}

// minizip writes through a file; the archive goes to a scratch file and is read back.
std::string ZipBuilder::Build() const {
  TempDir scratch;
  const std::string path = scratch.Sub("archive.zip");
  {
    std::unique_ptr<void, ZipCloser> zip(zipOpen64(path.c_str(), APPEND_STATUS_CREATE));
    if (!zip) throw std::runtime_error("zip builder: cannot create " + path);
    for (const auto& entry : entries_) {
      zip_fileinfo info{};
      Check(zipOpenNewFileInZip64(zip.get(), entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                  entry.deflate ? Z_DEFLATED : 0, Z_DEFAULT_COMPRESSION, 0),
            "open " + entry.name);
      if (!entry.bytes.empty()) {
        Check(zipWriteInFileInZip(zip.get(), entry.bytes.data(), static_cast<unsigned>(entry.bytes.size())),
              "write " + entry.name);
      }
      Check(zipCloseFileInZip(zip.get()), "close " + entry.name);
    }
    void* raw = zip.release();
    Check(zipClose(raw, nullptr), "finish");
  }
  return ReadFile(path);
}

}  // namespace belmor::testing
