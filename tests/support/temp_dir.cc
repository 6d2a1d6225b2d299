#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace belmor::testing {

namespace fs = std::filesystem;

namespace {
std::string& RootStorage() {
  static std::string root;
  return root;
}
}  // namespace

const std::string& TestRoot() {
  std::string& root = RootStorage();
  if (root.empty()) {
    std::string tmpl = (fs::temp_directory_path() / "korvex-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root = tmpl;
  }
  return root;
}

TempDir::TempDir() {
  std::string tmpl = TestRoot() + "/t-XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() { RemoveAll(path_); }

std::string TempDir::Sub(const std::string& relative) const { return path_ + "/" + relative; }

void WriteFile(const std::string& path, const std::string& bytes) {
  fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void RemoveAll(const std::string& path) {
  std::error_code ec;
  // Tests take permissions away to provoke failures; give them back so the tree can go.
  for (auto it = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path, ec);
}

}  // namespace belmor::testing
