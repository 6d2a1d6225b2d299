// The test trust center's rules for the Swiss general invoice request 4.5 and
// 5.0 with its sample invoices: rule selection, the public schemas (imports
// served from the package), the duplicate keys and what the transform leaves
// readable.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "config/rule.h"
#include "pipeline/simple_invoice.h"
#include "pipeline/step_fixture.h"

namespace belmor::korvex::testing {
namespace {

using ::testing::MatchesRegex;

constexpr char kRule45[] = "generalInvoiceRequest-4.5";
constexpr char kRule50[] = "generalInvoiceRequest-5.0";

struct Keys {
  std::string id, timestamp, amount, dateEnd, esr, ean, zsr;
  bool storno = false;
};

std::string Describe(const SimpleInvoice& invoice) {
  return invoice.GetID() + "|" + invoice.GetTimestamp() + "|" + invoice.GetAmount() + "|" + invoice.GetDateEnd() +
         "|" + invoice.GetEsr() + "|" + invoice.GetEan() + "|" + invoice.GetZsr() + "|" +
         (invoice.GetStorno() ? "storno" : "-");
}

std::string Describe(const Keys& keys) {
  return keys.id + "|" + keys.timestamp + "|" + keys.amount + "|" + keys.dateEnd + "|" + keys.esr + "|" + keys.ean +
         "|" + keys.zsr + "|" + (keys.storno ? "storno" : "-");
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at == std::string::npos) throw std::runtime_error("not in the sample: " + from);
  return text.replace(at, from.size(), to);
}

struct Sample {
  std::string file;
  std::string rule;
  Keys keys;
};

const std::vector<Sample>& Samples() {
  static const std::vector<Sample> samples = {
      {"gir-4.5-physician.xml", kRule45,
       {"GIR45-2026-0101", "1796203800", "82.83", "2026-11-24", "01-12345-6", "7601000234567", "K234567", false}},
      {"gir-4.5-storno.xml", kRule45,
       {"GIR45-2026-0101", "1796203800", "82.83", "2026-11-24", "01-12345-6", "7601000234567", "K234567", true}},
      {"gir-4.5-attachment.xml", kRule45,
       {"GIR45-2026-0117", "1796393100", "146.21", "2026-11-10", "CH4431999123000889012", "7601000345678", "P345678",
        false}},
      {"gir-5.0-physician.xml", kRule50,
       {"GIR50-2026-0201", "1796292900", "41.61", "2026-12-01", "CH4431999123000889012", "7601000234567", "K234567",
        false}},
      {"gir-5.0-storno.xml", kRule50,
       {"GIR50-2026-0201", "1796292900", "41.61", "2026-12-01", "CH4431999123000889012", "7601000234567", "K234567",
        true}},
      {"gir-5.0-attachment.xml", kRule50,
       {"GIR50-2026-0233", "1796661600", "95.62", "2026-12-02", "CH4431999123000889012", "7601000345678", "P345678",
        false}},
  };
  return samples;
}

class GirInvoiceTest : public ::testing::Test {
 protected:
  // The validation errors libxml2 reports, one line each.
  static void CollectError(void* context, xmlErrorPtr error) {
    if (error && error->message) static_cast<std::vector<std::string>*>(context)->push_back(error->message);
  }

  std::shared_ptr<Rule> RuleFor(const std::string& text) const { return env_.config->FindRule(text); }

  bool Validates(const std::string& text, std::vector<std::string>& errors) const {
    const auto rule = RuleFor(text);
    if (!rule || rule->Validators().empty()) throw std::runtime_error("no rule for the invoice");
    XmlDoc document(text);
    bool valid = true;
    for (const auto& validator : rule->Validators()) {
      valid = validator->Apply(document, &CollectError, &errors) && valid;
    }
    return valid;
  }

  std::shared_ptr<SimpleInvoice> KeysOf(const std::string& text) const {
    const auto rule = RuleFor(text);
    if (!rule || !rule->DuplicateCheck()) return nullptr;
    const auto keys = rule->DuplicateCheck()->Apply(XmlDoc(text));
    return keys ? SimpleInvoiceXmlParser().Parse(keys->ToString()) : nullptr;
  }

  // The text the transform step would hand to the send step.
  std::string Transformed(const std::string& text, const std::string& file) const {
    const auto rule = RuleFor(text);
    if (!rule || rule->Transformers().size() != 1) throw std::runtime_error("no transform for " + file);
    const auto& transformer = rule->Transformers().front();
    transformer->Parameters() = {{"rcpt", "'tcnord-a, tcnord-b'"}, {"libVersion", "'test'"},
                                 {"machineID", "'test-machine'"}, {"filename", "'" + file + "'"},
                                 {"ruleName", "'" + rule->Version() + "'"}};
    const auto result = transformer->Apply(XmlDoc(text));
    if (!result) throw std::runtime_error("the transform of " + file + " gave nothing");
    return result->ToString();
  }

  StepEnvironment env_;
};

TEST_F(GirInvoiceTest, EachSampleSelectsTheRuleOfItsVersionAndPassesThatVersionsSchema) {
  ASSERT_TRUE(env_.config->Good());
  for (const Sample& sample : Samples()) {
    SCOPED_TRACE(sample.file);
    const std::string text = Invoice(sample.file);
    const auto rule = RuleFor(text);
    ASSERT_TRUE(rule);
    EXPECT_EQ(rule->Version(), sample.rule);
    std::vector<std::string> errors;
    EXPECT_TRUE(Validates(text, errors)) << ::testing::PrintToString(errors);
  }
  // The fixture formats keep their own rules.
  EXPECT_EQ(RuleFor(Invoice("invoice-1.0-valid.xml"))->Version(), "fixture-invoice-1.0");
  EXPECT_EQ(RuleFor(Invoice("invoice-2.0-valid.xml"))->Version(), "fixture-invoice-2.0");
  EXPECT_FALSE(RuleFor(Invoice("unknown-format.xml")));
}

// The schema an invoice names picks the version, wherever the practice's
// software keeps its copy and however it breaks the attribute's line.
TEST_F(GirInvoiceTest, TheRuleFollowsTheSchemaTheInvoiceNames) {
  const std::string location = "http://www.forum-datenaustausch.ch/invoice generalInvoiceRequest_450.xsd";
  const struct {
    const char* what;
    std::string location;
    const char* rule;
  } cases[] = {
      {"a directory before the file", "http://www.forum-datenaustausch.ch/invoice xsd/generalInvoiceRequest_450.xsd",
       kRule45},
      {"an absolute file URL",
       "http://www.forum-datenaustausch.ch/invoice file:///C:/Praxis/generalInvoiceRequest_450.xsd", kRule45},
      {"a line break between the two", "http://www.forum-datenaustausch.ch/invoice\n    generalInvoiceRequest_450.xsd",
       kRule45},
      {"the 5.0 schema", "http://www.forum-datenaustausch.ch/invoice generalInvoiceRequest_500.xsd", kRule50},
      {"another schema of the forum", "http://www.forum-datenaustausch.ch/invoice generalInvoiceResponse_450.xsd",
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto rule = RuleFor(Replaced(Invoice("gir-4.5-physician.xml"), location, c.location));
    if (c.rule == nullptr) {
      EXPECT_FALSE(rule);
    } else {
      ASSERT_TRUE(rule);
      EXPECT_EQ(rule->Version(), c.rule);
    }
  }
}

// The other version's schema refuses each sample: the two rules are not
// interchangeable, so selecting by the schema the invoice names matters.
TEST_F(GirInvoiceTest, ASampleUnderTheOtherVersionsNameFailsThatSchema) {
  const struct {
    const char* file;
    const char* from;
    const char* to;
  } cases[] = {
      {"gir-4.5-physician.xml", "generalInvoiceRequest_450.xsd", "generalInvoiceRequest_500.xsd"},
      {"gir-5.0-physician.xml", "generalInvoiceRequest_500.xsd", "generalInvoiceRequest_450.xsd"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string text = Replaced(Invoice(c.file), c.from, c.to);
    std::vector<std::string> errors;
    EXPECT_FALSE(Validates(text, errors));
    EXPECT_FALSE(errors.empty());
  }
}

TEST_F(GirInvoiceTest, TheSchemasRefuseInvoicesThatBreakThem) {
  const struct {
    const char* what;
    const char* file;
    const char* from;
    const char* to;
  } cases[] = {
      {"ZSR number of six characters", "gir-4.5-physician.xml", "zsr=\"K234567\"", "zsr=\"K23456\""},
      {"patient without birth date", "gir-4.5-physician.xml", "birthdate=\"1961-03-14T00:00:00\" ", ""},
      {"birth date without time", "gir-4.5-physician.xml", "1961-03-14T00:00:00", "1961-03-14"},
      {"time stamp after 2030", "gir-4.5-attachment.xml", "request_timestamp=\"1796393100\"",
       "request_timestamp=\"1924902001\""},
      {"document of a type the version does not know", "gir-4.5-attachment.xml", "mimeType=\"application/pdf\"",
       "mimeType=\"text/plain\""},
      {"request without guid", "gir-5.0-physician.xml", "guid=\"5e0c1d7a9b2f4c3e8a6d0b1f2e3c4a5d\" ", ""},
      {"patient without social security number", "gir-5.0-physician.xml", "ssn=\"7561234567897\"", ""},
      {"unknown request subtype", "gir-5.0-storno.xml", "request_subtype=\"storno\"", "request_subtype=\"cancel\""},
      {"partners left out", "gir-5.0-physician.xml", "<partners/>", ""},
      {"attachment without document type", "gir-5.0-attachment.xml", "documentType=\"Report\" ", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string text = Replaced(Invoice(c.file), c.from, c.to);
    std::vector<std::string> errors;
    EXPECT_FALSE(Validates(text, errors));
    EXPECT_FALSE(errors.empty());
  }
}

std::string Sha256(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1) return "";
  std::string hex;
  char pair[3];
  for (unsigned int i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

// The public schemas may be passed on only unaltered: an editor that turns
// their line ends or reflows a comment makes them something else.
TEST(GirSchemaFilesTest, ThePackageCarriesThePublishedSchemasByteForByte) {
  const struct {
    const char* name;
    const char* sha256;
  } cases[] = {
      {"generalInvoiceRequest_450.xsd", "4319dc9d26747518961902d536bd1e0a094578b59fc5d0c5ae42a47db43aeefb"},
      {"generalInvoiceRequest_500.xsd", "fcddc2f70cba034d4edacecf505166ced294460fadcda41639a4fa12d692e021"},
      {"xenc-schema.xsd", "46c8c06a3940917f6c6db22cf992460a839e8e29402370286a8802d5e9e3cb96"},
      {"xmldsig-core-schema.xsd", "8179eb7d0e01dbc8ce316b5580e899d238c536f261f5e367bce7d839fb01c24f"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Sha256(ReadFile(FixturePath(std::string("package/schemas/gir/") + c.name))), c.sha256) << c.name;
  }
}

// The 4.5 and 5.0 schemas import the signature and encryption schemas by
// file name: the package is where they come from, so a package without one
// of them leaves both versions without a schema (and the configuration
// incomplete) while the fixture formats still load.
TEST_F(GirInvoiceTest, ThePackageMustCarryTheImportedSchemas) {
  for (const std::string missing : {"xmldsig-core-schema.xsd", "xenc-schema.xsd"}) {
    SCOPED_TRACE(missing);
    env_.ReloadConfiguration([&](std::map<std::string, std::string>& files) {
      ASSERT_EQ(files.erase(missing), 1u);
    });
    EXPECT_FALSE(env_.config->Good());
    for (const auto& rule : env_.config->Rules()) {
      SCOPED_TRACE(rule->Version());
      const bool gir = rule->Version() == kRule45 || rule->Version() == kRule50;
      ASSERT_EQ(rule->Validators().size(), 1u);
      const auto& schema = rule->Validators().front()->Document();
      EXPECT_EQ(schema && schema->Good(), !gir);
    }
  }
  env_.ReloadConfiguration(nullptr);
  EXPECT_TRUE(env_.config->Good());
}

// The send step selects the rule again on the wrapped text and records its
// keys: the wrapped invoice must give the same rule and the same keys.
TEST_F(GirInvoiceTest, TheDuplicateKeysAreTheSameBeforeAndAfterTheTransform) {
  for (const Sample& sample : Samples()) {
    SCOPED_TRACE(sample.file);
    const std::string text = Invoice(sample.file);
    const auto original = KeysOf(text);
    ASSERT_TRUE(original);
    EXPECT_EQ(Describe(*original), Describe(sample.keys));

    const std::string wrapped = Transformed(text, sample.file);
    ASSERT_TRUE(RuleFor(wrapped));
    EXPECT_EQ(RuleFor(wrapped)->Version(), sample.rule);
    const auto sent = KeysOf(wrapped);
    ASSERT_TRUE(sent);
    EXPECT_EQ(Describe(*sent), Describe(sample.keys));
  }
}

// A reminder repeats the invoice's number, amount and time stamp; its own
// time stamp keeps it from being taken for the invoice sent before.
TEST_F(GirInvoiceTest, AReminderIsKeyedByItsOwnTimeStamp) {
  const struct {
    const char* file;
    const char* after;
    const char* reminder;
  } cases[] = {
      {"gir-4.5-physician.xml", "request_id=\"GIR45-2026-0101\"/>",
       "<invoice:reminder request_timestamp=\"1799000000\" request_date=\"2027-01-03T00:00:00\" "
       "request_id=\"GIR45-2026-0101\" reminder_level=\"1\"/>"},
      {"gir-5.0-physician.xml", "request_id=\"GIR50-2026-0201\"/>",
       "<reminder request_timestamp=\"1799000000\" request_date=\"2027-01-03T00:00:00\" "
       "request_id=\"GIR50-2026-0201\" reminder_level=\"1\"/>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string invoice = Invoice(c.file);
    const std::string reminder = Replaced(invoice, c.after, std::string(c.after) + c.reminder);
    std::vector<std::string> errors;
    ASSERT_TRUE(Validates(reminder, errors)) << ::testing::PrintToString(errors);
    const auto first = KeysOf(invoice);
    const auto second = KeysOf(reminder);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(second->GetTimestamp(), "1799000000");
    EXPECT_EQ(second->GetID(), first->GetID());
    EXPECT_NE(Describe(*second), Describe(*first));
  }
}

std::string PersonCode(const std::string& wrapped) {
  std::smatch m;
  static const std::regex kPerson("<korvex:patient person=\"([^\"]*)\">");
  return std::regex_search(wrapped, m, kPerson) ? m[1].str() : std::string();
}

std::vector<std::string> ProtectedParts(const std::string& wrapped) {
  std::vector<std::string> parts;
  static const std::regex kPart("<korvex:protected element=\"([a-z_]+)\"");
  for (std::sregex_iterator it(wrapped.begin(), wrapped.end(), kPart), end; it != end; ++it) {
    parts.push_back((*it)[1].str());
  }
  return parts;
}

// The wrapped invoice names the patient only by the person code; whatever
// else identifies the patient is in a block for the recipients, and the
// practice's side of the invoice stays readable.
TEST_F(GirInvoiceTest, TheTransformLeavesNothingOfThePatientReadableAndTheRestAsItWas) {
  const struct {
    const char* file;
    std::vector<std::string> hidden;
    std::vector<std::string> readable;
    std::vector<std::string> parts;
  } cases[] = {
      {"gir-4.5-physician.xml",
       {"Müller", "Jürg", "Seestrasse", "Thalwil", "1961-03-14", "7561234567897", "80756012340000012345",
        "123.45.678-9", "079 555 12 34"},
       {"Brunner", "Bahnhofstrasse 12", "7601000234567", "GIR45-2026-0101", "J20.9", "00.0020",
        "generalInvoiceRequest_450.xsd"},
       {"debitor", "guarantor", "kvg"}},
      {"gir-4.5-attachment.xml",
       {"Favre", "Élodie", "Chemin des Vignes", "1987-09-02", "7569876543210", "80756-0004711", "JVBERi0",
        "roentgenbefund-thorax.pdf"},
       {"Gruppenpraxis Seefeld AG", "Rossi", "Krankenkasse Beispiel AG", "CH4431999123000889012", "39.0015"},
       {"guarantor", "kvg", "documents"}},
      {"gir-5.0-physician.xml",
       {"Müller", "Jürg", "Seestrasse", "Thalwil", "1961-03-14", "7561234567897", "80756012340000012345",
        "123.45.678-9", "079 555 12 34"},
       {"Brunner", "Bahnhofstrasse 12", "7601000234567", "GIR50-2026-0201", "M54.5", "1371.00",
        "generalInvoiceRequest_500.xsd", "type=\"KVG\""},
       {"debitor", "guarantor", "law"}},
      {"gir-5.0-attachment.xml",
       {"Weber", "Thomas", "Dorfstrasse", "1979-06-21", "7563456789012", "UVG-2026-55123",
        "Holzbau Greifensee", "JVBERi0", "verlaufsbericht-unfall.pdf"},
       {"Gruppenpraxis Seefeld AG", "Rossi", "Huber", "Unfallversicherung Beispiel", "S62.3", "type=\"UVG\""},
       {"guarantor", "partner", "law", "documents"}},
  };
  std::map<std::string, std::string> codes;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string wrapped = Transformed(Invoice(c.file), c.file);
    // Found or not found is all a failure needs to tell: the text runs to a megabyte.
    for (const std::string& value : c.hidden) EXPECT_EQ(wrapped.find(value), std::string::npos) << value;
    for (const std::string& value : c.readable) EXPECT_NE(wrapped.find(value), std::string::npos) << value;
    EXPECT_EQ(ProtectedParts(wrapped), c.parts);
    EXPECT_TRUE(std::regex_search(wrapped, std::regex("<korvex:datatransfer [^>]*rcpt=\"tcnord-a, tcnord-b\"")));
    // A code of the person's own, not one of the codes that flag bad input.
    codes[c.file] = PersonCode(wrapped);
    EXPECT_THAT(codes[c.file], MatchesRegex("a0[0-9a-f]{28}"));
  }
  // One patient, one code, in either version.
  EXPECT_EQ(codes["gir-4.5-physician.xml"], codes["gir-5.0-physician.xml"]);
  EXPECT_NE(codes["gir-4.5-physician.xml"], codes["gir-4.5-attachment.xml"]);
  EXPECT_NE(codes["gir-5.0-attachment.xml"], codes["gir-4.5-attachment.xml"]);
}

}  // namespace
}  // namespace belmor::korvex::testing
