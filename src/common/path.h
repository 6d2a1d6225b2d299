#ifndef KORVEX_COMMON_PATH_H_
#define KORVEX_COMMON_PATH_H_

#include <string>
#include <vector>

namespace belmor::common {

// The separator Path renders with. Parsing accepts both "\" and "/" on every
// system, so settings written on Windows still read here.
inline constexpr char kPathSeparator = '/';

// A parsed file-system path: an optional UNC node or drive letter, a list of
// directories and an optional file name. Parsing normalises "." and ".." in
// the directory part, so two spellings of one place compare equal. A value
// type; it never touches the file system.
class Path {
 public:
  Path() = default;
  // Throws std::invalid_argument, carrying the text, for a malformed drive such
  // as "C:foo". With as_directory, a trailing name is taken as a directory.
  explicit Path(const std::string& text, bool as_directory = false);

  // Node or drive prefix, every directory followed by the separator, then the
  // name: a directory path always ends in the separator.
  std::string ToString() const;
  // ToString() without the name.
  std::string DirectoryString() const;

  const std::string& Node() const { return node_; }
  const std::string& Device() const { return device_; }
  const std::vector<std::string>& Directories() const { return directories_; }
  bool IsAbsolute() const { return absolute_; }
  // True for the path parsed from an empty text.
  bool IsEmpty() const;
  int Depth() const { return static_cast<int>(directories_.size()); }

  // Adds one directory component: "" and "." are ignored; ".." removes the last
  // directory unless that is itself "..", and is kept only on a relative path.
  void PushDirectory(const std::string& component);
  void SetFileName(const std::string& name) { name_ = name; }
  const std::string& FileName() const { return name_; }
  // Moves a non-empty name into the directories, as PushDirectory would.
  void MakeDirectory();
  // Drops the name if there is one, else goes one directory up.
  void MakeParent();

  // The name up to its last ".", or the whole name when it has none.
  std::string BaseName() const;
  // The name after its last ".", or empty.
  std::string Extension() const;
  // Keeps the base name; adds "." + extension unless the extension is empty.
  void SetExtension(const std::string& extension);

  // Takes this path as a directory and continues it with a relative path: its
  // directories (resolving ".."), then its name. An absolute argument
  // replaces this path, as joining paths does everywhere else.
  Path& Append(const Path& other);
  Path& Append(const std::string& other) { return Append(Path(other)); }

  friend bool operator==(const Path&, const Path&) = default;

 private:
  std::string node_;
  std::string device_;
  std::string name_;
  std::vector<std::string> directories_;
  bool absolute_ = false;
};

// The file name in directory: directory taken as a directory (a name it has
// becomes its last directory), then name.
Path InDirectory(Path directory, const std::string& name);

}  // namespace belmor::common

#endif  // KORVEX_COMMON_PATH_H_
