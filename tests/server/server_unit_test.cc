// The parts of the server that need no bus: the command line, the report
// mapping and the registration files.

#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/scoped_env.h"
#include "common/encoding.h"
#include "config/config.h"
#include "server/bus_error.h"
#include "server/ckorvex.h"
#include "server/korvex_server.h"
#include "server/registration.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

#include <sys/wait.h>

namespace belmor::korvex::server {
namespace {

namespace fs = std::filesystem;
using belmor::testing::ReadFile;
using belmor::testing::ScopedEnv;
using belmor::testing::TempDir;
using ::testing::HasSubstr;

TEST(SwitchTest, TheFirstTokenNamingASwitchDecides) {
  const struct {
    std::vector<std::string> arguments;
    Switch expected;
  } cases[] = {
      {{"/RegServer"}, Switch::RegServer},
      {{"-regserver"}, Switch::RegServer},
      {{"/UNREGSERVER"}, Switch::UnregServer},
      {{"-RegServerPerUser"}, Switch::RegServerPerUser},
      {{"/unregserverperuser"}, Switch::UnregServerPerUser},
      {{"/RegServer extra words"}, Switch::RegServer},
      {{"/RegServer\tx"}, Switch::RegServer},
      {{"/RegServerX"}, Switch::None},
      {{"RegServer"}, Switch::None},
      {{"--RegServer"}, Switch::None},
      {{"/Embedding", "-UnregServer", "/RegServer"}, Switch::UnregServer},
      {{"--help"}, Switch::None},
      {{}, Switch::None},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& a : c.arguments) line += "[" + a + "]";
    EXPECT_EQ(FindSwitch(c.arguments), c.expected) << line;
  }
}

TEST(ReportMappingTest, UnknownValuesBecomeTheDefaultsAndTextsUtf8) {
  const struct {
    int32_t level, mclass, origin;
    int32_t level_out, mclass_out, origin_out;
  } cases[] = {
      {0, 1, 1, 0, 1, 1}, {1, 2, 8, 1, 2, 8}, {2, 3, 5, 2, 3, 5}, {4, 0, 0, 4, 0, 0},
      {3, 0, 0, 3, 0, 0}, {5, 4, 9, 3, 0, 0}, {-1, -1, -1, 3, 0, 0},
  };
  for (const auto& c : cases) {
    const KorvexEvent e = MapReport(c.level, c.mclass, c.origin, 17, "f.xml", "text");
    EXPECT_EQ(e.level, c.level_out) << c.level;
    EXPECT_EQ(e.mclass, c.mclass_out) << c.mclass;
    EXPECT_EQ(e.origin, c.origin_out) << c.origin;
    EXPECT_EQ(e.code, 17);
  }
  const KorvexEvent latin1 = MapReport(1, 0, 0, 0, "R\xFC" "ck.xml", "Pr\xFC" "fung");
  const KorvexEvent utf8 = MapReport(1, 0, 0, 0, "R\xC3\xBC" "ck.xml", "Pr\xC3\xBC" "fung");
  EXPECT_EQ(latin1.message, "Pr\xC3\xBC" "fung");
  EXPECT_EQ(latin1.message, utf8.message);
  EXPECT_EQ(latin1.fileName, utf8.fileName);
}

// Every report goes to every object: its texts leave the server at most as
// long as a session-log line, cut between characters, never inside one.
TEST(ReportMappingTest, TextsLeaveTheServerAtMostALineLongAndWholeCharacters) {
  const std::string umlaut = "\xC3\xBC";
  const struct {
    const char* what;
    std::string text;
    size_t length;
  } cases[] = {
      {"exactly a line", std::string(kMaxEventText, 'a'), kMaxEventText},
      {"ten megabytes", std::string(10 * 1024 * 1024, 'a'), kMaxEventText},
      {"a character across the end", std::string(kMaxEventText - 1, 'a') + umlaut, kMaxEventText - 1},
      {"Latin-1 that grows as UTF-8", std::string(1000, '\xFC'), kMaxEventText - 1},
      {"short", "kurz", 4},
  };
  for (const auto& c : cases) {
    const KorvexEvent e = MapReport(3, 2, 0, 31, c.text, c.text);
    EXPECT_EQ(e.message.size(), c.length) << c.what;
    EXPECT_EQ(e.fileName.size(), c.length) << c.what;
    EXPECT_TRUE(common::IsUtf8(e.message)) << c.what;
  }
  EXPECT_EQ(MapReport(1, 0, 0, 0, "", std::string(2000, '\xFC')).message.substr(0, 4), umlaut + umlaut);
}

TEST(BusErrorTest, NameAndMessageCarryTheResult) {
  try {
    ThrowBusError(BusFailure::Busy, "another run is active");
  } catch (const sdbus::Error& e) {
    EXPECT_EQ(e.getName(), "ch.belmor.Korvex.Error.Busy");
    EXPECT_EQ(e.getMessage(), "0x800700AA: another run is active");
  }
  EXPECT_EQ(HresultText(BusFailure::ClassNotAvailable), "0x80040111");
  EXPECT_EQ(BusErrorName(BusFailure::InvalidArg), "ch.belmor.Korvex.Error.InvalidArg");
}

TEST(TrustCenterNameTest, OldLabelAndNewLabelBothSelect) {
  auto make = [](int32_t id, std::string label, std::string labelNEW) {
    auto center = std::make_shared<TrustCenter>();
    center->id = id;
    center->label = std::move(label);
    center->labelNEW = std::move(labelNEW);
    return center;
  };
  const std::vector<std::shared_ptr<TrustCenter>> centers = {
      make(1, "TC Nord", "TrustCenter Nord AG"), make(2, "TC S\xFC" "d", "TrustCenter S\xFC" "d AG"),
      make(3, "TC Nord", "Duplicate of the old label")};
  const struct {
    const char* name;
    int32_t id;  // 0: none
  } cases[] = {
      {"TC Nord", 1},                         // the old label, first match wins
      {"TrustCenter Nord AG", 1},             // the new label
      {"TC S\xC3\xBC" "d", 2},                  // UTF-8 against a Latin-1 label
      {"TrustCenter S\xFC" "d AG", 2},          // Latin-1 as it is stored
      {"Duplicate of the old label", 3},
      {"TC", 0}, {"tc nord", 0}, {"", 0},     // no prefixes, no case folding
  };
  for (const auto& c : cases) {
    const std::shared_ptr<TrustCenter> found = FindCenter(centers, c.name);
    EXPECT_EQ(found ? found->id : 0, c.id) << c.name;
  }
}

TEST(EsrTest, OnlyAFirstByteFrom1To99IsANumber) {
  const struct {
    std::string esr;
    std::string expected;
  } cases[] = {
      {"01-12345-6", "01-12345-6"}, {"c123", "c123"},  // "c" is byte 99
      {"d123", ""},                                    // byte 100
      {"\x80" "12", ""}, {"\xFC" "12", ""},            // negative as a signed byte
      {"", ""}, {std::string("\0" "12", 3), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadableEsr(c.esr), c.expected) << c.esr;
}

int RunProgram(const std::string& program, const std::vector<std::string>& arguments, const TempDir& dir,
               std::string* output) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const pid_t pid = belmor::testing::SpawnWithOutput(argv, dir.Sub("out.txt"));
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  *output = ReadFile(dir.Sub("out.txt"));
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// The program copied into an installed layout of a temporary prefix, so that
// machine-wide registration writes inside the test's own tree.
TEST(RegistrationTest, SwitchesWriteAndRemoveExactlyTheirOwnFiles) {
  TempDir prefix;
  const std::string program = prefix.Sub("lib/korvex-ordiva/korvex");
  fs::create_directories(prefix.Sub("lib/korvex-ordiva"));
  fs::copy_file(KORVEX_SERVER_PROGRAM, program);
  fs::permissions(program, fs::perms::owner_all);
  TempDir data;
  ScopedEnv dataHome("XDG_DATA_HOME", data.path());
  TempDir out;
  std::string output;

  const std::string machineService = prefix.Sub("share/dbus-1/services/ch.belmor.Korvex.service");
  const std::string machineXml = prefix.Sub("share/dbus-1/interfaces/ch.belmor.Korvex.xml");
  const std::string userService = data.Sub("dbus-1/services/ch.belmor.Korvex.service");
  const std::string userXml = data.Sub("dbus-1/interfaces/ch.belmor.Korvex.xml");

  ASSERT_EQ(RunProgram(program, {"-regserver"}, out, &output), 0) << output;
  ASSERT_EQ(RunProgram(program, {"/REGSERVERPERUSER"}, out, &output), 0) << output;
  for (const std::string& service : {machineService, userService}) {
    EXPECT_EQ(ReadFile(service), "[D-BUS Service]\nName=ch.belmor.Korvex\nExec=" + program + "\n");
  }
  EXPECT_EQ(ReadFile(machineXml), InterfaceXml());
  EXPECT_THAT(ReadFile(userXml), HasSubstr("<interface name=\"ch.belmor.Korvex.IKorvex\">"));
  // Registration made the machine identity.
  EXPECT_TRUE(fs::exists(std::string(std::getenv("KORVEX_MACHINE_STATE_DIR")) + "/machineID"));

  ASSERT_EQ(RunProgram(program, {"/UnregServerPerUser"}, out, &output), 0) << output;
  EXPECT_FALSE(fs::exists(userService));
  EXPECT_FALSE(fs::exists(userXml));
  EXPECT_TRUE(fs::exists(machineService));
  EXPECT_TRUE(fs::exists(machineXml));
  // The directories stay: other services may have files there.
  EXPECT_TRUE(fs::is_directory(data.Sub("dbus-1/services")));

  ASSERT_EQ(RunProgram(program, {"/unregserver"}, out, &output), 0) << output;
  EXPECT_FALSE(fs::exists(machineService));
  EXPECT_FALSE(fs::exists(machineXml));
  // Removing what is not there is no failure.
  EXPECT_EQ(RunProgram(program, {"/UnregServer"}, out, &output), 0) << output;
}

TEST(RegistrationTest, AFailureEndsWithAReasonOnOneLine) {
  TempDir data;
  TempDir out;
  // A file where the services directory must be.
  belmor::testing::WriteFile(data.Sub("dbus-1/services"), "in the way");
  ScopedEnv dataHome("XDG_DATA_HOME", data.path());
  std::string output;
  EXPECT_EQ(RunProgram(KORVEX_SERVER_PROGRAM, {"/RegServerPerUser"}, out, &output), 1);
  EXPECT_THAT(output, HasSubstr("korvex: "));
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
}

TEST(CommandLineTest, HelpAndVersion) {
  TempDir out;
  std::string output;
  EXPECT_EQ(RunProgram(KORVEX_SERVER_PROGRAM, {"--help"}, out, &output), 0);
  EXPECT_THAT(output, HasSubstr("/RegServerPerUser"));
  EXPECT_EQ(RunProgram(KORVEX_SERVER_PROGRAM, {"--version"}, out, &output), 0);
  EXPECT_THAT(output, HasSubstr("5.0.3"));
}

}  // namespace
}  // namespace belmor::korvex::server
