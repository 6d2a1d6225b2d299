#include "platform/folders.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "scoped_env.h"
#include "support/temp_dir.h"

namespace belmor::platform {
namespace {

using belmor::testing::ScopedEnv;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;

TEST(RoamingAppDataFolderTest, XdgConfigHomeElseHomeConfig) {
  struct Case {
    std::optional<std::string> xdg_config_home, home;
    std::string expected;
  };
  const Case cases[] = {
      {"/srv/cfg", "/home/anna", "/srv/cfg"},
      {"/srv/cfg/", "/home/anna", "/srv/cfg"},
      {std::nullopt, "/home/anna", "/home/anna/.config"},
      {"", "/home/anna", "/home/anna/.config"},
      {"relative/cfg", "/home/anna", "/home/anna/.config"},
      {std::nullopt, "/home/anna/", "/home/anna/.config"},
      {"/srv/cfg", std::nullopt, "/srv/cfg"},
      {std::nullopt, std::nullopt, ""},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("XDG_CONFIG_HOME=" + c.xdg_config_home.value_or("<unset>") + " HOME=" + c.home.value_or("<unset>"));
    ScopedEnv config("XDG_CONFIG_HOME", c.xdg_config_home);
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(RoamingAppDataFolder(), c.expected);
    EXPECT_EQ(ApplicationDataDirectory(), c.expected.empty() ? "" : c.expected + "/Belmor/korvex-ordiva");
  }
}

// A home whose configuration folder deliberately is not $HOME/.config, so the
// tests see which of the two user-dirs.dirs is read.
class DocumentsFolderTest : public ::testing::Test {
 protected:
  std::string Home() const { return dir_.Sub("home"); }
  std::string UserDirsFile() const { return dir_.Sub("config/user-dirs.dirs"); }

  TempDir dir_;
  ScopedEnv home_{"HOME", dir_.Sub("home")};
  ScopedEnv config_{"XDG_CONFIG_HOME", dir_.Sub("config")};
  ScopedEnv documents_{"XDG_DOCUMENTS_DIR", std::nullopt};
};

TEST_F(DocumentsFolderTest, VariableWinsOverUserDirs) {
  WriteFile(UserDirsFile(), "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
  ScopedEnv documents("XDG_DOCUMENTS_DIR", "/srv/documents");
  EXPECT_EQ(DocumentsFolder(), "/srv/documents");
}

TEST_F(DocumentsFolderTest, UserDirsEntry) {
  struct Case {
    std::string file;
    std::string expected;  // "~" stands for the home folder
  };
  const Case cases[] = {
      {"XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n", "~/Dokumente"},
      {"XDG_DOCUMENTS_DIR=\"/srv/docs\"\n", "/srv/docs"},
      {"XDG_DOCUMENTS_DIR=\"/srv/docs/\"\n", "/srv/docs"},
      {"XDG_DOCUMENTS_DIR=$HOME/Plain\n", "~/Plain"},
      {"# XDG_DOCUMENTS_DIR=\"/commented/out\"\nXDG_DOCUMENTS_DIR=\"$HOME/Real\"\n", "~/Real"},
      {"XDG_DOCUMENTS_DIR=\"$HOME/Real\"\n# XDG_DOCUMENTS_DIR=\"/commented/out\"\n", "~/Real"},
      {"XDG_DESKTOP_DIR=\"$HOME/Desktop\"\r\nXDG_DOCUMENTS_DIR=\"$HOME/Docs\"\r\nXDG_MUSIC_DIR=\"$HOME/M\"\r\n",
       "~/Docs"},
      {"  XDG_DOCUMENTS_DIR=\"$HOME/Indented\"   # trailing note\n", "~/Indented"},
      {"XDG_DOCUMENTS_DIR=\"$HOME/Meine \\\"Akten\\\" & $$\"\n", "~/Meine \"Akten\" & $$"},
      {"XDG_DOCUMENTS_DIR='$HOME/Single'\n", "~/Single"},
      {"XDG_DOCUMENTS_DIR=\"/first\"\nXDG_DOCUMENTS_DIR=\"/second\"\n", "/second"},
      {"XDG_DOCUMENTS_DIR=\"$HOME\"\n", "~"},
      // Entries the product cannot use leave the default in place.
      {"XDG_DOWNLOAD_DIR=\"/srv/downloads\"\n", "~/Documents"},
      {"XDG_DOCUMENTS_DIR_OLD=\"/srv/old\"\n", "~/Documents"},
      {"XDG_DOCUMENTS_DIR=\"Documents\"\n", "~/Documents"},
      {"XDG_DOCUMENTS_DIR=\"$HOMEDIR/x\"\n", "~/Documents"},
      {"XDG_DOCUMENTS_DIR=\"/never/closed\n", "~/Documents"},
      {"", "~/Documents"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    WriteFile(UserDirsFile(), c.file);
    std::string expected = c.expected;
    if (expected.starts_with("~")) expected.replace(0, 1, Home());
    EXPECT_EQ(DocumentsFolder(), expected);
  }
}

TEST_F(DocumentsFolderTest, UserDirsIsTakenFromTheConfigurationFolder) {
  WriteFile(Home() + "/.config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/FromDotConfig\"\n");
  EXPECT_EQ(DocumentsFolder(), Home() + "/Documents");

  ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
  EXPECT_EQ(DocumentsFolder(), Home() + "/FromDotConfig");
}

TEST_F(DocumentsFolderTest, WithoutHomeOnlyAbsoluteEntriesCount) {
  ScopedEnv home("HOME", std::nullopt);
  WriteFile(UserDirsFile(), "XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n");
  EXPECT_EQ(DocumentsFolder(), "");
  WriteFile(UserDirsFile(), "XDG_DOCUMENTS_DIR=\"/srv/docs\"\n");
  EXPECT_EQ(DocumentsFolder(), "/srv/docs");
}

TEST(ProgramFileTest, IsThisTestProgram) {
  std::string file = ProgramFile();
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(file.front(), '/');
  EXPECT_EQ(::access(file.c_str(), X_OK), 0);
  EXPECT_EQ(file, ProgramDirectory() + "/platform_test");
}

}  // namespace
}  // namespace belmor::platform
