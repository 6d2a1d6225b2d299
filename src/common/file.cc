#include "common/file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "common/crash_point.h"
#include "common/exception.h"
#include "common/path.h"

namespace belmor::common {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsDriveRoot(const std::string& text) {
  return text.size() == 3 && text[1] == ':' && IsSeparator(text[2]);
}

std::string StripTrailingSeparator(const std::string& text) {
  if (text.size() < 2 || IsDriveRoot(text) || !IsSeparator(text.back())) return text;
  return text.substr(0, text.size() - 1);
}

// The errors that mean "there is nothing at this path" rather than "looking failed".
bool IsNotFound(int error) {
  return error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG || error == ELOOP;
}

}  // namespace

void RaiseFileError(int error, const std::string& path) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      throw FileNotFoundException(path, error);
    case EACCES:
    case EPERM:
      throw FileAccessDeniedException(path, error);
    case EROFS:
      throw FileReadOnlyException(path, error);
    case EEXIST:
      throw FileExistsException(path, error);
    case ENOSPC:
    case EDQUOT:
      throw WriteFileException("disk is full", path, error);
    case ENOTEMPTY:
      throw FileException("directory not empty", path, error);
    // A busy file is what Windows calls a sharing violation.
    case EBUSY:
    case ETXTBSY:
      throw FileException("sharing violation", path, error);
    // EIO does not say whether reading or writing failed, so it stays a plain
    // file error rather than guessing at ReadFile/WriteFile.
    case EIO:
      throw FileException("I/O error", path, error);
    default:
      throw FileException(path, error);
  }
}

FileImpl::FileImpl(const std::string& path) : path_(StripTrailingSeparator(path)) {}

FileImpl::~FileImpl() = default;

File::File(const std::string& path) : FileImpl(path) {}

File::File(const Path& path) : FileImpl(path.ToString()) {}

File::~File() = default;

bool File::Exists() const {
  struct stat st;
  if (::stat(PathString().c_str(), &st) == 0) return true;
  const int error = errno;
  if (IsNotFound(error)) return false;
  RaiseFileError(error, PathString());
}

bool File::IsFile() const {
  struct stat st;
  if (::stat(PathString().c_str(), &st) != 0) RaiseFileError(errno, PathString());
  return S_ISREG(st.st_mode);
}

bool File::IsDirectory() const {
  struct stat st;
  if (::stat(PathString().c_str(), &st) != 0) RaiseFileError(errno, PathString());
  return S_ISDIR(st.st_mode);
}

bool File::IsDevice() const {
  struct stat st;
  if (::stat(PathString().c_str(), &st) != 0) return false;
  return S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
}

bool File::CreateDirectory() const {
  if (::mkdir(PathString().c_str(), 0777) == 0) return true;
  const int error = errno;
  // Asking after the failure, not before, leaves no gap for another process to
  // create the directory in between.
  if (error == EEXIST) {
    struct stat st;
    if (::stat(PathString().c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return false;
  }
  RaiseFileError(error, PathString());
}

void File::CreateDirectories() const { CreateMissingDirectories(std::nullopt); }

void File::CreateDirectories(mode_t mode) const { CreateMissingDirectories(mode); }

void File::CreateMissingDirectories(std::optional<mode_t> mode) const {
  struct stat st;
  if (::stat(PathString().c_str(), &st) == 0) return;
  const int error = errno;
  if (!IsNotFound(error)) RaiseFileError(error, PathString());

  Path directory(PathString(), true);
  if (directory.Depth() > 1) {
    Path parent = directory;
    parent.MakeParent();
    File(parent).CreateMissingDirectories(mode);
  }
  if (!mode) {
    CreateDirectory();
    return;
  }
  // mkdir applies the umask, which can only take bits away, so the directory is
  // never wider than mode before the chmod sets it exactly.
  if (::mkdir(PathString().c_str(), *mode) == 0) {
    if (::chmod(PathString().c_str(), *mode) != 0) RaiseFileError(errno, PathString());
    return;
  }
  const int mkdir_error = errno;
  // Another process made it in the meantime: it is theirs, keep its mode.
  if (mkdir_error == EEXIST && ::stat(PathString().c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
  RaiseFileError(mkdir_error, PathString());
}

void File::Remove() const {
  DurableStep("unlink", PathString());
  if (std::remove(PathString().c_str()) != 0) RaiseFileError(errno, PathString());
}

void File::RenameTo(const File& target) const {
  DurableStep("rename", PathString(), target.PathString());
  if (std::rename(PathString().c_str(), target.PathString().c_str()) != 0) RaiseFileError(errno, PathString());
}

}  // namespace belmor::common
