#ifndef KORVEX_COMMON_FILE_H_
#define KORVEX_COMMON_FILE_H_

#include <sys/types.h>

#include <optional>
#include <string>

namespace belmor::common {

class Path;

// The modes of what holds patient data (the work area, the logs, the
// duplicate log, the settings): the user's alone.
inline constexpr mode_t kPrivateFileMode = 0600;
inline constexpr mode_t kPrivateDirectoryMode = 0700;

// Throws the file exception that matches a system error (errno) met on path:
// the errno becomes the exception's code, and the path its message, or the
// subject after a fixed message for errors that have one ("disk is full").
// Every file operation of the system reports failures through this one table.
[[noreturn]] void RaiseFileError(int error, const std::string& path);

// The path text of a File. One trailing separator is dropped so that "x/dir/"
// and "x/dir" name the same entry for the system calls; "/" and a drive root
// such as "C:\" keep theirs.
class FileImpl {
 public:
  explicit FileImpl(const std::string& path);
  FileImpl(const FileImpl&) = default;
  FileImpl& operator=(const FileImpl&) = default;
  virtual ~FileImpl();

  const std::string& PathString() const { return path_; }

 private:
  std::string path_;
};

// A file-system entry named by a path, and the operations on it. Every query
// asks the file system anew; symbolic links are followed. Failures raise the
// file exceptions of RaiseFileError.
class File : public FileImpl {
 public:
  explicit File(const std::string& path);
  explicit File(const Path& path);
  File(const File&) = default;
  File& operator=(const File&) = default;
  ~File() override;

  // False when the path or one of its parents is missing, or the name cannot
  // be resolved (too long, link loop); other failures raise.
  bool Exists() const;
  // A regular file: not a directory and not a device.
  bool IsFile() const;
  bool IsDirectory() const;
  // Character and block devices, FIFOs and sockets. Never raises: what cannot
  // be looked at is not a device.
  bool IsDevice() const;

  // Creates the directory; false when it already exists as a directory. An
  // existing entry of another kind raises FileExistsException.
  bool CreateDirectory() const;
  // Creates the directory and every missing parent, outermost first. An
  // existing path, of whatever kind, is left alone.
  void CreateDirectories() const;
  // The same, but every directory this call creates gets exactly mode,
  // whatever the umask (work-area directories hold patient data and are the
  // user's alone). Directories that exist keep their mode.
  void CreateDirectories(mode_t mode) const;

  // Removes a file, or a directory that is empty.
  void Remove() const;
  // Renames within one file system, replacing a file at target. This object
  // keeps naming the old path. Failures name this path.
  void RenameTo(const File& target) const;

 private:
  // Without a mode the directories get the system's default (0777 less the
  // umask).
  void CreateMissingDirectories(std::optional<mode_t> mode) const;
};

}  // namespace belmor::common

#endif  // KORVEX_COMMON_FILE_H_
