#include "platform/identity.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/exception.h"
#include "platform/assignment_file.h"
#include "platform/system_error.h"

namespace belmor::platform {

namespace {

// Fills the buffer from getrandom, or from /dev/urandom on kernels without it;
// answers 0 or the errno of the failure.
int FillRandom(unsigned char* bytes, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::getrandom(bytes + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    done += static_cast<size_t>(n);
  }
  if (done == size) return 0;
  if (errno != ENOSYS) return errno;

  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = 0;
  done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return error;
}

}  // namespace

std::string EnvironmentVariable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value == nullptr ? std::string() : std::string(value);
}

std::vector<std::string> Environment() {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) entries.emplace_back(*entry);
  return entries;
}

std::string UserName() {
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 1024);
  passwd entry{};
  passwd* result = nullptr;
  int error;
  while ((error = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &result)) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (error == 0 && result != nullptr && result->pw_name != nullptr && *result->pw_name != '\0') {
    return result->pw_name;
  }
  std::string name = EnvironmentVariable("USER");
  return name.empty() ? EnvironmentVariable("LOGNAME") : name;
}

std::string CreateUuid() {
  unsigned char bytes[16];
  if (int error = FillRandom(bytes, sizeof bytes); error != 0) {
    throw common::RuntimeException("cannot create a UUID", SystemErrorText(error), error);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4: random
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);  // variant 10: RFC 4122

  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(36);
  for (size_t i = 0; i < sizeof bytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 0x0f]);
  }
  return text;
}

std::string MachineStateDirectory() {
  std::string dir = EnvironmentVariable("KORVEX_MACHINE_STATE_DIR");
  return dir.empty() ? "/var/lib/belmor/korvex" : dir;
}

std::string ProductName() {
  // The file in /etc overrides the vendor's copy entirely when it exists.
  const char* file = ::access("/etc/os-release", F_OK) == 0 ? "/etc/os-release" : "/usr/lib/os-release";
  return ProductName(file);
}

std::string ProductName(const std::string& os_release_file) {
  std::optional<std::string> pretty = ReadAssignment(os_release_file, "PRETTY_NAME");
  if (pretty && !pretty->empty()) return *pretty;
  utsname system{};
  if (::uname(&system) != 0) return std::string();
  return std::string(system.sysname) + " " + system.release;
}

}  // namespace belmor::platform
