#include "common/exception.h"

#include <gtest/gtest.h>

namespace belmor::common {
namespace {

TEST(ExceptionTest, TextIsDescriptionAndMessage) {
  EXPECT_EQ(Exception().Text(), "Exception");
  EXPECT_EQ(FileNotFoundException("/x/y").Text(), "File not found: /x/y");
  EXPECT_EQ(FileException("sharing violation", "/x/y").Text(), "File access error: sharing violation: /x/y");
  EXPECT_EQ(FileException("negative seek", "").Message(), "negative seek");
  EXPECT_STREQ(FileNotFoundException("/x").what(), "File not found: /x");
}

TEST(ExceptionTest, DescriptionsOfTheTree) {
  struct Case {
    std::unique_ptr<Exception> e;
    const char* description;
    const char* type;
  };
  Case cases[] = {
      {std::make_unique<Exception>(), "Exception", "Exception"},
      {std::make_unique<RuntimeException>(), "Runtime exception", "RuntimeException"},
      {std::make_unique<ApplicationException>(), "Application exception", "ApplicationException"},
      {std::make_unique<IOException>(), "I/O error", "IOException"},
      {std::make_unique<FileException>(), "File access error", "FileException"},
      {std::make_unique<FileExistsException>(), "File exists", "FileExistsException"},
      {std::make_unique<FileNotFoundException>(), "File not found", "FileNotFoundException"},
      {std::make_unique<FileReadOnlyException>(), "File is read-only", "FileReadOnlyException"},
      {std::make_unique<FileAccessDeniedException>(), "Access to file denied", "FileAccessDeniedException"},
      {std::make_unique<CreateFileException>(), "Cannot create file", "CreateFileException"},
      {std::make_unique<WriteFileException>(), "Cannot write file", "WriteFileException"},
      {std::make_unique<ReadFileException>(), "Cannot read file", "ReadFileException"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(c.e->Description(), c.description);
    EXPECT_STREQ(c.e->Name(), c.description);
    EXPECT_STREQ(c.e->TypeName(), c.type);
    // A clone keeps the real class.
    EXPECT_STREQ(c.e->Clone()->TypeName(), c.type);
  }
}

TEST(ExceptionTest, RethrowKeepsTheClassBehindABaseReference) {
  const Exception& e = FileReadOnlyException("/ro", 30);
  try {
    e.Rethrow();
    FAIL() << "Rethrow returned";
  } catch (const FileReadOnlyException& caught) {
    EXPECT_EQ(caught.Message(), "/ro");
    EXPECT_EQ(caught.Code(), 30);
  }
}

TEST(ExceptionTest, CauseChainOutlivesTheOriginalAndKeepsItsClass) {
  std::unique_ptr<Exception> outer;
  {
    FileNotFoundException root("/missing", 2);
    IOException middle("reading failed", root);
    outer = std::make_unique<RuntimeException>("step failed", middle);
  }
  RuntimeException copy = static_cast<RuntimeException&>(*outer);
  outer.reset();
  ASSERT_NE(copy.Cause(), nullptr);
  EXPECT_STREQ(copy.Cause()->TypeName(), "IOException");
  ASSERT_NE(copy.Cause()->Cause(), nullptr);
  EXPECT_NE(dynamic_cast<const FileNotFoundException*>(copy.Cause()->Cause()), nullptr);
  EXPECT_EQ(copy.Cause()->Cause()->Code(), 2);
  EXPECT_EQ(copy.ChainText(),
            "Runtime exception: step failed <- I/O error: reading failed <- File not found: /missing");

  // Assignment replaces the chain with a deep copy.
  RuntimeException other("other");
  other = copy;
  EXPECT_EQ(other.ChainText(), copy.ChainText());
  EXPECT_NE(other.Cause(), copy.Cause());
}

}  // namespace
}  // namespace belmor::common
