#include "server/registration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <stdexcept>

#include "config/kx_client_config.h"
#include "logging/log.h"

namespace belmor::korvex::server {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

RegistrationPlace Under(const std::string& dataDir) {
  return {dataDir + "/dbus-1/services", dataDir + "/dbus-1/interfaces"};
}

[[noreturn]] void ThrowSystem(const std::string& what, const std::string& path, int error) {
  throw std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

// The bus reads these folders and files, their owner alone may change them:
// 0755 and 0644 whatever the umask, for a folder or file others could write
// to would let them change the program the bus starts (Exec=).
constexpr mode_t kFolderMode = 0755;
constexpr mode_t kFileMode = 0644;

// Makes dir and its missing parents 0755. The folder the file goes in and
// its parent (".../dbus-1"), when they are the user's own, lose any write
// access for others they have (an earlier registration under umask 000).
void MakeFolders(const std::filesystem::path& dir) {
  std::filesystem::path path;
  for (const std::filesystem::path& part : dir) {
    path /= part;
    if (::mkdir(path.c_str(), kFolderMode) == 0) {
      if (::chmod(path.c_str(), kFolderMode) != 0) ThrowSystem("cannot set the mode of", path.string(), errno);
    } else if (errno != EEXIST) {
      ThrowSystem("cannot create", path.string(), errno);
    }
  }
  struct stat info {};
  if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    throw std::runtime_error("cannot create " + dir.string() + ": not a directory");
  }
  for (const std::filesystem::path& folder : {dir, dir.parent_path()}) {
    if (::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
        (info.st_mode & 022) != 0) {
      if (::chmod(folder.c_str(), info.st_mode & 07755) != 0) {
        ThrowSystem("cannot set the mode of", folder.string(), errno);
      }
    }
  }
}

// Written whole or not at all: a reader never sees half a file. The
// temporary is made afresh (no link or file of anyone else's is written
// through) with its final mode before any byte goes in.
void WriteWhole(const std::string& dir, const std::string& name, const std::string& text) {
  MakeFolders(dir);
  const std::string target = dir + "/" + name;
  const std::string temp = target + ".tmp";
  int fd = -1;
  for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    // A temporary left by a registration that was cut off.
    if (fd < 0 && errno == EEXIST && attempt == 0) ::unlink(temp.c_str());
  }
  if (fd < 0) ThrowSystem("cannot write", temp, errno);
  int error = ::fchmod(fd, kFileMode) == 0 ? 0 : errno;
  for (size_t done = 0; error == 0 && done < text.size();) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0) {
      if (errno != EINTR) error = errno;
      continue;
    }
    done += static_cast<size_t>(written);
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    ThrowSystem("cannot write", target, error);
  }
}

void RemoveFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    throw std::runtime_error("cannot remove " + path + ": " + std::strerror(errno));
}

}  // namespace

Switch FindSwitch(const std::vector<std::string>& arguments) {
  static const std::pair<const char*, Switch> kSwitches[] = {
      {"unregserver", Switch::UnregServer},
      {"regserver", Switch::RegServer},
      {"unregserverperuser", Switch::UnregServerPerUser},
      {"regserverperuser", Switch::RegServerPerUser},
  };
  for (const std::string& token : arguments) {
    if (token.empty() || (token[0] != '-' && token[0] != '/')) continue;
    std::string word = token.substr(1);
    word = Lower(word.substr(0, word.find_first_of(" \t")));
    for (const auto& [name, which] : kSwitches)
      if (word == name) return which;
  }
  return Switch::None;
}

RegistrationPlace MachinePlace(const std::string& programFile) {
  const std::filesystem::path dir = std::filesystem::path(programFile).parent_path();
  std::filesystem::path prefix = dir.parent_path();
  if (dir.filename() == "korvex-ordiva" && prefix.filename() == "lib") prefix = prefix.parent_path();
  return Under((prefix.empty() ? std::filesystem::path("/") : prefix).string() + "/share");
}

RegistrationPlace UserPlace() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && *data) return Under(data);
  const char* home = std::getenv("HOME");
  if (!home || !*home) throw std::runtime_error("neither XDG_DATA_HOME nor HOME is set");
  return Under(std::string(home) + "/.local/share");
}

std::string ServiceFileText(const std::string& programFile) {
  return "[D-BUS Service]\nName=ch.belmor.Korvex\nExec=" + programFile + "\n";
}

void Register(const RegistrationPlace& place, const std::string& programFile) {
  // Registration is where a new workstation first gets its identity; the
  // value itself is not needed here, and a failure only reaches the debug log.
  if (GetMachineId() == kFixedMachineId) KX_LOG(WARN) << "[Register][machine identity not stored]";
  WriteWhole(place.servicesDir, kServiceFileName, ServiceFileText(programFile));
  WriteWhole(place.interfacesDir, kInterfaceFileName, InterfaceXml());
}

void Unregister(const RegistrationPlace& place) {
  RemoveFile(place.servicesDir + "/" + kServiceFileName);
  RemoveFile(place.interfacesDir + "/" + kInterfaceFileName);
}

int RunSwitch(Switch which, const std::string& programFile) {
  try {
    switch (which) {
      case Switch::None: return 0;
      case Switch::UnregServer: Unregister(MachinePlace(programFile)); break;
      case Switch::RegServer: Register(MachinePlace(programFile), programFile); break;
      case Switch::UnregServerPerUser: Unregister(UserPlace()); break;
      case Switch::RegServerPerUser: Register(UserPlace(), programFile); break;
    }
  } catch (const std::exception& e) {
    std::cerr << "korvex: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace belmor::korvex::server
