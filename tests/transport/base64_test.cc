#include "transport/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace belmor::korvex {
namespace {

TEST(Base64Test, EncodesTheStandardVectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},           {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xFB\xFF", "+/8="},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(Base64::Encode(bytes), text);
    std::string decoded = "stale";
    EXPECT_TRUE(Base64::Decode(text, decoded)) << text;
    EXPECT_EQ(decoded, bytes);
  }
}

TEST(Base64Test, RoundTripsEveryByteAtEveryLengthRemainder) {
  std::string bytes;
  for (int i = 0; i < 256 * 3 + 2; ++i) bytes.push_back(static_cast<char>(i * 7));
  for (size_t length : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{255}, size_t{256}, bytes.size()}) {
    const std::string part = bytes.substr(0, length);
    std::string decoded;
    ASSERT_TRUE(Base64::Decode(Base64::Encode(part), decoded));
    EXPECT_EQ(decoded, part) << length;
  }
}

TEST(Base64Test, AcceptsLineBreaksBlanksAndMissingPadding) {
  const std::pair<const char*, const char*> cases[] = {
      {"QQ==", "A"},
      {"QQ", "A"},
      {"QUI", "AB"},
      {"QUI=", "AB"},
      {"\nQUJD\nREVG\n", "ABCDEF"},  // Python's encodebytes style
      {"QU JD\r\n\tRA = =", "ABCD"},
      {"  ", ""},
  };
  for (const auto& [text, bytes] : cases) {
    std::string decoded;
    EXPECT_TRUE(Base64::Decode(text, decoded)) << text;
    EXPECT_EQ(decoded, bytes) << text;
  }
}

// Text that is not Base64 is refused as a whole rather than decoded into
// bytes that differ from what the sender meant.
TEST(Base64Test, RefusesTextThatIsNotBase64) {
  const char* const cases[] = {
      "QQ=x",      // data after padding
      "QQ==QUJD",  // a second block after padding
      "Q",         // one character cannot hold a byte
      "QUJDR",     // nor can a final group of one
      "QUJD=",     // padding after a complete group
      "QQ=",       // too little padding
      "QUI==",     // too much padding
      "QQ===",     //
      "=",         //
      "QU*D",      // outside the alphabet
      "QU-_",      // URL-safe alphabet
      "QUJD\xC3\xA9",
  };
  for (const char* text : cases) {
    std::string decoded = "stale";
    EXPECT_FALSE(Base64::Decode(text, decoded)) << text;
    EXPECT_TRUE(decoded.empty()) << text;
  }
  std::string decoded;
  EXPECT_FALSE(Base64::Decode(std::string_view("QU\0D", 4), decoded));
}

}  // namespace
}  // namespace belmor::korvex
