#include "platform/step_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/exception.h"
#include "platform/identity.h"
#include "platform/system_error.h"

namespace belmor::platform {

namespace {

[[noreturn]] void ThrowLockError(const char* what, const std::string& file, int error) {
  throw common::RuntimeException(what, file + ": " + SystemErrorText(error), error);
}

// The fallback lives in the shared /tmp, where anyone could plant a symlink or
// a file of their own to steal or block the lock: follow no links, never
// block on a FIFO, and accept only a regular file of our own.
int OpenLockFile(const std::string& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) ThrowLockError("cannot open the step lock file", file, errno);
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    int error = errno;
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

std::string StepLockFile(const std::string& name) {
  std::string runtime = EnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.empty() && runtime.front() == '/') {
    while (runtime.size() > 1 && runtime.back() == '/') runtime.pop_back();
    return runtime == "/" ? "/" + name : runtime + "/" + name;
  }
  return "/tmp/" + name + "-" + std::to_string(::geteuid());
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
