#include "bench_practice.h"

#include <stdlib.h>

#include <filesystem>
#include <utility>

#include "common/path.h"
#include "logging/report.h"
#include "support/temp_dir.h"

namespace belmor::korvex::bench {

namespace fs = std::filesystem;

std::string SourceDir() { return KORVEX_SOURCE_DIR; }

bool ParseOptions(int argc, char** argv, std::map<std::string, std::string>& options, bool& keep) {
  keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--keep") {
      keep = true;
    } else if (arg.rfind("--", 0) == 0 && i + 1 < argc) {
      options[arg.substr(2)] = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

void CountingSink::Log(int32_t level, int32_t, int32_t origin, int32_t code, const std::string& fileName,
                       const std::string& message) {
  if (level < mlWarning) return;
  ++problems;
  if (shown.size() < 8) {
    shown.push_back("level " + std::to_string(level) + " origin " + std::to_string(origin) + " code " +
                    std::to_string(code) + " " + fileName + ": " + message);
  }
}

void BenchFactory::Configure(Korvex& engine) {
  engine.SetResourcePath(common::Path(SourceDir() + "/testing/trustcenter/config/", true));
}

void PrivatePractice(const std::string& dir, int trustCenterPort, int loginPort, const std::string& caFile) {
  const std::string home = dir + "/home";
  const std::pair<const char*, std::string> dirs[] = {
      {"HOME", home},
      {"XDG_CONFIG_HOME", home + "/.config"},
      {"XDG_DATA_HOME", home + "/.local/share"},
      {"XDG_DOCUMENTS_DIR", home + "/Documents"},
      {"XDG_RUNTIME_DIR", dir + "/run"},
      {"KORVEX_MACHINE_STATE_DIR", dir + "/machine"},
  };
  for (const auto& [name, path] : dirs) {
    fs::create_directories(path);
    ::setenv(name, path.c_str(), 1);
  }
  fs::permissions(dir + "/run", fs::perms::owner_all, fs::perm_options::replace);
  ::setenv("KORVEX_BROWSER", (SourceDir() + "/testing/trustcenter/browser.py").c_str(), 1);
  ::setenv("KORVEX_CONFIRM", "false", 1);
  ::setenv("LANG", "de_CH.UTF-8", 1);
  ::unsetenv("LC_ALL");
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");

  const std::string trustCenter = "http://localhost:" + std::to_string(trustCenterPort);
  const std::string login = "http://localhost:" + std::to_string(loginPort);
  const std::string settings = home + "/.config/Belmor/korvex-ordiva";
  fs::create_directories(settings);
  fs::create_directories(dir + "/Rechnungen");
  fs::create_directories(dir + "/Antworten");
  testing::WriteFile(settings + "/korvex.ini", "[globals]\n"
                                               "workDir=" + dir + "/work/\n"
                                               "inputDir=" + dir + "/Rechnungen/\n"
                                               "outputDir=" + dir + "/Antworten/\n"
                                               "zsrDownFilter=*\n"
                                               "trustCenterID=1\n"
                                               "downUrl=" + trustCenter + "/download\n"
                                               "certUrl=" + trustCenter + "/certificates\n"
                                               "caFile=" + caFile + "\n"
                                               "hinAuthUrl=" + login + "\n"
                                               "hinTokenUrl=https://oauth2.localhost:" +
                                               std::to_string(trustCenterPort) + "\n"
                                               "hinStartPage=" + login + "/start\n");
}

}  // namespace belmor::korvex::bench
