#include "common/file.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "common/exception.h"
#include "common/path.h"
#include "support/file_mode.h"
#include "support/temp_dir.h"

namespace belmor::common {
namespace {

using belmor::testing::ModeOf;
using belmor::testing::ScopedUmask;
using belmor::testing::ReadFile;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;

// A temporary directory holding one regular file "file.txt" and one empty
// directory "dir".
class FileTest : public ::testing::Test {
 protected:
  FileTest() {
    WriteFile(Sub("file.txt"), "content");
    ::mkdir(Sub("dir").c_str(), 0777);
  }

  std::string Sub(const std::string& relative) const { return tmp_.Sub(relative); }

  TempDir tmp_;
};

// Runs op, expecting it to raise the exception class E with the given code and
// message.
template <typename E, typename Op>
void ExpectRaises(Op op, int code, const std::string& message) {
  try {
    op();
    ADD_FAILURE() << "nothing raised";
  } catch (const E& e) {
    EXPECT_EQ(e.Code(), code) << e.Text();
    EXPECT_EQ(e.Message(), message);
  } catch (const Exception& e) {
    ADD_FAILURE() << "raised " << e.TypeName() << ": " << e.Text();
  }
}

TEST(FileImplTest, DropsOneTrailingSeparator) {
  const std::pair<const char*, const char*> cases[] = {
      {"x/dir/", "x/dir"}, {"x\\dir\\", "x\\dir"}, {"x/dir", "x/dir"}, {"x//", "x/"}, {"/", "/"},
      {"\\", "\\"},        {"C:\\", "C:\\"},        {"C:/", "C:/"},     {"C:\\dir\\", "C:\\dir"}, {"", ""},
  };
  for (const auto& [given, kept] : cases) {
    EXPECT_EQ(File(given).PathString(), kept) << given;
  }
  EXPECT_EQ(File(Path("/a/b/", true)).PathString(), "/a/b");
}

TEST(FileErrorTest, MapsErrnoToTheExceptionTree) {
  struct Case {
    int error;
    const char* type;
    const char* message;
  };
  const Case cases[] = {
      {ENOENT, "FileNotFoundException", "/p"},
      {ENOTDIR, "FileNotFoundException", "/p"},
      {ENAMETOOLONG, "FileNotFoundException", "/p"},
      {ELOOP, "FileNotFoundException", "/p"},
      {EACCES, "FileAccessDeniedException", "/p"},
      {EPERM, "FileAccessDeniedException", "/p"},
      {EROFS, "FileReadOnlyException", "/p"},
      {EEXIST, "FileExistsException", "/p"},
      {ENOSPC, "WriteFileException", "disk is full: /p"},
      {EDQUOT, "WriteFileException", "disk is full: /p"},
      {ENOTEMPTY, "FileException", "directory not empty: /p"},
      {EBUSY, "FileException", "sharing violation: /p"},
      {ETXTBSY, "FileException", "sharing violation: /p"},
      {EIO, "FileException", "I/O error: /p"},
      {EMFILE, "FileException", "/p"},
      {EXDEV, "FileException", "/p"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::strerror(c.error));
    try {
      RaiseFileError(c.error, "/p");
    } catch (const FileException& e) {
      EXPECT_STREQ(e.TypeName(), c.type);
      EXPECT_EQ(e.Message(), c.message);
      EXPECT_EQ(e.Code(), c.error);
    }
  }
}

TEST_F(FileTest, KindsOfEntries) {
  const std::string fifo = Sub("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  const std::string socket_path = Sub("sock");
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.size(), sizeof(address.sun_path));
  std::strcpy(address.sun_path, socket_path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);

  ASSERT_EQ(::symlink(Sub("file.txt").c_str(), Sub("link").c_str()), 0);

  struct Case {
    std::string path;
    bool is_file;
    bool is_directory;
    bool is_device;
  };
  const Case cases[] = {
      {Sub("file.txt"), true, false, false},
      {Sub("link"), true, false, false},
      {Sub("dir"), false, true, false},
      {Sub("dir/"), false, true, false},
      {"/dev/null", false, false, true},
      {fifo, false, false, true},
      {socket_path, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const File f(c.path);
    EXPECT_TRUE(f.Exists());
    EXPECT_EQ(f.IsFile(), c.is_file);
    EXPECT_EQ(f.IsDirectory(), c.is_directory);
    EXPECT_EQ(f.IsDevice(), c.is_device);
  }
  ::close(fd);

  // Windows device names mean nothing here.
  WriteFile(Sub("COM1"), "");
  EXPECT_TRUE(File(Sub("COM1")).IsFile());
  EXPECT_FALSE(File(Sub("COM1")).IsDevice());
}

TEST_F(FileTest, MissingEntries) {
  // Missing entry, missing parent, a file used as a directory, a dangling link.
  ASSERT_EQ(::symlink(Sub("gone").c_str(), Sub("dangling").c_str()), 0);
  const std::pair<std::string, int> cases[] = {
      {Sub("missing"), ENOENT},
      {Sub("missing/x"), ENOENT},
      {Sub("file.txt/x"), ENOTDIR},
      {Sub("dangling"), ENOENT},
      {Sub(std::string(300, 'n')), ENAMETOOLONG},
  };
  for (const auto& [path, error] : cases) {
    SCOPED_TRACE(path);
    const File f(path);
    EXPECT_FALSE(f.Exists());
    EXPECT_FALSE(f.IsDevice());
    ExpectRaises<FileNotFoundException>([&] { f.IsFile(); }, error, path);
    ExpectRaises<FileNotFoundException>([&] { f.IsDirectory(); }, error, path);
  }
}

TEST_F(FileTest, UnreadableDirectoryIsAccessDenied) {
  if (::geteuid() == 0) GTEST_SKIP() << "root passes every permission check";
  ASSERT_EQ(::chmod(Sub("dir").c_str(), 0), 0);
  const std::string inside = Sub("dir/x");
  ExpectRaises<FileAccessDeniedException>([&] { File(inside).Exists(); }, EACCES, inside);
  ExpectRaises<FileAccessDeniedException>([&] { File(inside).CreateDirectory(); }, EACCES, inside);
  ExpectRaises<FileAccessDeniedException>([&] { File(Sub("dir/a/b")).CreateDirectories(); }, EACCES,
                                          Sub("dir/a/b"));
  EXPECT_FALSE(File(inside).IsDevice());
}

TEST_F(FileTest, CreateDirectory) {
  const File fresh(Sub("new/"));
  EXPECT_TRUE(fresh.CreateDirectory());
  EXPECT_TRUE(fresh.IsDirectory());
  EXPECT_FALSE(fresh.CreateDirectory());

  ExpectRaises<FileExistsException>([&] { File(Sub("file.txt")).CreateDirectory(); }, EEXIST, Sub("file.txt"));
  ExpectRaises<FileNotFoundException>([&] { File(Sub("missing/x")).CreateDirectory(); }, ENOENT, Sub("missing/x"));
  EXPECT_EQ(ReadFile(Sub("file.txt")), "content");
}

TEST_F(FileTest, CreateDirectoriesMakesEveryMissingLevel) {
  const File deep(Sub("a/b/c"));
  deep.CreateDirectories();
  EXPECT_TRUE(File(Sub("a")).IsDirectory());
  EXPECT_TRUE(File(Sub("a/b")).IsDirectory());
  EXPECT_TRUE(deep.IsDirectory());

  // Existing levels, and existing entries of any kind, are left alone.
  WriteFile(Sub("a/b/c/keep"), "kept");
  File(Sub("a/b/c/")).CreateDirectories();
  File(Sub("file.txt")).CreateDirectories();
  EXPECT_EQ(ReadFile(Sub("a/b/c/keep")), "kept");
  EXPECT_TRUE(File(Sub("file.txt")).IsFile());

  // A relative path works from the current directory.
  const std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(tmp_.path());
  File("r/s/t/").CreateDirectories();
  std::filesystem::current_path(saved);
  EXPECT_TRUE(File(Sub("r/s/t")).IsDirectory());

  ExpectRaises<FileNotFoundException>([&] { File(Sub("file.txt/x/y")).CreateDirectories(); }, ENOTDIR,
                                      Sub("file.txt/x"));
}

TEST_F(FileTest, CreateDirectoriesWithModeIgnoresTheUmask) {
  // A permissive umask would leave patient data readable by others, a strict
  // one would make the directory unusable for its owner: neither may matter.
  for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}, mode_t{0777}}) {
    SCOPED_TRACE(mask);
    const std::string top = Sub("m" + std::to_string(mask));
    {
      ScopedUmask scoped(mask);
      File(top + "/a/b").CreateDirectories(0700);
    }
    EXPECT_EQ(ModeOf(top), 0700u);
    EXPECT_EQ(ModeOf(top + "/a"), 0700u);
    EXPECT_EQ(ModeOf(top + "/a/b"), 0700u);
  }

  // Directories that were there keep their mode; only the missing levels get it.
  ASSERT_EQ(::chmod(Sub("dir").c_str(), 0755), 0);
  File(Sub("dir/new")).CreateDirectories(0700);
  EXPECT_EQ(ModeOf(Sub("dir")), 0755u);
  EXPECT_EQ(ModeOf(Sub("dir/new")), 0700u);

  File(Sub("file.txt")).CreateDirectories(0700);
  EXPECT_TRUE(File(Sub("file.txt")).IsFile());
  ExpectRaises<FileNotFoundException>([&] { File(Sub("file.txt/x/y")).CreateDirectories(0700); }, ENOTDIR,
                                      Sub("file.txt/x"));
}

TEST_F(FileTest, Remove) {
  File(Sub("file.txt")).Remove();
  EXPECT_FALSE(File(Sub("file.txt")).Exists());
  File(Sub("dir/")).Remove();
  EXPECT_FALSE(File(Sub("dir")).Exists());

  ExpectRaises<FileNotFoundException>([&] { File(Sub("file.txt")).Remove(); }, ENOENT, Sub("file.txt"));
  WriteFile(Sub("full/x"), "");
  ExpectRaises<FileException>([&] { File(Sub("full")).Remove(); }, ENOTEMPTY,
                              "directory not empty: " + Sub("full"));
}

TEST_F(FileTest, RenameTo) {
  WriteFile(Sub("target.txt"), "old");
  File(Sub("file.txt")).RenameTo(File(Sub("target.txt")));
  EXPECT_FALSE(File(Sub("file.txt")).Exists());
  EXPECT_EQ(ReadFile(Sub("target.txt")), "content");

  ExpectRaises<FileNotFoundException>([&] { File(Sub("target.txt")).RenameTo(File(Sub("missing/t"))); }, ENOENT,
                                      Sub("target.txt"));
  EXPECT_EQ(ReadFile(Sub("target.txt")), "content");
}

}  // namespace
}  // namespace belmor::common
