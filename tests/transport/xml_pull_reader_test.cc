#include "transport/xml_pull_reader.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "transport/rpc_value.h"

namespace belmor::korvex {
namespace {

// The start tags NextTag finds until it answers the empty name.
std::vector<std::string> Tags(XmlPullReader& reader) {
  std::vector<std::string> tags;
  for (std::string tag = reader.NextTag(); !tag.empty(); tag = reader.NextTag()) tags.push_back(tag);
  return tags;
}

TEST(XmlPullReaderTest, NextTagPassesOverDeclarationsCommentsAttributesAndEmptyTags) {
  struct Case {
    const char* xml;
    std::vector<std::string> tags;
  };
  const Case cases[] = {
      {"<a><b>", {"a", "b"}},
      {"<?xml version='1.0' encoding=\"UTF-8\"?>\n<a>", {"a"}},
      {"<?pi?><a>", {"a"}},
      {"<!-- note > still a comment --><a>", {"a"}},
      {"<!--x--><a>", {"a"}},
      {"<a x=\"1\" y='/'>\n\t<b\n>", {"a", "b"}},
      {"<a/><b />\n<c x='1'/><d>", {"d"}},
      {"  \r\n<a>", {"a"}},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.xml);
    XmlPullReader reader(in);
    EXPECT_EQ(Tags(reader), c.tags) << c.xml;
    EXPECT_EQ(reader.OpenTags(), c.tags) << c.xml;
  }
}

TEST(XmlPullReaderTest, NextTagStopsAtTextClosingTagsAndTheEnd) {
  std::istringstream in("<a>text</a><b>");
  XmlPullReader reader(in);
  EXPECT_EQ(reader.NextTag(), "a");
  EXPECT_EQ(reader.NextTag(), "");  // character data: put back
  EXPECT_FALSE(reader.IsInsideTag());
  EXPECT_EQ(reader.ReadText(), "text");
  EXPECT_EQ(reader.NextTag(), "");  // at "</": stays inside the closing tag
  EXPECT_TRUE(reader.IsInsideTag());
  EXPECT_THROW(reader.ReadText(), RpcError);
  EXPECT_TRUE(reader.CloseTag());  // the name continues directly
  EXPECT_EQ(reader.NextTag(), "b");
  EXPECT_EQ(reader.NextTag(), "");
  EXPECT_EQ(reader.NextTag(), "");
}

TEST(XmlPullReaderTest, ReadTextKeepsBlanksAndEntitiesAndStopsBeforeTheNextTag) {
  std::istringstream in(" a &amp; b \r\n<x>tail");
  XmlPullReader reader(in);
  EXPECT_EQ(reader.ReadText(), " a &amp; b \r\n");
  EXPECT_EQ(reader.NextTag(), "x");
  EXPECT_EQ(reader.ReadText(), "tail");
  EXPECT_EQ(reader.ReadText(), "");
}

TEST(XmlPullReaderTest, InsideATagReadTextIsInvalidXml) {
  std::istringstream in("<a");
  XmlPullReader reader(in);
  reader.SetInsideTag();
  try {
    reader.ReadText();
    FAIL() << "no error";
  } catch (const RpcError& e) {
    EXPECT_EQ(e.Message(), "Invalid XML");
  }
}

TEST(XmlPullReaderTest, CloseTagAcceptsOnlyTheInnermostOpenTag) {
  struct Case {
    const char* xml;  // read after "<a><b>" was opened
    bool closed;
  };
  const Case cases[] = {
      {"</b>", true},
      {" \n\t</b>", true},
      {"</b >", true},
      {"</a>", false},    // not the innermost
      {"</bb>", false},   // another name
      {"<b>", false},     // a start tag
      {"text</b>", false},
      {"</b/>", false},   // "/" in the wrong place
      {"</b", false},     // end of input
      {"", false},
  };
  for (const Case& c : cases) {
    std::istringstream in(std::string("<a><b>") + c.xml);
    XmlPullReader reader(in);
    ASSERT_EQ(reader.NextTag(), "a");
    ASSERT_EQ(reader.NextTag(), "b");
    EXPECT_EQ(reader.CloseTag(), c.closed) << c.xml;
    EXPECT_EQ(reader.OpenTags().size(), c.closed ? 1u : 2u) << c.xml;
  }
  std::istringstream in("</a>");
  XmlPullReader empty(in);
  EXPECT_FALSE(empty.CloseTag());
}

TEST(XmlPullReaderTest, CloseAllUnwindsTheStackAndReportsAMismatch) {
  std::istringstream good("<a><b><c></c></b>\n</a>");
  XmlPullReader reader(good);
  EXPECT_EQ(Tags(reader), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(reader.IsInsideTag());  // NextTag stopped at the "</" of "</c>"
  EXPECT_TRUE(reader.CloseAll());
  EXPECT_TRUE(reader.OpenTags().empty());

  std::istringstream bad("<a><b></a>");
  XmlPullReader mismatched(bad);
  Tags(mismatched);
  EXPECT_FALSE(mismatched.CloseAll());
  EXPECT_EQ(mismatched.OpenTags(), (std::vector<std::string>{"a", "b"}));
}

// Two readers on one stream close only their own tags.
TEST(XmlPullReaderTest, ReadersSharingAStreamKeepTheirOwnStacks) {
  std::istringstream in("<outer><inner>x</inner></outer>");
  XmlPullReader outer(in);
  XmlPullReader inner(in);
  EXPECT_EQ(outer.NextTag(), "outer");
  EXPECT_EQ(inner.NextTag(), "inner");
  EXPECT_EQ(inner.ReadText(), "x");
  EXPECT_TRUE(inner.CloseAll());
  EXPECT_EQ(outer.OpenTags(), std::vector<std::string>{"outer"});
  EXPECT_TRUE(outer.CloseAll());
}

}  // namespace
}  // namespace belmor::korvex
