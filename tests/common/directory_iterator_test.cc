#include "common/directory_iterator.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>

#include "common/file.h"
#include "common/path.h"
#include "support/temp_dir.h"

namespace belmor::common {
namespace {

using belmor::testing::TempDir;
using belmor::testing::WriteFile;

TEST(DirectoryIteratorTest, ListsEveryEntryOnce) {
  TempDir tmp;
  WriteFile(tmp.Sub("a.xml"), "a");
  WriteFile(tmp.Sub(".hidden"), "h");
  WriteFile(tmp.Sub("sub/inner.xml"), "i");

  // Given with a trailing separator, which must not double up in the entries.
  DirectoryIterator it(File(tmp.path() + "/"));
  EXPECT_EQ(it.Name(), "");
  std::map<std::string, bool> seen;  // name -> is a directory
  while (it.Next()) {
    EXPECT_EQ(it.CurrentPath().ToString(), tmp.path() + "/" + it.Name());
    EXPECT_EQ(it.CurrentPath().FileName(), it.Name());
    EXPECT_EQ(it.CurrentFile().PathString(), tmp.path() + "/" + it.Name());
    EXPECT_TRUE(seen.emplace(it.Name(), it.CurrentFile().IsDirectory()).second) << "twice: " << it.Name();
  }
  EXPECT_EQ(seen, (std::map<std::string, bool>{{".hidden", false}, {"a.xml", false}, {"sub", true}}));
  EXPECT_EQ(it.Name(), "");
  EXPECT_FALSE(it.Next());
}

TEST(DirectoryIteratorTest, NothingToListIsNotAnError) {
  TempDir tmp;
  ::mkdir(tmp.Sub("empty").c_str(), 0777);
  WriteFile(tmp.Sub("file.txt"), "");
  for (const std::string& path : {tmp.Sub("empty"), tmp.Sub("missing"), tmp.Sub("file.txt"), std::string()}) {
    SCOPED_TRACE(path);
    DirectoryIterator it{File(path)};
    EXPECT_FALSE(it.Next());
    EXPECT_EQ(it.Name(), "");
    EXPECT_FALSE(it.Next());
  }
}

}  // namespace
}  // namespace belmor::common
