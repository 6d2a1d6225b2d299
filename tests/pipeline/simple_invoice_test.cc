#include "pipeline/simple_invoice.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace belmor::korvex {
namespace {

TEST(SimpleInvoiceXmlParserTest, StornoFromTheAnnulmentText) {
  struct Case {
    const char* text;
    bool storno;
  };
  const Case cases[] = {
      {" TRUE\n", true},  {"1", true},      {"01", true},     {"1.0", true},  {"\n true \n", true},
      {"yes", false},     {"0", false},     {"False", false}, {"", false},    {"10", false},
      {"-1", false},      {"99999999999999999999", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string document = std::string("<keys><isAnnulment>") + c.text + "</isAnnulment></keys>";
    auto invoice = SimpleInvoiceXmlParser().Parse(document);
    ASSERT_NE(invoice, nullptr);
    EXPECT_EQ(invoice->GetStorno(), c.storno);
  }
}

TEST(SimpleInvoiceXmlParserTest, ReadsTheKeysElements) {
  struct Case {
    const char* what;
    const char* document;
    std::function<std::string(const SimpleInvoice&)> field;
    const char* expected;
  };
  const auto id = [](const SimpleInvoice& i) { return i.GetID(); };
  const auto amount = [](const SimpleInvoice& i) { return i.GetAmount(); };
  const Case cases[] = {
      {"every field",
       "<keys><ID>1</ID><Timestamp>t</Timestamp><Amount>a</Amount><DateEnd>d</DateEnd><ESR>e</ESR>"
       "<EAN>n</EAN><ZSR>z</ZSR><isAnnulment>true</isAnnulment></keys>",
       [](const SimpleInvoice& i) {
         return i.GetID() + i.GetTimestamp() + i.GetAmount() + i.GetDateEnd() + i.GetEsr() + i.GetEan() +
                i.GetZsr() + (i.GetStorno() ? "+" : "-");
       },
       "1tadenz+"},
      {"split text nodes", "<keys><ID>47<!-- between -->11</ID></keys>", id, "4711"},
      {"text and CDATA", "<keys><ID>47<![CDATA[11]]></ID></keys>", id, "4711"},
      {"blanks kept", "<keys><Amount> 12.50 </Amount></keys>", amount, " 12.50 "},
      {"later keys win", "<r><keys><ID>1</ID><Amount>5</Amount></keys><keys><ID>2</ID></keys></r>", id, "2"},
      {"earlier values stay", "<r><keys><ID>1</ID><Amount>5</Amount></keys><keys><ID>2</ID></keys></r>", amount,
       "5"},
      {"keys anywhere", "<a><b><keys><ID>9</ID></keys></b></a>", id, "9"},
      {"field outside keys", "<r><keys><ID>1</ID></keys><ID>2</ID></r>", id, ""},
      {"names compared case-sensitively", "<Keys><ID>1</ID></Keys>", id, ""},
      {"namespaces ignored", "<k:keys xmlns:k=\"urn:k\"><k:ID>3</k:ID></k:keys>", id, "3"},
      {"character references", "<keys><ID>&#x34;7&amp;11</ID></keys>", id, "47&11"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto invoice = SimpleInvoiceXmlParser().Parse(c.document);
    ASSERT_NE(invoice, nullptr);
    EXPECT_EQ(c.field(*invoice), c.expected);
  }
}

TEST(SimpleInvoiceXmlParserTest, DocumentWithAnErrorGivesNoSummary) {
  const char* documents[] = {
      "",
      "<keys><ID>1</ID>",
      "<keys><ID>1</keys>",
      "<keys><ID>1</ID></keys><keys/>",
      // Entities are never expanded, neither internal nor external ones.
      "<!DOCTYPE keys [<!ENTITY e \"4711\">]><keys><ID>&e;</ID></keys>",
      "<!DOCTYPE keys [<!ENTITY e SYSTEM \"file:///etc/hostname\">]><keys><ID>&e;</ID></keys>",
  };
  for (const char* document : documents) {
    SCOPED_TRACE(document);
    EXPECT_EQ(SimpleInvoiceXmlParser().Parse(document), nullptr);
  }
}

TEST(SimpleInvoiceXmlParserTest, ParserCanBeUsedAgain) {
  SimpleInvoiceXmlParser parser;
  auto first = parser.Parse("<keys><ID>1</ID><Amount>5</Amount></keys>");
  auto second = parser.Parse("<keys><ID>2</ID></keys>");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->GetID(), "1");
  EXPECT_EQ(second->GetID(), "2");
  EXPECT_EQ(second->GetAmount(), "");
}

TEST(SimpleInvoiceTest, DumpListsEveryFieldUnderItsLabel) {
  SimpleInvoiceXmlParser parser;
  ASSERT_NE(parser.Parse("<keys><ID>4711</ID></keys>"), nullptr);
  EXPECT_EQ(parser.Dump(),
            "SimpleInvoice:\n\tID       : 4711\n\tAmount   : \n\tTimestamp: \n\tDate_End : \n\tesr      : \n"
            "\tean      : \n\tzsr      : \n\tstorno   : false\n");

  SimpleInvoice invoice;
  invoice.SetID("1");
  invoice.SetAmount("2");
  invoice.SetTimestamp("3");
  invoice.SetDateEnd("4");
  invoice.SetEsr("5");
  invoice.SetEan("6");
  invoice.SetZsr("7");
  invoice.SetStorno(true);
  EXPECT_EQ(invoice.Dump(),
            "SimpleInvoice:\n\tID       : 1\n\tAmount   : 2\n\tTimestamp: 3\n\tDate_End : 4\n\tesr      : 5\n"
            "\tean      : 6\n\tzsr      : 7\n\tstorno   : true\n");
}

}  // namespace
}  // namespace belmor::korvex
