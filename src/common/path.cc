#include "common/path.h"

#include <stdexcept>

namespace belmor::common {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// ASCII only: a drive letter must not depend on the process locale.
bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

Path::Path(const std::string& text, bool as_directory) {
  size_t pos = 0;
  const size_t size = text.size();
  if (size >= 2 && text[1] == ':') {
    const bool drive = IsDriveLetter(text[0]) && size >= 3 && IsSeparator(text[2]);
    if (!drive) throw std::invalid_argument("invalid path syntax: " + text);
    device_ = text.substr(0, 1);
    absolute_ = true;
    pos = 3;
  } else if (size >= 1 && IsSeparator(text[0])) {
    absolute_ = true;
    pos = 1;
    if (size >= 2 && IsSeparator(text[1])) {
      pos = 2;
      while (pos < size && !IsSeparator(text[pos])) ++pos;
      node_ = text.substr(2, pos - 2);
      if (pos < size) ++pos;
    }
  }

  size_t start = pos;
  for (; pos < size; ++pos) {
    if (IsSeparator(text[pos])) {
      PushDirectory(text.substr(start, pos - start));
      start = pos + 1;
    }
  }
  name_ = text.substr(start < size ? start : size);

  // "\\node\share" names the share itself, which is a directory.
  if (!node_.empty() && directories_.empty() && !name_.empty()) MakeDirectory();
  if (as_directory) MakeDirectory();
}

std::string Path::DirectoryString() const {
  std::string text;
  if (!node_.empty()) {
    text.append(2, kPathSeparator);
    text += node_;
    text += kPathSeparator;
  } else if (!device_.empty()) {
    text += device_;
    text += ':';
    text += kPathSeparator;
  } else if (absolute_) {
    text += kPathSeparator;
  }
  for (const std::string& directory : directories_) {
    text += directory;
    text += kPathSeparator;
  }
  return text;
}

std::string Path::ToString() const { return DirectoryString() + name_; }

bool Path::IsEmpty() const {
  return node_.empty() && device_.empty() && name_.empty() && directories_.empty() && !absolute_;
}

void Path::PushDirectory(const std::string& component) {
  if (component.empty() || component == ".") return;
  if (component == "..") {
    if (!directories_.empty() && directories_.back() != "..") {
      directories_.pop_back();
    } else if (!absolute_) {
      directories_.push_back(component);
    }
    return;
  }
  directories_.push_back(component);
}

void Path::MakeDirectory() {
  if (name_.empty()) return;
  PushDirectory(name_);
  name_.clear();
}

void Path::MakeParent() {
  if (!name_.empty()) {
    name_.clear();
  } else if (!directories_.empty() && directories_.back() != "..") {
    directories_.pop_back();
  } else if (!absolute_) {
    directories_.push_back("..");
  }
}

std::string Path::BaseName() const {
  const size_t dot = name_.rfind('.');
  return dot == std::string::npos ? name_ : name_.substr(0, dot);
}

std::string Path::Extension() const {
  const size_t dot = name_.rfind('.');
  return dot == std::string::npos ? std::string() : name_.substr(dot + 1);
}

void Path::SetExtension(const std::string& extension) {
  name_ = BaseName();
  if (!extension.empty()) {
    name_ += '.';
    name_ += extension;
  }
}

Path& Path::Append(const Path& other) {
  if (other.absolute_) {
    *this = other;
    return *this;
  }
  MakeDirectory();
  for (const std::string& directory : other.directories_) PushDirectory(directory);
  name_ = other.name_;
  return *this;
}

Path InDirectory(Path directory, const std::string& name) {
  directory.MakeDirectory();
  directory.SetFileName(name);
  return directory;
}

}  // namespace belmor::common
