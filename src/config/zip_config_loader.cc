#include "config/zip_config_loader.h"

#include <unzip.h>

#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <vector>

#include "config/document_loader.h"
#include "logging/log.h"

namespace belmor::compress {

namespace {

// The archive as minizip sees it: a read-only stream over the caller's bytes.
struct MemoryStream {
  std::string_view bytes;
  uint64_t position = 0;
  bool failed = false;
};

voidpf ZCALLBACK MemoryOpen(voidpf opaque, const void* /*filename*/, int /*mode*/) {
  auto stream = std::make_unique<MemoryStream>();
  stream->bytes = *static_cast<const std::string_view*>(opaque);
  return stream.release();
}

uLong ZCALLBACK MemoryRead(voidpf /*opaque*/, voidpf handle, void* buffer, uLong size) {
  auto* stream = static_cast<MemoryStream*>(handle);
  uint64_t left = stream->bytes.size() - stream->position;
  uLong count = static_cast<uLong>(std::min<uint64_t>(size, left));
  std::memcpy(buffer, stream->bytes.data() + stream->position, count);
  stream->position += count;
  return count;
}

// Unpacking only reads; minizip's unzip never writes to its archive.
uLong ZCALLBACK MemoryWrite(voidpf /*opaque*/, voidpf /*handle*/, const void* /*buffer*/, uLong /*size*/) {
  return 0;
}

ZPOS64_T ZCALLBACK MemoryTell(voidpf /*opaque*/, voidpf handle) {
  return static_cast<MemoryStream*>(handle)->position;
}

// A position outside the bytes is refused and leaves the stream failed, so
// that the error callback reports it.
long ZCALLBACK MemorySeek(voidpf /*opaque*/, voidpf handle, ZPOS64_T offset, int origin) {
  auto* stream = static_cast<MemoryStream*>(handle);
  const uint64_t size = stream->bytes.size();
  uint64_t base = 0;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
      base = 0;
      break;
    case ZLIB_FILEFUNC_SEEK_CUR:
      base = stream->position;
      break;
    case ZLIB_FILEFUNC_SEEK_END:
      base = size;
      break;
    default:
      stream->failed = true;
      return -1;
  }
  if (offset > size - base) {
    stream->failed = true;
    return -1;
  }
  stream->position = base + offset;
  return 0;
}

int ZCALLBACK MemoryClose(voidpf /*opaque*/, voidpf handle) {
  std::unique_ptr<MemoryStream> stream(static_cast<MemoryStream*>(handle));
  return 0;
}

int ZCALLBACK MemoryError(voidpf /*opaque*/, voidpf handle) {
  return static_cast<MemoryStream*>(handle)->failed ? 1 : 0;
}

struct UnzCloser {
  void operator()(void* file) const { unzClose(file); }
};
using UnzipFile = std::unique_ptr<void, UnzCloser>;

constexpr size_t kChunkSize = 8192;

// The part after the last "/" or "\"; empty for a directory entry.
std::string BareName(const std::string& name) {
  size_t slash = name.find_last_of("/\\");
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

// Reads the entry the archive stands on into text. False, with the line
// printed, when the entry must be dropped and unpacking must end.
bool ReadCurrentEntry(unzFile zip, std::string& text, uint64_t& total, uint64_t maxTotalSize) {
  int err = unzOpenCurrentFilePassword(zip, nullptr);
  if (err != UNZ_OK) {
    KX_LOG(DEBUG) << "[UnzipToMap][error " << err << " with zipfile in unzOpenCurrentFilePassword]";
    return false;
  }
  std::vector<char> chunk(kChunkSize);
  for (;;) {
    int read = unzReadCurrentFile(zip, chunk.data(), static_cast<unsigned>(chunk.size()));
    if (read == 0) break;
    if (read > 0 && total + static_cast<uint64_t>(read) > maxTotalSize) {
      KX_LOG(DEBUG) << "[UnzipToMap][unpacked size exceeds " << maxTotalSize << " bytes]";
      read = UNZ_BADZIPFILE;
    }
    if (read < 0) {
      KX_LOG(DEBUG) << "[UnzipToMap][error " << read << " with zipfile in unzReadCurrentFile]";
      unzCloseCurrentFile(zip);
      return false;
    }
    text.append(chunk.data(), static_cast<size_t>(read));
    total += static_cast<uint64_t>(read);
  }
  // The CRC is checked here: an entry that fails it is corrupt, so it is
  // dropped rather than handed on as a document.
  err = unzCloseCurrentFile(zip);
  if (err != UNZ_OK) {
    KX_LOG(DEBUG) << "[UnzipToMap][error " << err << " with zipfile in unzCloseCurrentFile]";
    return false;
  }
  return true;
}

}  // namespace

std::map<std::string, std::string> UnzipToMap(const std::string& archive, uint64_t maxTotalSize) {
  std::string_view bytes(archive);
  zlib_filefunc64_def functions{};
  functions.zopen64_file = MemoryOpen;
  functions.zread_file = MemoryRead;
  functions.zwrite_file = MemoryWrite;
  functions.ztell64_file = MemoryTell;
  functions.zseek64_file = MemorySeek;
  functions.zclose_file = MemoryClose;
  functions.zerror_file = MemoryError;
  functions.opaque = &bytes;

  UnzipFile zip(unzOpen2_64("memory", &functions));
  if (!zip) throw NoZipFileException("No valid zip file content");

  // Any library failure ends unpacking with what was read so far; documents
  // missing from the result make the cache reload fail by their names.
  std::map<std::string, std::string> files;
  unz_global_info64 info{};
  int err = unzGetGlobalInfo64(zip.get(), &info);
  if (err != UNZ_OK) {
    KX_LOG(DEBUG) << "[UnzipToMap][error " << err << " with zipfile in unzGetGlobalInfo]";
    return files;
  }
  uint64_t total = 0;
  try {
    for (ZPOS64_T i = 0; i < info.number_entry; ++i) {
      unz_file_info64 entry{};
      err = unzGetCurrentFileInfo64(zip.get(), &entry, nullptr, 0, nullptr, 0, nullptr, 0);
      std::string name(entry.size_filename, '\0');
      if (err == UNZ_OK) {
        err = unzGetCurrentFileInfo64(zip.get(), &entry, name.data(), static_cast<uLong>(name.size()), nullptr, 0,
                                      nullptr, 0);
      }
      if (err != UNZ_OK) {
        KX_LOG(DEBUG) << "[UnzipToMap][error " << err << " with zipfile in unzGetCurrentFileInfo]";
        break;
      }
      name = BareName(name);
      if (!name.empty()) {
        std::string text;
        if (!ReadCurrentEntry(zip.get(), text, total, maxTotalSize)) break;
        files[name] = std::move(text);
      }
      if (i + 1 < info.number_entry) {
        err = unzGoToNextFile(zip.get());
        if (err != UNZ_OK) {
          KX_LOG(DEBUG) << "[UnzipToMap][error " << err << " with zipfile in unzGoToNextFile]";
          break;
        }
      }
    }
  } catch (const std::bad_alloc&) {
    KX_LOG(DEBUG) << "[UnzipToMap][Error allocating memory]";
  }
  return files;
}

}  // namespace belmor::compress

namespace belmor::korvex {

ZipConfigLoader::ZipConfigLoader(std::shared_ptr<AbstractDocumentLoader> configLoader,
                                 std::shared_ptr<AbstractDocumentLoader> schemaLoader,
                                 std::shared_ptr<AbstractDocumentLoader> packageLoader)
    : ConfigLoader(std::move(configLoader), std::move(schemaLoader), nullptr),
      packageLoader_(std::move(packageLoader)) {}

void ZipConfigLoader::Load(const std::shared_ptr<Config>& config, const std::string& configName,
                           const std::string& schemaName) {
  try {
    RefDocumentLoader::EnsureRegistered();
    if (!config) throw common::RuntimeException("ConfigLoader::Load: no config");
    if (!packageLoader_) throw common::RuntimeException("ZipConfigLoader::Load: package loader missing");
    LoadAndValidate(*config, configName, schemaName, true);
    RefDocumentLoader::Init(config);

    const std::string package = packageLoader_->LoadDocument(config->PackageName());
    KX_LOG(DEBUG) << "[ZipConfigLoader::Load][open zip archive][size=" << package.size() << "]";
    auto files = compress::UnzipToMap(package);
    KX_LOG(DEBUG) << "[ZipConfigLoader::Load][zip ectracted][total files=" << files.size() << "]";
    auto documents = std::make_shared<FileMapDocumentLoader>(std::move(files));
    config->ReloadDocumentCache(documents, documents);
  } catch (...) {
    RaiseLoadFailure();
  }
}

}  // namespace belmor::korvex
