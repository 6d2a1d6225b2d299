#ifndef KORVEX_TESTS_SUPPORT_TEMP_DIR_H_
#define KORVEX_TESTS_SUPPORT_TEMP_DIR_H_

#include <string>

namespace belmor::testing {

// A fresh directory under the test program's private temporary root, removed
// with everything in it when the object ends. Paths end without a slash.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string Sub(const std::string& relative) const;

 private:
  std::string path_;
};

// Writes bytes to a file, creating missing parent directories; throws on failure.
void WriteFile(const std::string& path, const std::string& bytes);
// Reads a whole file; throws when it cannot be opened.
std::string ReadFile(const std::string& path);
// Removes a file or a directory tree; missing paths are fine.
void RemoveAll(const std::string& path);

// The private temporary root that test_main creates for the whole program.
const std::string& TestRoot();

}  // namespace belmor::testing

#endif  // KORVEX_TESTS_SUPPORT_TEMP_DIR_H_
