#include "platform/system_error.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>

namespace belmor::platform {
namespace {

TEST(SystemErrorTest, LastSystemErrorIsTheFailedCallsCode) {
  errno = 0;
  ASSERT_LT(::open("/nonexistent-korvex/file", O_RDONLY), 0);
  EXPECT_EQ(LastSystemError(), ENOENT);
}

TEST(SystemErrorTest, TextNamesTheError) {
  EXPECT_EQ(SystemErrorText(ENOENT), "No such file or directory");
  EXPECT_EQ(SystemErrorText(EACCES), "Permission denied");
  // Codes the system does not know still get a text that shows the code.
  EXPECT_NE(SystemErrorText(98765).find("98765"), std::string::npos);
}

}  // namespace
}  // namespace belmor::platform
