#include "server/registration.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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

// Written whole or not at all: a reader never sees half a file.
void WriteWhole(const std::string& dir, const std::string& name, const std::string& text) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw std::runtime_error("cannot create " + dir + ": " + ec.message());
  const std::string target = dir + "/" + name;
  const std::string temp = target + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + temp + ": " + std::strerror(errno));
  }
  std::filesystem::rename(temp, target, ec);
  if (ec) {
    std::filesystem::remove(temp);
    throw std::runtime_error("cannot write " + target + ": " + ec.message());
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
