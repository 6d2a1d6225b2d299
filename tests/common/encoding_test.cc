#include "common/encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace belmor::common {
namespace {

TEST(EncodingTest, IsUtf8) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ASCII\x7F", true},
      {"\xC3\xA9t\xC3\xA9", true},
      {"\xE2\x82\xAC", true},
      {"\xF0\x9F\x98\x80", true},
      {"\xF4\x8F\xBF\xBF", true},
      {"\xF5\x80\x80\x80", false},
      {"\xFF", false},
      {"\xC0\x80", true},  // overlong forms pass
      {"\xDF\xBF", true},
      {"\xE0\x80\x80", true},
      {"\x80", false},
      {"a\xBF", false},
      {"\xC3\xA9\xA9", false},  // one continuation too many
      {"\xC3", false},          // sequences cut at the end of the text
      {"x\xE2\x82", false},
      {"\xF0\x9F\x98", false},
      {"\xC3x", false},  // continuation missing inside the text
      {"\xE2\x82x", false},
      {"\xF0\x9F\x98\xC3\xA9", false},
      {std::string("\xC3\x00", 2), false},
      {std::string("a\x00b", 3), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsUtf8(c.text), c.valid) << ::testing::PrintToString(c.text);
  }
}

TEST(EncodingTest, Latin1RoundTripOverEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);

  const std::string utf8 = Latin1ToUtf8(all);
  EXPECT_TRUE(IsUtf8(utf8));
  EXPECT_EQ(utf8.size(), 128u + 2 * 128u);
  EXPECT_EQ(utf8.substr(0, 128), all.substr(0, 128));
  EXPECT_EQ(utf8.substr(128, 2), "\xC2\x80");
  EXPECT_EQ(utf8.substr(128 + 2 * (0xE9 - 0x80), 2), "\xC3\xA9");
  EXPECT_EQ(utf8.substr(utf8.size() - 2), "\xC3\xBF");
  EXPECT_EQ(Utf8ToLatin1(utf8), all);
}

TEST(EncodingTest, Utf8ToLatin1) {
  struct Case {
    std::string utf8;
    std::string latin1;
  };
  const Case cases[] = {
      {"caf\xC3\xA9", "caf\xE9"},
      {"a\xE2\x82\xAC" "b", "ab"},        // three-byte sequence dropped
      {"a\xF0\x9F\x98\x80" "b", "ab"},    // four-byte sequence dropped
      {"\xC5\x93", "\x53"},               // U+0153 keeps only its low eight bits
      {"\xC4\x80", std::string(1, '\0')},
      // Dropping goes byte by byte: a broken sequence does not swallow the
      // character after it.
      {"\xE2\xC3\xA9", "\xE9"},
      {"\xF0\x9F\xC3\xBC", "\xFC"},
      {"\xA9x\xBF", "x"},
      {"x\xC3", "x"},
      {"\xC3x", "x"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToLatin1(c.utf8), c.latin1) << ::testing::PrintToString(c.utf8);
  }
}

TEST(EncodingTest, ToUtf8BySource) {
  const std::string utf8 = "Z\xC3\xBCrich";
  const std::string latin1 = "Z\xFCrich";
  EXPECT_EQ(ToUtf8(utf8), utf8);
  EXPECT_EQ(ToUtf8(latin1), utf8);
  EXPECT_EQ(ToUtf8(latin1, TextEncoding::kAutomatic), utf8);
  EXPECT_EQ(ToUtf8(latin1, TextEncoding::kUtf8), latin1);
  EXPECT_EQ(ToUtf8(latin1, TextEncoding::kLatin1), utf8);
  // Declared Latin-1 converts even bytes that happen to be valid UTF-8.
  EXPECT_EQ(ToUtf8(utf8, TextEncoding::kLatin1), "Z\xC3\x83\xC2\xBCrich");
}

}  // namespace
}  // namespace belmor::common
