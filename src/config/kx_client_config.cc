#include "config/kx_client_config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "common/durable_file.h"
#include "common/exception.h"
#include "common/file.h"
#include "logging/log.h"
#include "platform/identity.h"

namespace belmor::korvex {

namespace {

// Identities are 36 characters; no more than 64 bytes of the file are read.
constexpr size_t kMaxIdBytes = 64;

// The stored identity up to its line end; nullopt when the file cannot be read.
std::optional<std::string> ReadId(const std::string& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buffer[kMaxIdBytes];
  size_t got = 0;
  bool failed = false;
  while (got < sizeof buffer) {
    ssize_t n = ::read(fd, buffer + got, sizeof buffer - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = true;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  if (failed) return std::nullopt;
  std::string text(buffer, got);
  if (size_t end = text.find_first_of(std::string("\n\0", 2)); end != std::string::npos) text.erase(end);
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

// Stores id as the identity unless one appeared meanwhile, and answers the
// identity now stored, or empty when none could be stored. The complete file
// appears under its name in one step, so a reader never sees half an
// identity, and one stored first by another process is never replaced.
std::string StoreId(const std::string& dir, const std::string& file, const std::string& id) {
  std::string temp;
  try {
    common::File(dir).CreateDirectories();
    // Written 0644: stored once for the machine, read by every user.
    temp = common::WriteDurableTemporary(dir, std::string(common::kTemporaryPrefix) + "machineID-", id + "\n", 0644);
    if (common::RenameNoReplace(temp, file)) {
      common::SyncDirectory(dir);
      return id;
    }
    std::optional<std::string> stored = ReadId(file);
    // An empty file identifies nothing; replacing it beats answering the
    // fixed text for ever. One that cannot be read is left alone.
    if (stored && stored->empty()) {
      common::File(temp).RenameTo(common::File(file));
      return id;
    }
    ::unlink(temp.c_str());
    return stored.value_or(std::string());
  } catch (const common::Exception& e) {
    KX_LOG(DEBUG) << "belmor::korvex::GetMachineId: " << e.Text();
    if (!temp.empty()) ::unlink(temp.c_str());
    return std::string();
  }
}

}  // namespace

std::string GetMachineId() {
  const std::string dir = platform::MachineStateDirectory();
  const std::string file = dir + "/machineID";
  if (std::optional<std::string> stored = ReadId(file); stored && !stored->empty()) return *stored;

  std::string id;
  try {
    id = platform::CreateUuid();
  } catch (const std::exception&) {
    KX_LOG(ERROR) << "belmor::korvex::GetMachineId: Can't create uuid";
    return kFixedMachineId;
  }
  if (id.size() != 36) {
    KX_LOG(ERROR) << "belmor::korvex::GetMachineId: Can't convert uuid to string";
    return kFixedMachineId;
  }
  std::string stored = StoreId(dir, file, id);
  return stored.empty() ? kFixedMachineId : stored;
}

}  // namespace belmor::korvex
