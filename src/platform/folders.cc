#include "platform/folders.h"

#include <unistd.h>

#include <vector>

#include "platform/assignment_file.h"
#include "platform/identity.h"

namespace belmor::platform {

namespace {

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The base-directory rules make empty and relative values count as unset.
std::string AbsoluteVariable(const char* name) {
  std::string value = EnvironmentVariable(name);
  if (value.empty() || value.front() != '/') return std::string();
  return WithoutTrailingSlashes(std::move(value));
}

std::string HomeFolder() { return WithoutTrailingSlashes(EnvironmentVariable("HOME")); }

// The entry of user-dirs.dirs may only be "$HOME/..." or an absolute path;
// anything else is ignored, as xdg-user-dirs itself does.
std::string DocumentsFromUserDirs(const std::string& home) {
  std::string config = RoamingAppDataFolder();
  if (config.empty()) return std::string();
  std::optional<std::string> value = ReadAssignment(config + "/user-dirs.dirs", "XDG_DOCUMENTS_DIR");
  if (!value) return std::string();
  constexpr std::string_view kHome = "$HOME";
  if (value->starts_with(kHome) && (value->size() == kHome.size() || (*value)[kHome.size()] == '/')) {
    if (home.empty()) return std::string();
    value->replace(0, kHome.size(), home);
  }
  if (value->empty() || value->front() != '/') return std::string();
  return WithoutTrailingSlashes(std::move(*value));
}

}  // namespace

std::string RoamingAppDataFolder() {
  std::string config = AbsoluteVariable("XDG_CONFIG_HOME");
  if (!config.empty()) return config;
  std::string home = HomeFolder();
  return home.empty() ? std::string() : home + "/.config";
}

std::string ApplicationDataDirectory() {
  std::string base = RoamingAppDataFolder();
  return base.empty() ? std::string() : base + "/Belmor/korvex-ordiva";
}

std::string DocumentsFolder() {
  std::string documents = AbsoluteVariable("XDG_DOCUMENTS_DIR");
  if (!documents.empty()) return documents;
  std::string home = HomeFolder();
  documents = DocumentsFromUserDirs(home);
  if (!documents.empty()) return documents;
  return home.empty() ? std::string() : home + "/Documents";
}

std::string ProgramFile() {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return std::string();
    // readlink truncates silently; only a result shorter than the buffer is whole.
    if (static_cast<size_t>(length) < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

std::string ProgramDirectory() {
  std::string file = ProgramFile();
  size_t slash = file.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : file.substr(0, slash);
}

}  // namespace belmor::platform
