#ifndef KORVEX_COMMON_DIRECTORY_ITERATOR_H_
#define KORVEX_COMMON_DIRECTORY_ITERATOR_H_

#include <memory>
#include <string>

#include "common/file.h"
#include "common/path.h"

namespace belmor::common {

class DirectoryIteratorImpl;

// Walks the entries of one directory in the order the file system gives them,
// without "." and "..":
//
//   DirectoryIterator it(File(dir));
//   while (it.Next()) Use(it.CurrentPath());
//
// A directory that cannot be opened is not an error; it simply has no
// entries. Holds the system handle until destroyed, so it cannot be copied.
class DirectoryIterator {
 public:
  explicit DirectoryIterator(const File& directory);
  ~DirectoryIterator();
  DirectoryIterator(const DirectoryIterator&) = delete;
  DirectoryIterator& operator=(const DirectoryIterator&) = delete;

  // Moves to the next entry; false, with an empty Name(), once none is left.
  bool Next();

  // The current entry's name, empty before the first Next() and at the end.
  const std::string& Name() const;
  // The directory's path with the current entry as its name.
  const Path& CurrentPath() const { return path_; }
  const File& CurrentFile() const { return file_; }

 private:
  Path path_;
  File file_;
  std::unique_ptr<DirectoryIteratorImpl> impl_;
};

}  // namespace belmor::common

#endif  // KORVEX_COMMON_DIRECTORY_ITERATOR_H_
