#include "config/config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <limits>

#include "logging/log.h"
#include "package_fixture.h"
#include "support/temp_dir.h"

namespace belmor::korvex {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ",") + item;
  return out;
}

template <typename T>
std::vector<std::string> Names(const std::vector<std::shared_ptr<T>>& actions) {
  std::vector<std::string> names;
  for (const auto& a : actions) names.push_back(a->Name());
  return names;
}

// The model in one line, so that a table row can state all of it.
std::string Describe(const Config& config) {
  std::string out;
  for (const auto& rule : config.Rules()) {
    out += "rule:" + rule->Version() + " sel:" + (rule->Selection() ? rule->Selection()->Expression() : "-") +
           " val:" + Join(Names(rule->Validators())) + " tr:" + Join(Names(rule->Transformers())) +
           " dup:" + (rule->DuplicateCheck() ? rule->DuplicateCheck()->Name() : "-") + "; ";
  }
  for (const auto& center : config.Centers()) {
    out += "center:" + std::to_string(center->id) + " " + center->labelNEW + "; ";
  }
  return out + "version:" + config.Version();
}

Config Parsed(const std::string& text) {
  Config config;
  config.Parse(text);
  return config;
}

TEST(ConfigParseTest, AcceptsElementsOnlyInTheirPlace) {
  const struct {
    const char* what;
    const char* xml;
    const char* model;
  } cases[] = {
      {"everything in its place",
       R"(<config version="7"><rules><rule version="1">
            <select><regex expression="inv"/></select>
            <validators><validator name="a.xsd"/><validator name="b.xsd"/></validators>
            <transformers><transformer name="t.xsl"/></transformers>
            <duplicate_check><transformer name="k.xsl"/></duplicate_check>
          </rule></rules><centers><center TCid="3" labelNEW="N"/></centers></config>)",
       "rule:1 sel:inv val:a.xsd,b.xsd tr:t.xsl dup:k.xsl; center:3 N; version:7"},
      {"rule outside rules is dropped with its content",
       R"(<config><rule version="x"><select><regex expression="r"/></select>
            <validators><validator name="v.xsd"/></validators></rule>
          <rules><rule version="1"/><other><rule version="y"/></other></rules></config>)",
       "rule:1 sel:- val: tr: dup:-; version:"},
      {"transformer goes to the list or to the duplicate check, never both",
       R"(<config><rules><rule version="1">
            <duplicate_check><transformer name="k1.xsl"/><transformer name="k2.xsl"/></duplicate_check>
            <transformers><transformer name="t1.xsl"/><transformer name="t2.xsl"/></transformers>
            <transformer name="loose.xsl"/>
          </rule></rules></config>)",
       "rule:1 sel:- val: tr:t1.xsl,t2.xsl dup:k2.xsl; version:"},
      {"later regex replaces the earlier one, regex counts only inside select",
       R"(<config><rules><rule version="1">
            <select><regex expression="first"/><regex expression="second"/></select>
            <select><regex expression="third"/></select>
            <regex expression="loose"/>
          </rule></rules></config>)",
       "rule:1 sel:third val: tr: dup:-; version:"},
      {"validator counts only inside validators",
       R"(<config><rules><rule version="1"><validator name="loose.xsd"/>
            <transformers><validator name="wrong.xsd"/></transformers>
            <validators><validator name="ok.xsd"><validator name="nested.xsd"/></validator></validators>
          </rule></rules></config>)",
       "rule:1 sel:- val:ok.xsd tr: dup:-; version:"},
      {"prefixes and namespaces do not matter",
       R"(<k:config xmlns:k="urn:k" xmlns:o="urn:o" k:version="7"><o:rules xmlns="urn:default">
            <rule o:version="1"><k:select><regex k:expression="inv"/></k:select>
            <validators><validator o:name="a.xsd"/></validators></rule>
          </o:rules></k:config>)",
       "rule:1 sel:inv val:a.xsd tr: dup:-; version:7"},
      {"unknown attributes and character content are ignored",
       R"(<config extra="1" version="7">text<rules>more<rule version="1" colour="red">
            <![CDATA[<rule version="2"/>]]><!-- <rule version="3"/> --><?pi <rule/>?>
          </rule></rules></config>)",
       "rule:1 sel:- val: tr: dup:-; version:7"},
      {"center directly under config counts, elsewhere it does not",
       R"(<config><center TCid="1" labelNEW="A"/><rules><center TCid="2"/></rules>
            <centers><center TCid="3" labelNEW="C"><center TCid="4"/></center></centers></config>)",
       "center:1 A; center:3 C; version:"},
      {"nothing outside config counts",
       R"(<centers><center TCid="1"/><config version="7"><center TCid="2"/></config></centers>)",
       "version:"},
      {"a missing attribute leaves the field empty",
       R"(<config><rules><rule><select><regex/></select><validators><validator/></validators></rule></rules>
            <center/></config>)",
       "rule: sel: val: tr: dup:-; center:0 ; version:"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Describe(Parsed(c.xml)), c.model) << c.what;
  }
}

TEST(ConfigParseTest, CenterIdIsTheWholeValueAsDecimalOrZero) {
  const struct {
    const char* value;
    int32_t id;
  } cases[] = {
      {"7", 7},
      {"-12", -12},
      {"+5", 5},
      {" 42\t", 42},
      {"007", 7},
      {"2147483647", std::numeric_limits<int32_t>::max()},
      {"-2147483648", std::numeric_limits<int32_t>::min()},
      {"2147483648", 0},  // out of range
      {"12abc", 0},       // a number prefix does not make a number
      {"abc", 0},
      {"", 0},
      {"0x10", 0},
      {"1.5", 0},
      {"+-3", 0},
  };
  for (const auto& c : cases) {
    Config config = Parsed(std::string("<config><center TCid=\"") + c.value + "\"/></config>");
    ASSERT_EQ(config.Centers().size(), 1u) << c.value;
    EXPECT_EQ(config.Centers()[0]->id, c.id) << '"' << c.value << '"';
  }
}

TEST(ConfigParseTest, RecipientsAreTrimmedItemsOfRcpt) {
  const struct {
    const char* rcpt;
    std::vector<std::string> recipients;
  } cases[] = {
      {"a, b ,,c,", {"a", "b", "", "c"}},
      {"tc-a", {"tc-a"}},
      {" x ,&#9;y&#10;", {"x", "y"}},
      {",a", {"", "a"}},
      {"a,,", {"a", ""}},
      {"a, ", {"a"}},
      {"", {}},
      {",", {""}},
  };
  for (const auto& c : cases) {
    Config config = Parsed(std::string("<config><center rcpt=\"") + c.rcpt + "\"/></config>");
    ASSERT_EQ(config.Centers().size(), 1u) << c.rcpt;
    EXPECT_THAT(config.Centers()[0]->recipients, ElementsAreArray(c.recipients)) << '"' << c.rcpt << '"';
  }
}

TEST(ConfigParseTest, NotWellFormedStopsAtTheFaultKeepingWhatCameBefore) {
  std::string debugLines;
  {
    fixture::LogCapture log;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    Config config = Parsed(R"(<config version="3"><centers><center TCid="1"/></centers>
      <rules><rule version="1"/><rule version="2"><select></rules>
      <centers><center TCid="2"/></centers></config>)");
    // The parser's complaints are for the debug log, not the terminal.
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    debugLines = log.Text();
    // Rule 2 was still open at the fault, so it never reached the list.
    EXPECT_EQ(Describe(config), "rule:1 sel:- val: tr: dup:-; center:1 ; version:3");
  }
  EXPECT_THAT(debugLines, HasSubstr("Config::Parse error line 2:"));

  for (const char* text : {"", "not xml", "<config version='1'", "<config><center TCid='1'/></config><x/>"}) {
    EXPECT_NO_THROW(Parsed(text)) << text;
  }
  EXPECT_EQ(Describe(Parsed("<config><center TCid='1'/></config><x/>")), "center:1 ; version:");
}

TEST(ConfigParseTest, TextsArriveAsUtf8WhateverTheFileEncoding) {
  Config config = Parsed("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><config system=\"S\xfc\x64\"/>");
  EXPECT_EQ(config.System(), "S\xc3\xbc\x64");
}

// Records every external resource libxml2 is asked to load.
std::vector<std::string> requested;
xmlParserInputPtr RecordingLoader(const char* url, const char*, xmlParserCtxtPtr) {
  requested.push_back(url != nullptr ? url : "");
  return nullptr;
}

TEST(ConfigParseTest, LoadsNothingOutsideTheTextAndExpandsNoEntity) {
  testing::TempDir dir;
  testing::WriteFile(dir.Sub("secret.txt"), "secret");
  const std::string secret = "file://" + dir.Sub("secret.txt");
  xmlExternalEntityLoader previous = xmlGetExternalEntityLoader();
  xmlSetExternalEntityLoader(RecordingLoader);
  requested.clear();

  ::testing::internal::CaptureStdout();
  Config external = Parsed(R"(<!DOCTYPE config SYSTEM "http://127.0.0.1:9/korvex.dtd" [
      <!ENTITY secret SYSTEM ")" + secret + R"(">
    ]><config version="1">&secret;<rules><rule version="&secret;"/></rules></config>)");
  Config laughs = Parsed(R"(<!DOCTYPE config [
      <!ENTITY a "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa">
      <!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">
      <!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;">
      <!ENTITY d "&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;">
    ]><config version="2" system="&d;"/>)");
  ::testing::internal::GetCapturedStdout();
  xmlSetExternalEntityLoader(previous);

  EXPECT_THAT(requested, ElementsAre());
  EXPECT_EQ(external.Version(), "1");
  for (const auto& rule : external.Rules()) EXPECT_THAT(rule->Version(), ::testing::Not(HasSubstr("secret")));
  EXPECT_LT(laughs.System().size(), 100u);
}

TEST(ConfigParseTest, ReadsTheFixtureConfigurationFully) {
  Config config;
  config.Parse(testing::ReadFile(KORVEX_SOURCE_DIR "/testing/trustcenter/config/korvex.xml"));

  EXPECT_EQ(config.UrlCert(), "http://localhost:8443/certificates");
  EXPECT_EQ(config.UrlDown(), "http://localhost:8443/download");
  EXPECT_EQ(config.Timestamp(), "1700000000");
  EXPECT_EQ(config.Version(), "1.4");
  EXPECT_EQ(config.System(), "korvex-fixture");
  EXPECT_EQ(config.PackageName(), "kx-schemas.zip");

  ASSERT_EQ(config.Rules().size(), 4u);
  const Rule& first = *config.Rules()[0];
  EXPECT_EQ(first.Version(), "fixture-invoice-1.0");
  ASSERT_TRUE(first.Selection());
  EXPECT_EQ(first.Selection()->Expression(), R"(xmlns="urn:belmor:fixture:invoice:1\.0")");
  EXPECT_THAT(Names(first.Validators()), ElementsAre("invoice-1.0.xsd"));
  EXPECT_THAT(Names(first.Transformers()), ElementsAre("transform-1.0.xsl"));
  ASSERT_TRUE(first.DuplicateCheck());
  EXPECT_EQ(first.DuplicateCheck()->Name(), "keys-1.0.xsl");
  std::string model = Describe(config);
  EXPECT_EQ(model.substr(model.find("rule:fixture-invoice-2.0")),
            "rule:fixture-invoice-2.0 sel:urn:belmor:fixture:invoice:2\\.0 val:invoice-2.0.xsd "
            "tr:transform-2.0.xsl dup:keys-2.0.xsl; "
            "rule:generalInvoiceRequest-4.5 "
            "sel:forum-datenaustausch\\.ch/invoice[[:space:]]+([^[:space:]]*/)?generalInvoiceRequest_450\\.xsd "
            "val:generalInvoiceRequest_450.xsd tr:gir-transform-4.5.xsl dup:gir-keys-4.5.xsl; "
            "rule:generalInvoiceRequest-5.0 "
            "sel:forum-datenaustausch\\.ch/invoice[[:space:]]+([^[:space:]]*/)?generalInvoiceRequest_500\\.xsd "
            "val:generalInvoiceRequest_500.xsd tr:gir-transform-5.0.xsl dup:gir-keys-5.0.xsl; "
            "center:1 TC-NORD; center:2 TC-SUED; version:1.4");

  ASSERT_EQ(config.Centers().size(), 2u);
  const TrustCenter& nord = *config.Centers()[0];
  EXPECT_EQ(nord.id, 1);
  EXPECT_EQ(nord.label, "Trustcenter Nord");
  EXPECT_EQ(nord.labelNEW, "TC-NORD");
  EXPECT_EQ(nord.esr, "01-10000-1");
  EXPECT_EQ(nord.ean, "7601000000011");
  EXPECT_EQ(nord.rcpt, "tcnord-a, tcnord-b");
  EXPECT_THAT(nord.recipients, ElementsAre("tcnord-a", "tcnord-b"));
  EXPECT_EQ(nord.url, "http://localhost:8443/gate/nord");
  EXPECT_EQ(nord.tel, "044 000 00 01");
  EXPECT_EQ(nord.iglog, "1");
  const TrustCenter& sued = *config.Centers()[1];
  EXPECT_EQ(sued.id, 2);
  EXPECT_EQ(sued.label, "Trustcenter Sued");
  EXPECT_EQ(sued.labelNEW, "TC-SUED");
  EXPECT_EQ(sued.esr, "01-20000-2");
  EXPECT_EQ(sued.ean, "7601000000028");
  EXPECT_THAT(sued.recipients, ElementsAre("tcsued-a"));
  EXPECT_EQ(sued.url, "http://localhost:8443/gate/sued");
  EXPECT_EQ(sued.tel, "044 000 00 02");
  EXPECT_EQ(sued.iglog, "0");
}

TEST(ConfigTest, SelectsTheFirstMatchingCenterOrKeepsTheCurrentOne) {
  Config config = Parsed(R"(<config><centers>
      <center TCid="1" labelNEW="TC-NORD"/><center TCid="2" labelNEW="TC-SUED"/>
      <center TCid="2" labelNEW="TC-NORD"/></centers></config>)");
  const auto& centers = config.Centers();
  EXPECT_FALSE(config.CurrentCenter());
  config.SelectCenter(99);
  EXPECT_FALSE(config.CurrentCenter());

  config.SelectCenter(2);
  EXPECT_EQ(config.CurrentCenter(), centers[1]);
  config.SelectCenter(99);
  EXPECT_EQ(config.CurrentCenter(), centers[1]);

  config.SelectCenter(std::string("TC-NORD"));
  EXPECT_EQ(config.CurrentCenter(), centers[0]);
  for (const char* unknown : {"tc-sued", "TC-SUE", "TC-SUED ", ""}) {
    config.SelectCenter(std::string(unknown));
    EXPECT_EQ(config.CurrentCenter(), centers[0]) << unknown;
  }

  auto outside = std::make_shared<TrustCenter>();
  config.SelectCenter(outside);
  EXPECT_EQ(config.CurrentCenter(), outside);
}

TEST(ConfigTest, FindRuleTakesTheFirstRuleWhoseExpressionMatches) {
  Config config;
  auto rule = [&](const std::string& version, const char* expression) {
    auto r = std::make_shared<Rule>();
    r->SetVersion(version);
    if (expression != nullptr) r->SetSelection(std::make_shared<RuleRegex>(expression));
    config.AddRule(r);
  };
  rule("no-select", nullptr);
  rule("empty", "");
  rule("broken", "(unclosed");
  rule("general", "generalInvoice version=\"4\\.5\"");
  rule("any", "invoice");

  const struct {
    const char* text;
    const char* version;  // nullptr: no rule
  } cases[] = {
      {"<GENERALINVOICE VERSION=\"4.5\"/>", "general"},  // matches both, the first wins
      {"<?xml?>\n<x/>\n<generalInvoice version=\"4.4\"/>", "any"},
      {"... Invoice", "any"},
      {"(unclosed", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    auto found = config.FindRule(c.text);
    if (c.version == nullptr) {
      EXPECT_FALSE(found) << c.text;
    } else {
      ASSERT_TRUE(found) << c.text;
      EXPECT_EQ(found->Version(), c.version) << c.text;
    }
  }
}

// Keeps the debug lines written while it is installed.
class MemoryLogger : public log::BaseLogger {
 public:
  bool Write(const log::LogData& data) override {
    lines.push_back(data.stream.str());
    return true;
  }
  std::vector<std::string> lines;
};

// Compiled documents for hand-built rules, and the debug lines of the test.
class ConfigModelTest : public ::testing::Test {
 protected:
  void SetUp() override { log::InstallLogger(logger_); }
  void TearDown() override { log::InstallLogger(nullptr); }

  // A rule whose documents are all present and compiled.
  std::shared_ptr<Rule> GoodRule(const std::string& version) {
    auto rule = std::make_shared<Rule>();
    rule->SetVersion(version);
    auto validator = std::make_shared<Validator>("invoice.xsd");
    validator->SetDocument(schema_);
    rule->AddValidator(validator);
    auto transformer = std::make_shared<Transformer>("t.xsl");
    transformer->SetDocument(sheet_);
    rule->AddTransformer(transformer);
    auto keys = std::make_shared<Transformer>("keys.xsl");
    keys->SetDocument(sheet_);
    rule->SetDuplicateCheck(keys);
    return rule;
  }

  std::string Logged() const { return Join(logger_->lines); }

  std::shared_ptr<MemoryLogger> logger_ = std::make_shared<MemoryLogger>();
  std::shared_ptr<XsdDoc> schema_ = std::make_shared<XsdDoc>(
      R"(<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema"><xs:element name="invoice"/></xs:schema>)");
  std::shared_ptr<XslDoc> sheet_ = std::make_shared<XslDoc>(
      R"(<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"/>)");
};

TEST_F(ConfigModelTest, GoodNeedsRulesEveryRuleGoodAndCenters) {
  Config config;
  EXPECT_FALSE(config.Good());
  EXPECT_THAT(Logged(), HasSubstr("Config::Good rule list empty"));

  config.AddRule(GoodRule("4.5"));
  logger_->lines.clear();
  EXPECT_FALSE(config.Good());
  EXPECT_THAT(Logged(), HasSubstr("Config::Good center list empty"));

  config.AddCenter(std::make_shared<TrustCenter>());
  EXPECT_TRUE(config.Good());  // no current center, URLs or version needed

  // A parsed rule names its documents but has none until the caches are applied.
  config.Parse(R"(<config><rules><rule version="parsed-1.0"><validators><validator name="invoice.xsd"/>
      </validators><transformers><transformer name="t.xsl"/></transformers>
      <duplicate_check><transformer name="keys.xsl"/></duplicate_check></rule></rules></config>)");
  config.AddRule(GoodRule("4.6"));
  logger_->lines.clear();
  EXPECT_FALSE(config.Good());
  EXPECT_THAT(Logged(), HasSubstr("Config::Good parsed-1.0 failed"));
  EXPECT_THAT(Logged(), ::testing::Not(HasSubstr("4.6")));
}

TEST_F(ConfigModelTest, ClearKeepsCurrentCenterAndTextsForTheNextParse) {
  Config config;
  config.Parse(testing::ReadFile(KORVEX_SOURCE_DIR "/testing/trustcenter/config/korvex.xml"));
  config.SelectCenter(2);
  auto current = config.CurrentCenter();
  config.SchemaCache()["invoice.xsd"] = schema_;
  config.StylesheetCache()["t.xsl"] = sheet_;

  config.Clear();
  EXPECT_TRUE(config.Rules().empty());
  EXPECT_TRUE(config.Centers().empty());
  EXPECT_TRUE(config.SchemaCache().empty());
  EXPECT_TRUE(config.StylesheetCache().empty());
  EXPECT_EQ(config.CurrentCenter(), current);
  EXPECT_EQ(config.Version(), "1.4");
  EXPECT_EQ(config.UrlCert(), "http://localhost:8443/certificates");

  config.Parse(R"(<config version="1.5" url_down=""><centers><center TCid="2" labelNEW="NEW"/></centers></config>)");
  EXPECT_EQ(config.Version(), "1.5");
  EXPECT_EQ(config.UrlDown(), "");  // present but empty still sets
  EXPECT_EQ(config.UrlCert(), "http://localhost:8443/certificates");
  EXPECT_EQ(config.Timestamp(), "1700000000");
  EXPECT_EQ(config.System(), "korvex-fixture");
  EXPECT_EQ(config.PackageName(), "kx-schemas.zip");
  ASSERT_EQ(config.Centers().size(), 1u);
  // Selection is the engine's job after a load; the old object stays current until then.
  EXPECT_EQ(config.CurrentCenter(), current);
  EXPECT_NE(config.CurrentCenter(), config.Centers()[0]);
}

}  // namespace
}  // namespace belmor::korvex
