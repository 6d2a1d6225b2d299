#ifndef KORVEX_TESTS_SUPPORT_ZIP_BUILDER_H_
#define KORVEX_TESTS_SUPPORT_ZIP_BUILDER_H_

#include <string>
#include <vector>

namespace belmor::testing {

// Builds a zip archive in memory, entry by entry in the order added, so tests
// can make packages (and broken ones) from a few lines instead of committing
// binary files. A name ending in "/" makes a directory entry.
class ZipBuilder {
 public:
  // deflate: compress the entry; otherwise it is stored, so its bytes appear
  // verbatim in the archive and a test can damage them.
  ZipBuilder& Add(const std::string& name, const std::string& bytes, bool deflate = true);
  // Adds every file under directory, named by its path relative to directory
  // ("schemas/common/x.xsd"), in sorted path order.
  ZipBuilder& AddTree(const std::string& directory);
  std::string Build() const;

 private:
  struct Entry {
    std::string name;
    std::string bytes;
    bool deflate;
  };
  std::vector<Entry> entries_;
};

}  // namespace belmor::testing

#endif  // KORVEX_TESTS_SUPPORT_ZIP_BUILDER_H_
