#include "common/durable_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/exception.h"
#include "support/file_size_limit.h"
#include "support/temp_dir.h"

namespace belmor::common {
namespace {

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

}  // namespace
}  // namespace belmor::common
