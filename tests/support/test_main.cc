// Entry point of every test program. Before any test runs it points HOME and
// the XDG folders at a private temporary tree, so no test can touch the real
// home of whoever runs the suite, and removes the tree at the end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const std::string root = belmor::testing::TestRoot();
  const std::pair<const char*, const char*> dirs[] = {
      {"HOME", "home"},
      {"XDG_CONFIG_HOME", "home/.config"},
      {"XDG_DATA_HOME", "home/.local/share"},
      {"XDG_RUNTIME_DIR", "runtime"},
      {"XDG_DOCUMENTS_DIR", "home/Documents"},
      {"KORVEX_MACHINE_STATE_DIR", "machine-state"},
  };
  for (const auto& [name, sub] : dirs) {
    std::string dir = root + "/" + sub;
    std::filesystem::create_directories(dir);
    ::setenv(name, dir.c_str(), 1);
  }
  std::filesystem::permissions(root + "/runtime", std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace);
  // Tests start commands of their own; none of them may reach a real browser or dialog.
  ::unsetenv("KORVEX_BROWSER");
  ::unsetenv("KORVEX_CONFIRM");
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
  int rc = RUN_ALL_TESTS();
  belmor::testing::RemoveAll(root);
  return rc;
}
