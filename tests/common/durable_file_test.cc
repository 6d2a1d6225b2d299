#include "common/durable_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "common/exception.h"
#include "support/file_mode.h"
#include "support/file_size_limit.h"
#include "support/temp_dir.h"

namespace belmor::common {
namespace {

using belmor::testing::ModeOf;
using belmor::testing::ScopedUmask;
using belmor::testing::FileSizeLimit;
using belmor::testing::ReadFile;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(DurableFileTest, ReplaceLeavesOnlyTheNewContent) {
  TempDir dir;
  const std::string path = dir.Sub("korvex.ini");
  ReplaceFileAtomically(path, "first\n");
  ReplaceFileAtomically(path, "second\n");
  EXPECT_EQ(ReadFile(path), "second\n");
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"korvex.ini"});
}

TEST(DurableFileTest, FailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
  TempDir dir;
  const std::string path = dir.Sub("korvex.ini");
  WriteFile(path, "old content\n");
  {
    FileSizeLimit limit(16);
    EXPECT_THROW(ReplaceFileAtomically(path, std::string(4096, 'x')), FileException);
    EXPECT_THROW(WriteDurableTemporary(dir.path(), "t-", std::string(4096, 'x')), FileException);
  }
  EXPECT_EQ(ReadFile(path), "old content\n");
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"korvex.ini"});
}

// A process that is gone: a child that has ended and been reaped.
pid_t EndedProcess() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

// A kill between writing the temporary and renaming it leaves the temporary;
// the next replace of that file removes it, but never one a live process may
// still rename, nor one of another file.
TEST(DurableFileTest, ReplaceRemovesTemporariesOfItsFileLeftByEndedProcesses) {
  TempDir dir;
  const std::string ended = std::to_string(EndedProcess());
  const std::string alive = std::to_string(::getpid());
  const std::string leftByKill = ".kx-tmp-korvex.log-" + ended + "-3";
  const std::string beingWritten = ".kx-tmp-korvex.log-" + alive + "-999";
  const std::string ofAnotherFile = ".kx-tmp-korvex.log-" + ended + "-bak-1";
  const std::string ofAnotherName = ".kx-tmp-korvex.pending-" + ended + "-1";
  for (const std::string& name : {leftByKill, beingWritten, ofAnotherFile, ofAnotherName}) {
    WriteFile(dir.Sub(name), "partial");
  }

  ReplaceFileAtomically(dir.Sub("korvex.log"), "kxdl-1.1\r\n");
  std::vector<std::string> expected = {beingWritten, ofAnotherFile, ofAnotherName, "korvex.log"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Names(dir.path()), expected);

  // A log that is only appended to asks for it at its start.
  WriteFile(dir.Sub(leftByKill), "");
  RemoveStaleReplacements(dir.Sub("korvex.log"));
  EXPECT_EQ(Names(dir.path()), expected);
}

TEST(DurableFileTest, RenameNoReplaceNeverClobbers) {
  TempDir dir;
  std::string temp = WriteDurableTemporary(dir.path(), kTemporaryPrefix, "new");
  EXPECT_EQ(ReadFile(temp), "new");
  WriteFile(dir.Sub("x.xml"), "existing");
  EXPECT_FALSE(RenameNoReplace(temp, dir.Sub("x.xml")));
  EXPECT_EQ(ReadFile(dir.Sub("x.xml")), "existing");
  EXPECT_TRUE(RenameNoReplace(temp, dir.Sub("x.1.xml")));
  EXPECT_EQ(ReadFile(dir.Sub("x.1.xml")), "new");
  EXPECT_FALSE(std::filesystem::exists(temp));
  EXPECT_THROW(WriteDurableTemporary(dir.Sub("missing"), "t-", "x"), FileNotFoundException);
}

TEST(DurableFileTest, FilesGetExactlyTheirModeWhateverTheUmask) {
  const struct {
    mode_t umask;
    std::optional<mode_t> mode;  // none: the default
    mode_t expected;
  } cases[] = {
      // A permissive umask must not open patient data to other users.
      {0000, std::nullopt, 0600},
      {0022, std::nullopt, 0600},
      // A strict one must not take from a mode the caller asked for.
      {0277, std::nullopt, 0600},
      {0277, 0644, 0644},
      {0077, 0640, 0640},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "umask " << std::oct << c.umask << " mode " << c.mode.value_or(0));
    TempDir dir;
    ScopedUmask umask(c.umask);
    const std::string temp = c.mode ? WriteDurableTemporary(dir.path(), kTemporaryPrefix, "x", *c.mode)
                                    : WriteDurableTemporary(dir.path(), kTemporaryPrefix, "x");
    EXPECT_EQ(ModeOf(temp), c.expected);
    const std::string replaced = dir.Sub("korvex.ini");
    WriteFile(replaced, "old");
    if (c.mode) {
      ReplaceFileAtomically(replaced, "new", *c.mode);
    } else {
      ReplaceFileAtomically(replaced, "new");
    }
    EXPECT_EQ(ModeOf(replaced), c.expected);
    EXPECT_EQ(ReadFile(replaced), "new");
  }
}

}  // namespace
}  // namespace belmor::common
