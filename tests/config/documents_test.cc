#include "config/documents.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/exception.h"
#include "support/temp_dir.h"

namespace belmor::korvex {
namespace {

using common::RuntimeException;

const char* kSchema = R"(<?xml version="1.0"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema">
  <xs:element name="invoice">
    <xs:complexType>
      <xs:sequence><xs:element name="amount" type="xs:decimal"/></xs:sequence>
    </xs:complexType>
  </xs:element>
</xs:schema>)";

std::string Sheet(const std::string& body, const std::string& extra = "") {
  return R"(<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform")" + extra +
         R"(><xsl:output method="xml" indent="no"/>)" + body + "</xsl:stylesheet>";
}

// Runs f and returns the message of the RuntimeException it raises.
template <typename F>
std::string RuntimeMessage(F f) {
  try {
    f();
  } catch (const RuntimeException& e) {
    return e.Message();
  }
  return "<nothing raised>";
}

TEST(XmlDocTest, ParsesOrHoldsNothingAndSerialises) {
  XmlDoc good("<a x='1'>\xc3\xa4</a>");
  ASSERT_TRUE(good.Good());
  EXPECT_NE(good.ToString("UTF-8").find("<a x=\"1\">\xc3\xa4</a>"), std::string::npos);
  EXPECT_NE(good.ToString("ISO-8859-1").find("<a x=\"1\">\xe4</a>"), std::string::npos);

  XmlDoc bad("not <xml");
  EXPECT_FALSE(bad.Good());
  EXPECT_EQ(bad.ToString(), "");
  EXPECT_FALSE(XmlDoc("").Good());
}

TEST(XsdDocTest, ValidatesAndReportsEveryErrorToTheHandler) {
  XsdDoc schema(kSchema);
  ASSERT_TRUE(schema.Good());
  EXPECT_EQ(schema.Text(), kSchema);
  EXPECT_TRUE(schema.Validate(XmlDoc("<invoice><amount>12.50</amount></invoice>")));

  std::vector<std::string> errors;
  auto collect = [](void* ctx, const xmlError* error) {
    static_cast<std::vector<std::string>*>(ctx)->push_back(error->message ? error->message : "");
  };
  EXPECT_FALSE(schema.Validate(XmlDoc("<invoice><amount>twelve</amount></invoice>"),
                               reinterpret_cast<xmlStructuredErrorFunc>(+collect), &errors));
  ASSERT_FALSE(errors.empty());
  EXPECT_NE(errors[0].find("twelve"), std::string::npos) << errors[0];
}

TEST(XsdDocTest, Failures) {
  EXPECT_EQ(RuntimeMessage([] { XsdDoc(""); }), "XsdDoc::LoadFromMemory: unable to create schema parser context");

  XsdDoc broken("<xs:schema xmlns:xs='http://www.w3.org/2001/XMLSchema'><xs:element/></xs:schema>");
  EXPECT_FALSE(broken.Good());
  EXPECT_EQ(broken.Text(), "");  // the text is kept only for a schema that compiled
  EXPECT_EQ(RuntimeMessage([&] { broken.Validate(XmlDoc("<invoice/>")); }), "XsdDoc::Validate: no schem available");

  XsdDoc schema(kSchema);
  EXPECT_EQ(RuntimeMessage([&] { schema.Validate(XmlDoc("no xml")); }),
            "XsdDoc::Validate: doc is not a valid xml document");
}

TEST(XslDocTest, CompileFailures) {
  EXPECT_EQ(RuntimeMessage([] { XslDoc("no <xml"); }), "XslDoc::LoadFromMemeory: unable to parse xsl from memory");
  EXPECT_EQ(RuntimeMessage([] { XslDoc("<html/>"); }), "XslDoc::LoadFromDoc: unable to parse xsl from doc");
}

TEST(XslDocTest, TransformsWithParametersInSortedOrder) {
  XslDoc sheet(Sheet(R"x(<xsl:param name="b"/><xsl:param name="a"/>
      <xsl:template match="/"><out a="{$a}" b="{$b}"><xsl:value-of select="count(//item)"/></out></xsl:template>)x"));
  ASSERT_TRUE(sheet.Good());
  auto result = sheet.Transform(XmlDoc("<list><item/><item/></list>"), {{"b", "'two'"}, {"a", "1 + 1"}});
  ASSERT_TRUE(result && result->Good());
  EXPECT_NE(result->ToString().find("<out a=\"2\" b=\"two\">2</out>"), std::string::npos) << result->ToString();

  // No parameters at all is fine too.
  EXPECT_TRUE(sheet.Transform(XmlDoc("<list/>"), {}));
  EXPECT_EQ(RuntimeMessage([&] { sheet.Transform(XmlDoc("bad"), {}); }),
            "XslDoc::Transform: unable to transform because doc is not valid");
}

TEST(XslDocTest, TerminatingMessageGivesAnEmptyResult) {
  XslDoc sheet(Sheet(R"x(<xsl:template match="/"><xsl:message terminate="yes">stop</xsl:message><out/></xsl:template>)x"));
  EXPECT_EQ(sheet.Transform(XmlDoc("<a/>"), {}), nullptr);
}

TEST(XslDocTest, StylesheetCannotWriteFilesOrReachTheNetwork) {
  belmor::testing::TempDir dir;
  const std::string target = dir.Sub("written.xml");
  const std::string subdir = dir.Sub("newdir/written.xml");
  const struct {
    const char* name;
    std::string sheet;
  } cases[] = {
      {"xsl:document",
       Sheet("<xsl:template match='/'><xsl:document href='" + target + "'><x/></xsl:document><out/></xsl:template>")},
      {"exsl:document into a new directory",
       Sheet("<xsl:template match='/'><exsl:document href='" + subdir +
                 "'><x/></exsl:document><out/></xsl:template>",
             R"( xmlns:exsl="http://exslt.org/common" extension-element-prefixes="exsl")")},
      {"document() of a URL",
       Sheet(R"x(<xsl:template match="/"><out><xsl:copy-of select="document('http://127.0.0.1:9/x.xml')"/></out></xsl:template>)x")},
  };
  for (const auto& c : cases) {
    XslDoc sheet(c.sheet);
    ASSERT_TRUE(sheet.Good()) << c.name;
    EXPECT_EQ(sheet.Transform(XmlDoc("<a/>"), {}), nullptr) << c.name;
  }
  EXPECT_FALSE(std::filesystem::exists(target));
  EXPECT_FALSE(std::filesystem::exists(dir.Sub("newdir")));
}

}  // namespace
}  // namespace belmor::korvex
