#include "common/directory_iterator.h"

#include <dirent.h>

#include <cstring>
#include <memory>

namespace belmor::common {

// The open directory stream and the name it last gave.
class DirectoryIteratorImpl {
 public:
  explicit DirectoryIteratorImpl(const std::string& path) : dir_(::opendir(path.c_str())) {}

  bool Next() {
    if (dir_ != nullptr) {
      // A read error ends the walk the same way running out of entries does.
      while (const dirent* entry = ::readdir(dir_.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        name_ = entry->d_name;
        return true;
      }
      dir_.reset();
    }
    name_.clear();
    return false;
  }

  const std::string& Name() const { return name_; }

 private:
  struct Closer {
    void operator()(DIR* dir) const { ::closedir(dir); }
  };
  std::unique_ptr<DIR, Closer> dir_;
  std::string name_;
};

DirectoryIterator::DirectoryIterator(const File& directory)
    : path_(directory.PathString(), true),
      file_(path_),
      impl_(std::make_unique<DirectoryIteratorImpl>(directory.PathString())) {}

DirectoryIterator::~DirectoryIterator() = default;

bool DirectoryIterator::Next() {
  const bool found = impl_->Next();
  path_.SetFileName(impl_->Name());
  file_ = File(path_);
  return found;
}

const std::string& DirectoryIterator::Name() const { return impl_->Name(); }

}  // namespace belmor::common
