#include "platform/identity.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "scoped_env.h"
#include "support/temp_dir.h"

namespace belmor::platform {
namespace {

using belmor::testing::ScopedEnv;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;

TEST(EnvironmentTest, ListsEveryVariableAsNameEqualsValue) {
  const std::string entry = "KORVEX_PLATFORM_PROBE=a=b c";
  {
    ScopedEnv probe("KORVEX_PLATFORM_PROBE", "a=b c");
    std::vector<std::string> environment = Environment();
    EXPECT_EQ(std::count(environment.begin(), environment.end(), entry), 1);
    EXPECT_EQ(EnvironmentVariable("KORVEX_PLATFORM_PROBE"), "a=b c");
  }
  EXPECT_THAT(Environment(), ::testing::Not(::testing::Contains(entry)));
  EXPECT_EQ(EnvironmentVariable("KORVEX_PLATFORM_PROBE"), "");
}

TEST(UserNameTest, UserDatabaseWinsOverVariables) {
  ScopedEnv user("USER", "not-the-user");
  ScopedEnv logname("LOGNAME", "not-the-logname");
  const passwd* entry = ::getpwuid(::geteuid());
  if (entry != nullptr) {
    EXPECT_EQ(UserName(), entry->pw_name);
  } else {
    EXPECT_EQ(UserName(), "not-the-user");
  }
}

// Whether text has the form of a version 4 UUID: "x" is any lower-case hex
// digit, "V" one of the variant digits 8, 9, a, b.
bool IsVersionFourUuid(const std::string& text) {
  constexpr std::string_view kForm = "xxxxxxxx-xxxx-4xxx-Vxxx-xxxxxxxxxxxx";
  if (text.size() != kForm.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    bool ok = kForm[i] == 'x'   ? std::string_view("0123456789abcdef").find(c) != std::string_view::npos
              : kForm[i] == 'V' ? std::string_view("89ab").find(c) != std::string_view::npos
                                : c == kForm[i];
    if (!ok) return false;
  }
  return true;
}

TEST(CreateUuidTest, RandomVersionFourInLowerCase) {
  std::set<std::string> seen;
  std::set<char> variants;
  for (int i = 0; i < 500; ++i) {
    std::string uuid = CreateUuid();
    ASSERT_TRUE(IsVersionFourUuid(uuid)) << uuid;
    seen.insert(uuid);
    variants.insert(uuid[19]);
  }
  EXPECT_EQ(seen.size(), 500u);
  // Only the top two bits of the variant are fixed; the other two stay random.
  EXPECT_EQ(variants.size(), 4u);
}

TEST(MachineStateDirectoryTest, OverrideElseSystemFolder) {
  {
    ScopedEnv dir("KORVEX_MACHINE_STATE_DIR", "/srv/korvex-state");
    EXPECT_EQ(MachineStateDirectory(), "/srv/korvex-state");
  }
  for (const std::optional<std::string>& unset : {std::optional<std::string>(), std::optional<std::string>("")}) {
    ScopedEnv dir("KORVEX_MACHINE_STATE_DIR", unset);
    EXPECT_EQ(MachineStateDirectory(), "/var/lib/belmor/korvex");
  }
}

TEST(ProductNameTest, PrettyNameOfOsRelease) {
  struct Case {
    std::string file;
    std::string expected;
  };
  const Case cases[] = {
      {"NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n",
       "Debian GNU/Linux 12 (bookworm)"},
      {"PRETTY_NAME='Fedora Linux 40 (Workstation Edition)'\n", "Fedora Linux 40 (Workstation Edition)"},
      {"PRETTY_NAME=Alpine\n", "Alpine"},
      {"PRETTY_NAME=\"Say \\\"hi\\\" for \\$5\"\n", "Say \"hi\" for $5"},
      {"# PRETTY_NAME=\"Commented\"\nPRETTY_NAME=\"Real\"\n", "Real"},
      {"NAME=\"Only a name\"\n", ""},
      {"PRETTY_NAME=\"\"\n", ""},
  };
  utsname system{};
  ASSERT_EQ(::uname(&system), 0);
  const std::string from_uname = std::string(system.sysname) + " " + system.release;

  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    WriteFile(dir.Sub("os-release"), c.file);
    EXPECT_EQ(ProductName(dir.Sub("os-release")), c.expected.empty() ? from_uname : c.expected);
  }
  EXPECT_EQ(ProductName(dir.Sub("missing")), from_uname);
}

}  // namespace
}  // namespace belmor::platform
