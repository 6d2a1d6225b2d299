#include "common/durable_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "common/crash_point.h"
#include "common/file.h"

namespace belmor::common {

namespace {

std::atomic<unsigned> counter{0};

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Writes everything or answers the errno of the failure.
int WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    done += static_cast<size_t>(n);
  }
  return 0;
}

// The process a temporary of ReplaceFileAtomically was written by: its name
// is the prefix, the pid, "-" and a counter; 0 when the name has another form
// (a temporary of another file whose name begins the same, say).
pid_t WriterOf(const std::string& name, const std::string& prefix) {
  if (name.compare(0, prefix.size(), prefix) != 0) return 0;
  const auto digits = [&](size_t from) {
    size_t to = from;
    while (to < name.size() && name[to] >= '0' && name[to] <= '9') ++to;
    return to;
  };
  const size_t pidEnd = digits(prefix.size());
  if (pidEnd == prefix.size() || pidEnd - prefix.size() > 9 || pidEnd == name.size() || name[pidEnd] != '-') return 0;
  if (digits(pidEnd + 1) != name.size() || pidEnd + 1 == name.size()) return 0;
  return static_cast<pid_t>(std::stol(name.substr(prefix.size(), pidEnd - prefix.size())));
}

}  // namespace

std::string WriteDurableTemporary(const std::string& directory, const std::string& prefix,
                                  const std::string& bytes, mode_t mode) {
  std::string path;
  int fd = -1;
  for (int attempt = 0; attempt < 1000 && fd < 0; ++attempt) {
    path = directory + "/" + prefix + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kTemporaryMode);
    if (fd < 0 && errno != EEXIST) RaiseFileError(errno, path);
  }
  if (fd < 0) RaiseFileError(EEXIST, path);
  // The bytes are often an invoice or a response in clear text, and a kill
  // may leave the temporary behind: it is the user's alone while it is
  // written, and it gets exactly the final mode only once it is complete.
  // fchmod, because the umask may take bits from the mode open was given.
  int error = ::fchmod(fd, kTemporaryMode) == 0 ? 0 : errno;
  DurableStep("write", path);
  if (error == 0) error = WriteAll(fd, bytes);
  if (error == 0 && mode != kTemporaryMode && ::fchmod(fd, mode) != 0) error = errno;
  DurableStep("fsync", path);
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  // close can report a delayed write error (NFS, quota); it counts as a failure.
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    ::unlink(path.c_str());
    RaiseFileError(error, path);
  }
  return path;
}

bool RenameNoReplace(const std::string& temp, const std::string& target) {
  DurableStep("rename", temp, target);
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EEXIST) return false;
  if (errno != EINVAL && errno != ENOSYS) RaiseFileError(errno, target);
  // File systems without RENAME_NOREPLACE: link refuses an existing target too.
  if (::link(temp.c_str(), target.c_str()) != 0) {
    if (errno == EEXIST) return false;
    RaiseFileError(errno, target);
  }
  DurableStep("unlink", temp);
  ::unlink(temp.c_str());
  return true;
}

void RemoveStaleReplacements(const std::string& path) {
  const std::string directory = DirectoryOf(path);
  const std::string prefix = kTemporaryPrefix + NameOf(path) + "-";
  std::vector<std::string> stale;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const pid_t writer = WriterOf(entry->d_name, prefix);
      // ESRCH only: a process of another user (EPERM) is alive.
      if (writer > 0 && ::kill(writer, 0) != 0 && errno == ESRCH) stale.push_back(directory + "/" + entry->d_name);
    }
    ::closedir(dir);
  }
  for (const std::string& temp : stale) {
    struct stat info {};
    // Not followed: only a file of our own is removed, never what a link names.
    if (::lstat(temp.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    DurableStep("unlink", temp);
    ::unlink(temp.c_str());
  }
}

void ReplaceFileAtomically(const std::string& path, const std::string& bytes, mode_t mode) {
  const std::string directory = DirectoryOf(path);
  RemoveStaleReplacements(path);
  std::string temp = WriteDurableTemporary(directory, kTemporaryPrefix + NameOf(path) + "-", bytes, mode);
  DurableStep("rename", temp, path);
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int error = errno;
    ::unlink(temp.c_str());
    RaiseFileError(error, path);
  }
  SyncDirectory(directory);
}

void AppendDurably(const std::string& path, const std::string& bytes, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) RaiseFileError(errno, path);
  struct stat info {};
  int error = ::fstat(fd, &info) == 0 ? 0 : errno;
  // A new file gets exactly its mode, whatever the umask; its name must be
  // on the disk as well as its bytes.
  const bool created = error == 0 && info.st_size == 0;
  if (created && ::fchmod(fd, mode) != 0) error = errno;
  DurableStep("write", path);
  if (error == 0) error = WriteAll(fd, bytes);
  DurableStep("fdatasync", path);
  if (error == 0 && ::fdatasync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) RaiseFileError(error, path);
  if (created) SyncDirectory(DirectoryOf(path));
}

void SyncDirectory(const std::string& directory) {
  DurableStep("sync-dir", directory);
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace belmor::common
