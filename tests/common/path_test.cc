#include "common/path.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace belmor::common {
namespace {

using Dirs = std::vector<std::string>;

TEST(PathTest, ParsesAndRenders) {
  struct Case {
    const char* text;
    bool as_directory;
    const char* node;
    const char* device;
    Dirs directories;
    const char* name;
    bool absolute;
    const char* rendered;
  };
  const Case cases[] = {
      {"", false, "", "", {}, "", false, ""},
      {"file.txt", false, "", "", {}, "file.txt", false, "file.txt"},
      {"C:\\a\\..\\b\\c.txt", false, "", "C", {"b"}, "c.txt", true, "C:/b/c.txt"},
      {"c:/", false, "", "c", {}, "", true, "c:/"},
      {"a/./b/", true, "", "", {"a", "b"}, "", false, "a/b/"},
      {"a/./b", true, "", "", {"a", "b"}, "", false, "a/b/"},
      {"..\\x", true, "", "", {"..", "x"}, "", false, "../x/"},
      {"../../x/../y", false, "", "", {"..", ".."}, "y", false, "../../y"},
      {"a//b\\\\c", false, "", "", {"a", "b"}, "c", false, "a/b/c"},
      {"/../x/..", false, "", "", {"x"}, "..", true, "/x/.."},
      {"/x/../../y/", false, "", "", {"y"}, "", true, "/y/"},
      {"/", false, "", "", {}, "", true, "/"},
      {"\\\\node\\share", false, "node", "", {"share"}, "", true, "//node/share/"},
      {"//node/share/dir/f.xml", false, "node", "", {"share", "dir"}, "f.xml", true, "//node/share/dir/f.xml"},
      {"\\\\node", false, "node", "", {}, "", true, "//node/"},
      // The share went, so the name takes its place.
      {"\\\\node\\share\\..\\..\\f", false, "node", "", {"f"}, "", true, "//node/f/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\" as_directory=" + (c.as_directory ? "true" : "false"));
    const Path p(c.text, c.as_directory);
    EXPECT_EQ(p.Node(), c.node);
    EXPECT_EQ(p.Device(), c.device);
    EXPECT_EQ(p.Directories(), c.directories);
    EXPECT_EQ(p.FileName(), c.name);
    EXPECT_EQ(p.IsAbsolute(), c.absolute);
    EXPECT_EQ(p.ToString(), c.rendered);
    // Rendering must parse back to the same value.
    EXPECT_EQ(Path(p.ToString()), p);
  }
}

TEST(PathTest, MalformedDriveThrows) {
  for (const char* text : {"C:foo", "C:", "1:\\x", "/:x", "\\:"}) {
    SCOPED_TRACE(text);
    try {
      Path p(text);
      ADD_FAILURE() << "parsed as " << p.ToString();
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
    }
  }
  // A colon anywhere but second is an ordinary character.
  EXPECT_EQ(Path(":x/a:b").ToString(), ":x/a:b");
}

TEST(PathTest, DirectoryStringAndEmptiness) {
  const Path p("C:\\dir\\sub\\file.txt");
  EXPECT_EQ(p.DirectoryString(), "C:/dir/sub/");
  EXPECT_EQ(p.Depth(), 2);
  EXPECT_TRUE(Path("").IsEmpty());
  EXPECT_FALSE(Path("./.").IsEmpty());  // "." as a name is still a name
  EXPECT_TRUE(Path("./", true).IsEmpty());
  EXPECT_FALSE(Path("/").IsEmpty());
}

TEST(PathTest, PushDirectoryResolvesDots) {
  Path p("/a/");
  p.PushDirectory("b");
  p.PushDirectory(".");
  p.PushDirectory("");
  EXPECT_EQ(p.DirectoryString(), "/a/b/");
  p.PushDirectory("..");
  p.PushDirectory("..");
  p.PushDirectory("..");
  EXPECT_EQ(p.DirectoryString(), "/");

  Path relative;
  relative.PushDirectory("..");
  relative.PushDirectory("..");
  relative.PushDirectory("x");
  EXPECT_EQ(relative.ToString(), "../../x/");
}

TEST(PathTest, MakeDirectoryAndMakeParent) {
  struct Case {
    const char* text;
    const char* directory;  // after MakeDirectory()
    const char* parent;     // after MakeParent() on the original
  };
  const Case cases[] = {
      {"/a/b/c.txt", "/a/b/c.txt/", "/a/b/"},
      {"/a/b/", "/a/b/", "/a/"},
      {"/", "/", "/"},
      {"C:\\", "C:/", "C:/"},
      {"a/", "a/", ""},
      {"", "", "../"},
      {"../", "../", "../../"},
      {"a/..", "", "a/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Path directory(c.text);
    directory.MakeDirectory();
    EXPECT_EQ(directory.ToString(), c.directory);
    EXPECT_TRUE(directory.FileName().empty());
    Path parent(c.text);
    parent.MakeParent();
    EXPECT_EQ(parent.ToString(), c.parent);
  }
}

TEST(PathTest, NameParts) {
  struct Case {
    const char* name;
    const char* base;
    const char* extension;
    const char* new_extension;
    const char* renamed;
  };
  const Case cases[] = {
      {"invoice.xml", "invoice", "xml", "bak", "invoice.bak"},
      {"archive.tar.gz", "archive.tar", "gz", "zip", "archive.tar.zip"},
      {"README", "README", "", "txt", "README.txt"},
      {"invoice.xml", "invoice", "xml", "", "invoice"},
      {"trailing.", "trailing", "", "x", "trailing.x"},
      {".hidden", "", "hidden", "y", ".y"},
      {"", "", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Path p("dir/");
    p.SetFileName(c.name);
    EXPECT_EQ(p.BaseName(), c.base);
    EXPECT_EQ(p.Extension(), c.extension);
    p.SetExtension(c.new_extension);
    EXPECT_EQ(p.FileName(), c.renamed);
    EXPECT_EQ(p.DirectoryString(), "dir/");
  }
}

TEST(PathTest, AppendContinuesAsDirectory) {
  struct Case {
    const char* base;
    const char* other;
    const char* joined;
  };
  const Case cases[] = {
      {"/work/", "in.xml", "/work/in.xml"},
      {"/work", "sub/in.xml", "/work/sub/in.xml"},
      {"/work/input/", "../valid/", "/work/valid/"},
      {"", "x", "x"},
      {"/work/", "/etc/x", "/etc/x"},
      {"/work/", "", "/work/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.base) + " + " + c.other);
    Path p(c.base);
    EXPECT_EQ(p.Append(c.other).ToString(), c.joined);
  }
}

}  // namespace
}  // namespace belmor::common
