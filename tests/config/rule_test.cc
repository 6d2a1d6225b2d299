#include "config/rule.h"

#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <string>
#include <thread>
#include <vector>

#include "common/exception.h"
#include "config/matcher_reference.h"

namespace belmor::korvex {
namespace {

using common::RuntimeException;

const char* kSchema = R"(<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema">
  <xs:element name="invoice" type="xs:string"/></xs:schema>)";
const char* kSheet = R"(<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:param name="rcpt"/><xsl:template match="/"><to><xsl:value-of select="$rcpt"/></to></xsl:template>
</xsl:stylesheet>)";

TEST(RuleRegexTest, MatchesAnywhereIgnoringCase) {
  const struct {
    const char* expression;
    const char* text;
    bool match;
  } cases[] = {
      {"generalinvoice", "<?xml?>\n<GeneralInvoice version='4.5'/>", true},
      {"GENERAL[a-z]+ version='4\\.(4|5)'", "x <generalinvoice version='4.5'/>", true},
      {"^<invoice", "<?xml?><invoice/>", false},  // anchored: only at the start of the text
      {"version='4\\.5'", "version='405'", false},
      {"(unclosed", "(unclosed", false},  // invalid expression: the rule never applies
      {"[z-a]", "anything", false},
      // A group closed that was never opened is refused; after an escaped
      // backslash the matcher would otherwise take memory without bound.
      {"fixture\\\\)\\:invoice", "fixture\\):invoice", false},
      {"a)", "a)", false},
      {"(a|b\\))+", "b)", true},
      {"\\)", ")", true},
      {"[)]", ")", true},
      {"[]()]x", "(x", true},
      {"[[:alpha:])]+$", "ab)", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RuleRegex(c.expression).IsValid(c.text), c.match) << c.expression;
  }
  // Text after a NUL byte is still searched.
  EXPECT_TRUE(RuleRegex("needle").IsValid(std::string("hay\0needle", 10)));
  EXPECT_THROW(RuleRegex("").IsValid("text"), RuntimeException);
}

// The expression is compiled once and then shared: every search of one object
// must answer as a fresh one would, also when threads search at once.
TEST(RuleRegexTest, OneObjectServesRepeatedAndConcurrentSearches) {
  const RuleRegex selection("urn:fixture:invoice:2\\.0");
  const RuleRegex broken("(unclosed");
  const std::string match = "<invoice xmlns=\"URN:fixture:invoice:2.0\"/>";
  const std::string other = "<invoice xmlns=\"urn:fixture:invoice:2x0\"/>";
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        if (!selection.IsValid(match) || selection.IsValid(other) || broken.IsValid("(unclosed")) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
}

// An expression of plain characters skips the matcher when its text is not in
// the invoice; the answers must stay the matcher's for every expression and
// text, in a single-byte and in a UTF-8 locale.
TEST(RuleRegexTest, PlainSearchAnswersAsTheMatcher) {
  using namespace std::string_literals;
  const std::string expressions[] = {
      "urn:fixture:invoice:2\\.0", "xmlns=\"urn:fixture:invoice:1\\.0\"", "GeneralInvoice", "a\\*b\\+c",
      "\\(x\\)\\[y\\]\\{z\\}", "back\\\\slash", "4\\.(4|5)", "inv.ice", "\\w+voice", "\\Qa.b\\E", "istanbul",
  };
  const std::string texts[] = {
      "<invoice xmlns=\"urn:fixture:invoice:2.0\"/>",
      "<INVOICE XMLNS=\"URN:FIXTURE:INVOICE:1.0\"/>",
      "<invoice xmlns=\"urn:fixture:invoice:2x0\"/>",
      "\0\xff\xe9 generalinvoice"s,
      "\xc3\xa9\xc3\xa9 GENERALinvoice 4.5",
      "a*b+c (x)[y]{z} back\\slash",
      "ab+c (x)[y]{z} back/slash inv-ice a.b",
      "\xc4\xb0STANBUL \xc4\xb1stanbul ISTANBUL",
      // Near misses and repeats that the skipping search must not step over.
      "urn:fixture:invoice:2urn:fixture:invoice:2.urn:FIXTURE:invoice:2.0",
      "generalinvoic generalinvoiceGeneralInvoic",
      "GENERALINVOICE",
      "",
  };
  for (const char* locale : {"C", "C.UTF-8"}) {
    if (std::setlocale(LC_ALL, locale) == nullptr) continue;
    for (const std::string& expression : expressions) {
      const RuleRegex rule(expression);
      for (const std::string& text : texts) {
        EXPECT_EQ(rule.IsValid(text), MatcherAnswer(expression, text))
            << "locale " << locale << ", expression " << expression << ", text " << text;
      }
    }
  }
  std::setlocale(LC_ALL, "C");
  // Not only absent texts: a plain expression still finds its text in any case.
  EXPECT_TRUE(RuleRegex("urn:fixture:invoice:1\\.0").IsValid("<I XMLNS=\"URN:Fixture:Invoice:1.0\"/>"));
  EXPECT_FALSE(RuleRegex("invoice:1\\.0").IsValid("invoice:1x0"));
}

TEST(ActionTest, ApplyWithoutUsableDocumentRaises) {
  Validator validator("invoice.xsd");
  Transformer transformer("wrap.xsl");
  XmlDoc invoice("<invoice>x</invoice>");
  try {
    validator.Apply(invoice);
    FAIL();
  } catch (const RuntimeException& e) {
    EXPECT_EQ(e.Message(), "[Validator::Apply][no valid schema]");
  }
  validator.SetDocument(std::make_shared<XsdDoc>("<xs:schema xmlns:xs='http://www.w3.org/2001/XMLSchema'><bad/></xs:schema>"));
  EXPECT_THROW(validator.Apply(invoice), RuntimeException);
  try {
    transformer.Apply(invoice);
    FAIL();
  } catch (const RuntimeException& e) {
    EXPECT_EQ(e.Message(), "[Transformer::Apply][no valid stylesheet]");
  }
}

TEST(ActionTest, ApplyUsesDocumentAndParameters) {
  Validator validator("invoice.xsd");
  validator.SetDocument(std::make_shared<XsdDoc>(kSchema));
  EXPECT_TRUE(validator.Apply(XmlDoc("<invoice>x</invoice>")));
  EXPECT_FALSE(validator.Apply(XmlDoc("<other/>")));

  Transformer transformer("wrap.xsl");
  transformer.SetDocument(std::make_shared<XslDoc>(kSheet));
  transformer.Parameters()["rcpt"] = "'tc-a'";
  auto out = transformer.Apply(XmlDoc("<invoice/>"));
  ASSERT_TRUE(out);
  EXPECT_NE(out->ToString().find("<to>tc-a</to>"), std::string::npos);
}

// A rule that is good, then broken one piece at a time.
TEST(RuleTest, GoodNeedsEveryPiece) {
  auto schema = std::make_shared<XsdDoc>(kSchema);
  auto sheet = std::make_shared<XslDoc>(kSheet);
  auto validator = [&](const std::string& name, bool withDoc) {
    auto v = std::make_shared<Validator>(name);
    if (withDoc) v->SetDocument(schema);
    return v;
  };
  auto transformer = [&](const std::string& name, bool withDoc) {
    auto t = std::make_shared<Transformer>(name);
    if (withDoc) t->SetDocument(sheet);
    return t;
  };
  struct Case {
    const char* broken;
    std::function<void(Rule&)> build;
  };
  const Case cases[] = {
      {"nothing", [](Rule&) {}},
      {"no validators",
       [&](Rule& r) {
         r.AddTransformer(transformer("t.xsl", true));
         r.SetDuplicateCheck(transformer("keys.xsl", true));
       }},
      {"validator without document",
       [&](Rule& r) {
         r.AddValidator(validator("a.xsd", true));
         r.AddValidator(validator("b.xsd", false));
         r.AddTransformer(transformer("t.xsl", true));
         r.SetDuplicateCheck(transformer("keys.xsl", true));
       }},
      {"validator without name",
       [&](Rule& r) {
         r.AddValidator(validator("", true));
         r.AddTransformer(transformer("t.xsl", true));
         r.SetDuplicateCheck(transformer("keys.xsl", true));
       }},
      {"no transformers",
       [&](Rule& r) {
         r.AddValidator(validator("a.xsd", true));
         r.SetDuplicateCheck(transformer("keys.xsl", true));
       }},
      {"transformer without document",
       [&](Rule& r) {
         r.AddValidator(validator("a.xsd", true));
         r.AddTransformer(transformer("t.xsl", false));
         r.SetDuplicateCheck(transformer("keys.xsl", true));
       }},
      {"no duplicate check",
       [&](Rule& r) {
         r.AddValidator(validator("a.xsd", true));
         r.AddTransformer(transformer("t.xsl", true));
       }},
      {"duplicate check without document",
       [&](Rule& r) {
         r.AddValidator(validator("a.xsd", true));
         r.AddTransformer(transformer("t.xsl", true));
         r.SetDuplicateCheck(transformer("keys.xsl", false));
       }},
  };
  for (const auto& c : cases) {
    Rule rule;
    rule.SetVersion("4.5");
    c.build(rule);
    EXPECT_FALSE(rule.Good()) << c.broken;
  }

  Rule rule;
  rule.AddValidator(validator("a.xsd", true));
  rule.AddTransformer(transformer("t.xsl", true));
  rule.SetDuplicateCheck(transformer("keys.xsl", true));
  EXPECT_FALSE(rule.Good()) << "no version";
  rule.SetVersion("4.5");
  EXPECT_TRUE(rule.Good());  // the selection expression is not needed for that
}

}  // namespace
}  // namespace belmor::korvex
