#include "config/documents.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <libxml/parser.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "common/exception.h"
#include "config/config_loader.h"
#include "logging/log.h"
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

// The debug lines written while it is the current logger.
class DebugLines : public log::BaseLogger {
 public:
  struct Line {
    int level;
    std::string text;
  };
  bool Write(const log::LogData& data) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({data.level, data.stream.str()});
    return true;
  }
  // The lines since the last call.
  std::vector<Line> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<Line> lines_;
};

bool AnyHas(const std::vector<DebugLines::Line>& lines, const std::string& part) {
  for (const auto& line : lines) {
    if (line.text.find(part) != std::string::npos) return true;
  }
  return false;
}

// Standard error goes to a file while it lives.
class StderrToFile {
 public:
  explicit StderrToFile(const std::string& path) : saved_(::dup(2)) {
    std::fflush(stderr);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(fd, 2);
    ::close(fd);
  }
  ~StderrToFile() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
  }
  StderrToFile(const StderrToFile&) = delete;
  StderrToFile& operator=(const StderrToFile&) = delete;

 private:
  int saved_;
};

TEST(LibraryErrorsTest, GoToTheDebugLogOfEveryThreadAndNeverToStandardError) {
  belmor::testing::TempDir dir;
  const std::string errors = dir.Sub("stderr.txt");
  auto lines = std::make_shared<DebugLines>();
  const std::shared_ptr<log::BaseLogger> previous = log::CurrentLogger();
  log::InstallLogger(lines);
  // A malformed invoice: libxml2's own handler would print its line, name and all.
  const std::string malformed = "<invoice><patient>Muster Anna</patient><amount>1</amount>";
  std::vector<DebugLines::Line> parse, validate, ownHandler, compile, direct;
  std::vector<std::string> handed;
  {
    StderrToFile redirect(errors);
    std::thread([&] {
      EXPECT_FALSE(XmlDoc(malformed).Good());
      parse = lines->Take();

      XsdDoc schema(kSchema);
      ASSERT_TRUE(schema.Good());
      lines->Take();
      EXPECT_FALSE(schema.Validate(XmlDoc("<invoice><amount>twelve</amount></invoice>")));
      validate = lines->Take();
      // A validation with a handler of its own keeps it, and only it gets the records.
      auto collect = [](void* ctx, const xmlError* error) {
        static_cast<std::vector<std::string>*>(ctx)->push_back(error->message ? error->message : "");
      };
      EXPECT_FALSE(schema.Validate(XmlDoc("<invoice><amount>thirteen</amount></invoice>"),
                                   reinterpret_cast<xmlStructuredErrorFunc>(+collect), &handed));
      ownHandler = lines->Take();

      EXPECT_THROW(XslDoc(Sheet("<xsl:template match='/'><xsl:value-of select='(('/></xsl:template>")),
                   RuntimeException);
      compile = lines->Take();
    }).join();
    // A thread started later that uses libxml2 without any class of ours.
    std::thread([&] {
      xmlDoc* doc = xmlReadMemory(malformed.data(), static_cast<int>(malformed.size()), nullptr, nullptr,
                                  XML_PARSE_NONET);
      EXPECT_EQ(doc, nullptr);
      if (doc != nullptr) xmlFreeDoc(doc);
      direct = lines->Take();
    }).join();
  }
  log::InstallLogger(previous);

  EXPECT_EQ(belmor::testing::ReadFile(errors), "");
  struct Stage {
    const char* what;
    const std::vector<DebugLines::Line>& lines;
    const char* expected;
  } stages[] = {
      {"parse", parse, "[libxml2][fatal]"},
      {"validation", validate, "twelve"},
      {"stylesheet compile", compile, "[libxslt]"},
      {"parse on a later thread", direct, "[libxml2][fatal]"},
  };
  for (const Stage& stage : stages) {
    SCOPED_TRACE(stage.what);
    EXPECT_TRUE(AnyHas(stage.lines, stage.expected));
    EXPECT_FALSE(AnyHas(stage.lines, "Muster")) << "a document's text never goes into a line";
    for (const auto& line : stage.lines) {
      EXPECT_EQ(line.level, log::DEBUG) << line.text;
      EXPECT_EQ(line.text.find('\n'), line.text.size() - 1) << "one line each: " << line.text;
    }
  }
  ASSERT_FALSE(handed.empty());
  EXPECT_NE(handed[0].find("thirteen"), std::string::npos) << handed[0];
  EXPECT_FALSE(AnyHas(ownHandler, "thirteen"));
}

}  // namespace
}  // namespace belmor::korvex
