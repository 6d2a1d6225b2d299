#include "config/document_loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "common/exception.h"
#include "common/path.h"
#include "logging/log.h"

namespace belmor::korvex {

namespace {

// Reads the whole file as bytes: documents are handed to libxml2, which does
// its own line-end handling, so nothing is converted here. False when the
// file cannot be read; a directory counts as unreadable.
bool ReadWholeFile(const std::string& path, std::string& bytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st{};
  bool ok = ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
  // Sized at once and read in large pieces: an invoice of a megabyte would
  // otherwise cost a hundred reads and a copy at every doubling of the string.
  // The size is only a hint; a file that grows meanwhile is still read whole.
  if (ok && st.st_size > 0) bytes.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  while (ok) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return ok;
}

}  // namespace

std::string FileDocumentLoader::LoadDocument(const std::string& name) {
  KX_LOG(DEBUG) << "FileDocumentLoader::LoadDocument ";
  // The base is always a directory, whether or not it ends in a separator.
  std::string path;
  try {
    common::Path file(Base(), true);
    file.SetFileName(name);
    path = file.ToString();
  } catch (const std::invalid_argument&) {
    throw common::FileNotFoundException("FileDocumentLoader::LoadDocument: unable to read", Base() + name);
  }
  KX_LOG(DEBUG) << "FileDocumentLoader::LoadDocument: file=" << path;
  std::string bytes;
  if (!ReadWholeFile(path, bytes)) {
    throw common::FileNotFoundException("FileDocumentLoader::LoadDocument: unable to read", path);
  }
  KX_LOG(DEBUG) << "FileDocumentLoader::LoadDocument: successful loaded " << path;
  return bytes;
}

FileMapDocumentLoader::FileMapDocumentLoader(std::map<std::string, std::string> files)
    : AbstractDocumentLoader(std::string()), files_(std::move(files)) {
  KX_LOG(DEBUG) << "[FileMapDocumentLoader::FileMapDocumentLoader][map size: " << files_.size() << "]";
}

std::string FileMapDocumentLoader::LoadDocument(const std::string& name) { return files_[name]; }

}  // namespace belmor::korvex
