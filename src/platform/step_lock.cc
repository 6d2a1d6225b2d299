#include "platform/step_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "common/exception.h"
#include "platform/folders.h"
#include "platform/identity.h"
#include "platform/system_error.h"

namespace belmor::platform {

namespace {

[[noreturn]] void ThrowLockError(const char* what, const std::string& file, int error) {
  throw common::RuntimeException(what, file + ": " + SystemErrorText(error), error);
}

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// A folder nobody but its owner can enter: nobody else can plant, replace or
// remove a file in it.
bool IsPrivateFolder(const struct stat& info) {
  return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

// The application data's run folder, made 0700 whatever the umask; a folder of
// the user's own that is open to others is closed. Anything else there (not
// a folder, not the user's) is left for OpenLockFile to refuse with a reason.
void MakePrivateFolder(const std::string& folder) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(folder).parent_path(), ignored);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return;
  struct stat info {};
  if (::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
      (info.st_mode & 07777) != 0700) {
    ::chmod(folder.c_str(), 0700);
  }
}

// Opens (making it when missing) the lock file in its folder, which must be
// private to the user. The file is looked up relative to the folder that was
// checked, and no link is followed, never a FIFO blocked on: only a regular
// file of the user's own is a lock.
int OpenLockFile(const std::string& file) {
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos || slash + 1 == file.size()) {
    throw common::RuntimeException("no folder for the step lock",
                                   "neither XDG_RUNTIME_DIR, /run/user/" + std::to_string(::geteuid()) +
                                       " nor the home directory names one");
  }
  const std::string folder = slash == 0 ? std::string("/") : file.substr(0, slash);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) ThrowLockError("cannot open the step lock's folder", folder, errno);
  struct stat info {};
  if (::fstat(dir, &info) != 0) {
    const int error = errno;
    ::close(dir);
    ThrowLockError("cannot examine the step lock's folder", folder, error);
  }
  if (!IsPrivateFolder(info)) {
    ::close(dir);
    throw common::RuntimeException("the step lock's folder is not private to this user (owner and mode 0700)",
                                   folder + ": owner uid " + std::to_string(info.st_uid) + ", mode " +
                                       ModeText(info.st_mode));
  }
  const int fd =
      ::openat(dir, file.c_str() + slash + 1, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  const int openError = errno;
  ::close(dir);
  if (fd < 0) ThrowLockError("cannot open the step lock file", file, openError);
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    ThrowLockError("cannot examine the step lock file", file, error);
  }
  if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
    ::close(fd);
    throw common::RuntimeException("the step lock file is not a regular file of this user", file);
  }
  return fd;
}

// Tries a lock of the given kind on a fresh open file description; answers the
// descriptor holding it, or -1 when another holder conflicts.
int TryLock(const std::string& file, int operation) {
  int fd = OpenLockFile(file);
  int rc;
  do {
    rc = ::flock(fd, operation | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return fd;
  int error = errno;
  ::close(fd);
  if (error == EWOULDBLOCK) return -1;
  ThrowLockError("cannot lock the step lock file", file, error);
}

}  // namespace

std::string StepLockFile(const std::string& name) { return StepLockFile(name, "/run/user"); }

std::string StepLockFile(const std::string& name, const std::string& perUserRuntimeRoot) {
  std::string runtime = EnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.empty() && runtime.front() == '/') {
    while (runtime.size() > 1 && runtime.back() == '/') runtime.pop_back();
    return runtime == "/" ? "/" + name : runtime + "/" + name;
  }
  // What the login manager makes for the user's sessions, when it has; a
  // link or a folder open to others is not taken.
  const std::string userRuntime = perUserRuntimeRoot + "/" + std::to_string(::geteuid());
  struct stat info {};
  if (::lstat(userRuntime.c_str(), &info) == 0 && IsPrivateFolder(info) && (info.st_mode & 0777) == 0700) {
    return userRuntime + "/" + name;
  }
  const std::string appData = ApplicationDataDirectory();
  if (appData.empty()) return std::string();
  const std::string folder = appData + "/run";
  MakePrivateFolder(folder);
  return folder + "/" + name;
}

StepLock::Lease::~Lease() { End(); }

StepLock::Lease::Lease(Lease&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

StepLock::Lease& StepLock::Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    End();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void StepLock::Lease::End() {
  if (fd_ < 0) return;
  // Closing the last descriptor of the open file description drops the lock;
  // the explicit unlock also covers a forked copy that still shares it.
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
}

StepLock::StepLock(std::string name) : name_(std::move(name)), file_(StepLockFile(name_)) {}

StepLock::~StepLock() = default;

StepLock::Lease StepLock::TryAcquire() { return Lease(TryLock(file_, LOCK_EX)); }

bool StepLock::IsHeld() const {
  // A shared lock conflicts with the holder's exclusive one but not with other
  // askers, so two processes asking at once do not see each other as holders.
  int probe = TryLock(file_, LOCK_SH);
  if (probe < 0) return true;
  ::close(probe);
  return false;
}

}  // namespace belmor::platform
