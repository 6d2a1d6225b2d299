// The files registration writes for the bus: the activation file names the
// program the bus starts, so nobody but its owner may change it or its folders.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/scoped_env.h"
#include "support/child_process.h"
#include "support/file_mode.h"
#include "support/temp_dir.h"

namespace belmor::korvex::server {
namespace {

namespace fs = std::filesystem;
using belmor::testing::ModeOf;
using belmor::testing::ReadFile;
using belmor::testing::ScopedEnv;
using belmor::testing::ScopedUmask;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;

// Runs program with one switch under the given umask, which the child
// inherits; answers its exit status.
int RunUnderUmask(const std::string& program, const std::string& switchWord, mode_t mask, const TempDir& out) {
  pid_t pid;
  {
    ScopedUmask umask(mask);
    pid = belmor::testing::SpawnWithOutput({program, switchWord}, out.Sub("out.txt"));
  }
  EXPECT_GT(pid, 0);
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << ReadFile(out.Sub("out.txt"));
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

struct Layout {
  std::string switchWord;
  std::string program;
  std::string dataDir;  // what holds dbus-1/
};

// Machine-wide into a temporary prefix (the program copied into its
// installed place there), per user into a temporary XDG_DATA_HOME.
class RegistrationModes : public ::testing::Test {
 protected:
  RegistrationModes() {
    fs::create_directories(prefix_.Sub("lib/korvex-ordiva"));
    fs::copy_file(KORVEX_SERVER_PROGRAM, prefix_.Sub("lib/korvex-ordiva/korvex"));
    fs::permissions(prefix_.Sub("lib/korvex-ordiva/korvex"), fs::perms::owner_all);
  }

  std::vector<Layout> Layouts() const {
    return {{"/RegServer", prefix_.Sub("lib/korvex-ordiva/korvex"), prefix_.Sub("share")},
            {"/RegServerPerUser", KORVEX_SERVER_PROGRAM, data_.Sub("share")}};
  }

  TempDir prefix_;
  TempDir data_;
  ScopedEnv dataHome_{"XDG_DATA_HOME", data_.Sub("share")};
  TempDir out_;
};

TEST_F(RegistrationModes, FilesAre0644AndFolders0755WhateverTheUmask) {
  for (const Layout& layout : Layouts()) {
    for (mode_t mask : {000, 002, 077}) {
      SCOPED_TRACE(layout.switchWord + " under umask " + std::to_string(mask));
      fs::remove_all(layout.dataDir);
      ASSERT_EQ(RunUnderUmask(layout.program, layout.switchWord, mask, out_), 0);
      for (const char* folder : {"", "/dbus-1", "/dbus-1/services", "/dbus-1/interfaces"}) {
        EXPECT_EQ(ModeOf(layout.dataDir + folder), 0755u) << folder;
      }
      for (const char* file : {"/dbus-1/services/ch.belmor.Korvex.service", "/dbus-1/interfaces/ch.belmor.Korvex.xml"}) {
        EXPECT_EQ(ModeOf(layout.dataDir + file), 0644u) << file;
      }
    }
  }
}

// What an earlier registration under umask 000 left behind is closed again,
// and a link planted where the temporary goes is not written through.
TEST_F(RegistrationModes, RegisteringAgainClosesWhatOthersCouldChange) {
  for (const Layout& layout : Layouts()) {
    SCOPED_TRACE(layout.switchWord);
    const std::string services = layout.dataDir + "/dbus-1/services";
    const std::string service = services + "/ch.belmor.Korvex.service";
    WriteFile(service, "[D-BUS Service]\nName=ch.belmor.Korvex\nExec=/tmp/not-the-server\n");
    ASSERT_EQ(::chmod(service.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(services.c_str(), 0777), 0);
    ASSERT_EQ(::chmod((layout.dataDir + "/dbus-1").c_str(), 0777), 0);
    const std::string elsewhere = out_.Sub("elsewhere");
    WriteFile(elsewhere, "not to be written");
    fs::create_symlink(elsewhere, service + ".tmp");

    ASSERT_EQ(RunUnderUmask(layout.program, layout.switchWord, 000, out_), 0);
    EXPECT_EQ(ReadFile(service), "[D-BUS Service]\nName=ch.belmor.Korvex\nExec=" + layout.program + "\n");
    EXPECT_EQ(ModeOf(service), 0644u);
    EXPECT_EQ(ModeOf(services), 0755u);
    EXPECT_EQ(ModeOf(layout.dataDir + "/dbus-1"), 0755u);
    EXPECT_EQ(ReadFile(elsewhere), "not to be written");
    EXPECT_FALSE(fs::exists(fs::symlink_status(service + ".tmp")));
  }
}

}  // namespace
}  // namespace belmor::korvex::server
