#include "transport/xslt_function.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libxml/xmlerror.h>
#include <libxslt/xsltutils.h>

#include <cstdarg>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/documents.h"
#include "config/package_fixture.h"
#include "smime_test_util.h"
#include "support/temp_dir.h"
#include "transport/credential_cache.h"
#include "transport/smime.h"

namespace belmor::korvex {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

const std::string kZeros(28, '0');

TEST(PhoneticCodeTest, FirstLetterAndThreeDigits) {
  struct Case {
    const char* name;
    int result;
    const char* code;
  };
  const Case cases[] = {
      {"SCHMIDT", 0, "S530"},
      // A vowel (or H, W, Y) first loses the first consonant's digit.
      {"ANNA", 0, "A000"},
      {"OTTO", 0, "O000"},
      {"Hans-Peter", 0, "H213"},
      {"meier", 0, "M600"},
      // Neighbours of one group give one digit; a blank in between separates them.
      {"AnnMarie", 0, "A600"},
      {"Ann Marie", 0, "A560"},
      {"Pfister", 0, "P236"},
      // Bytes beyond ASCII belong to no group.
      {"M\xc3\xbcller", 0, "M460"},
      {"", 1, ""},
      {"K2", 2, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string code;
    EXPECT_EQ(XsltFunction::PhoneticCode(c.name, code), c.result);
    EXPECT_EQ(code, c.code);
  }
}

TEST(PersonCodeTest, CodesAndFlags) {
  struct Case {
    const char* why;
    const char* a1;
    const char* a2;
    const char* date;
    const char* a4;
    int result;
    std::string code;
  };
  // The full codes were made outside this code base: the phonetic codes by
  // hand, then `printf '%s' TEXT | sha1sum`, keeping hex characters 12 to 39
  // (digest bytes 6 to 19) behind "a0":
  //   M600A00019800517F1234      -> 5fded2182152 007086db70de4a79d9190dc1a82d
  //   S530H21319551201123456789  -> c1d3ffbe7bbc 3245686ca8aade85faeaf6c3111e
  //   M460O000200102037560000    -> 416d0a146d97 60db9fc1c9d129cf2d91152550eb
  const std::string meierAnna = "a0007086db70de4a79d9190dc1a82d";
  const Case cases[] = {
      {"digest", "Meier", "Anna", "19800517", "F1234", 0, meierAnna},
      {"blanks around are ignored", "  Meier ", " Anna  ", " 19800517", "F1234 ", 0, meierAnna},
      {"case does not matter", "MEIER", "anna", "19800517", "F1234", 0, meierAnna},
      {"nine-character identifier", "Schmidt", "Hans-Peter", "19551201", "123456789", 0,
       "a03245686ca8aade85faeaf6c3111e"},
      {"non-ASCII name", "M\xc3\xbcller", "Otto", "20010203", "7560000", 0, "a060db9fc1c9d129cf2d91152550eb"},
      {"one-letter first name", "A", "Meier", "19800517", "F1234", 0, "a1" + kZeros},
      {"digit in second name", "Anna", "Me1er", "19800517", "F1234", 0, "a2" + kZeros},
      {"future date, three-character identifier", "Anna", "Meier", "29990101", "F12", 0, "ac" + kZeros},
      {"before 1870", "Anna", "Meier", "18691231", "F1234", 0, "a4" + kZeros},
      {"identifier too long", "Anna", "Meier", "19800517", "1234567890", 0, "a8" + kZeros},
      {"everything wrong", "1", "", "", "", 0, "af" + kZeros},
      {"missing argument", "Anna", nullptr, "19800517", "F1234", 1, ""},
      {"text to digest too long", "Anna", "Meier", "198005170000", "123456789", 5, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    std::string code;
    EXPECT_EQ(XsltFunction::PersonCode(c.a1, c.a2, c.date, c.a4, code), c.result);
    EXPECT_EQ(code, c.code);
  }
  // 1870-01-01 itself is a usable date.
  std::string code;
  ASSERT_EQ(XsltFunction::PersonCode("Anna", "Meier", "18700101", "F1234", code), 0);
  EXPECT_THAT(code, StartsWith("a0"));
  EXPECT_NE(code, "a0" + kZeros);
}

// Collects what libxslt and libxml2 report while it lives.
class ErrorCapture {
 public:
  ErrorCapture() {
    xsltSetGenericErrorFunc(this, &Collect);
    xmlSetGenericErrorFunc(this, &Collect);
  }
  ~ErrorCapture() {
    xsltSetGenericErrorFunc(nullptr, nullptr);
    xmlSetGenericErrorFunc(nullptr, nullptr);
  }
  ErrorCapture(const ErrorCapture&) = delete;
  ErrorCapture& operator=(const ErrorCapture&) = delete;
  const std::string& text() const { return text_; }

 private:
  static void Collect(void* self, const char* format, ...) {
    va_list args;
    va_start(args, format);
    char buffer[4096];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    static_cast<ErrorCapture*>(self)->text_ += buffer;
  }
  std::string text_;
};

class XsltFunctionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    XsltFunction::Register();
    XsltFunction::Register();  // a second start must not register twice
    keys_ = std::make_unique<belmor::testing::TempDir>();
    identities_ = testing::MakeIdentities(keys_->path(), {"alpha", "beta"});
  }
  static void TearDownTestSuite() {
    XsltFunction::SetConfig(nullptr);
    keys_.reset();
  }

  // A configuration whose current center has these recipients, their
  // credentials loaded, published to the module.
  void UseRecipients(const std::vector<std::string>& recipients) {
    config_ = std::make_shared<Config>();
    auto center = std::make_shared<TrustCenter>();
    center->id = 1;
    center->recipients = recipients;
    config_->AddCenter(center);
    config_->SelectCenter(center);
    std::map<std::string, std::string> certificates;
    std::map<std::string, std::string> keys;
    for (const auto& [name, id] : identities_) {
      certificates[name] = id.certificate;
      keys[name] = id.key;
    }
    auto cache = std::make_shared<CredentialCache>(config_, std::make_shared<FileMapDocumentLoader>(certificates),
                                                   std::make_shared<FileMapDocumentLoader>(keys));
    cache->LoadCredentials(true);
    config_->SetCredentialCache(cache);
    XsltFunction::SetConfig(config_);
  }

  // Runs a stylesheet whose root template is <out>body</out>; answers the
  // serialised result, or empty when the transformation failed.
  std::string Run(const std::string& body, const std::string& input = "<doc/>") {
    const std::string sheet =
        "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'"
        " xmlns:cc='urn:korvex.CCode' xmlns:exsl='http://exslt.org/common' extension-element-prefixes='cc' exclude-result-prefixes='exsl'>"
        "<xsl:output method='xml' omit-xml-declaration='yes' encoding='UTF-8'/>"
        "<xsl:template match='/'><out>" +
        body + "</out></xsl:template></xsl:stylesheet>";
    XslDoc stylesheet(sheet);
    XmlDoc document(input);
    const std::shared_ptr<XmlDoc> result = stylesheet.Transform(document, {});
    if (!result) return std::string();
    const std::string text = result->ToString();
    const size_t start = text.find("<out");
    return start == std::string::npos ? text : text.substr(start, text.find_last_not_of('\n') - start + 1);
  }

  std::string Block(const std::string& content, const std::string& recipient) {
    return SMIMECrypto().Encrypt({identities_[recipient].certificate}, content);
  }

  static std::unique_ptr<belmor::testing::TempDir> keys_;
  static std::map<std::string, testing::TestIdentity> identities_;
  std::shared_ptr<Config> config_;
};

std::unique_ptr<belmor::testing::TempDir> XsltFunctionTest::keys_;
std::map<std::string, testing::TestIdentity> XsltFunctionTest::identities_;

TEST_F(XsltFunctionTest, GetPersonCompactsTheDateAndReadsNothingBeyondAShortOne) {
  struct Case {
    const char* date;
    std::string code;
  };
  const Case cases[] = {
      {"1980-05-17", "a0007086db70de4a79d9190dc1a82d"},
      {"1980/05/17", "a0007086db70de4a79d9190dc1a82d"},
      // Shorter than ten characters: no usable date.
      {"1980-05-1", "a4" + kZeros},
      {"1980", "a4" + kZeros},
      {"", "a4" + kZeros},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.date);
    EXPECT_EQ(Run("<xsl:value-of select=\"cc:get-Person('Meier', 'Anna', '" + std::string(c.date) + "', 'F1234')\"/>"),
              "<out>" + c.code + "</out>");
  }
}

TEST_F(XsltFunctionTest, GetPersonWithAnotherNumberOfArgumentsFailsTheTransformation) {
  struct Case {
    const char* call;
    const char* message;
  };
  const Case cases[] = {
      {"cc:get-Person('Meier', 'Anna', '1980-05-17')", "get-Person() failed: insufficient args (3 args instead of 4)\n"},
      {"cc:get-Person('a', 'b', 'c', 'd', 'e')", "get-Person() failed: insufficient args (5 args instead of 4)\n"},
      {"cc:get-Person('Anna', 'Meier', '1980-05-17', 'F1234') = 'x' or cc:get-Person()",
       "get-Person() failed: insufficient args (0 args instead of 4)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    ErrorCapture errors;
    EXPECT_THAT(Run("<xsl:value-of select=\"" + std::string(c.call) + "\"/>"), IsEmpty());
    EXPECT_THAT(errors.text(), HasSubstr(c.message));
  }
}

TEST_F(XsltFunctionTest, EncryptProtectsTheFirstNodeForEveryRecipient) {
  UseRecipients({"alpha", "beta"});
  const std::string out =
      Run("<xsl:value-of select='cc:Encrypt(//patient)'/>",
          "<doc><patient id='1'><name>Meier</name></patient><patient id='2'/></doc>");
  ASSERT_THAT(out, StartsWith("<out>"));
  const std::string block = out.substr(5, out.size() - 11);
  for (const char* who : {"alpha", "beta"}) {
    SCOPED_TRACE(who);
    const std::string plain = SMIMECrypto().Decrypt(identities_[who].key, identities_[who].certificate, block);
    EXPECT_THAT(plain, StartsWith("<patient id=\"1\">"));
    EXPECT_THAT(plain, HasSubstr("<name>Meier</name>"));
    EXPECT_THAT(plain, Not(HasSubstr("id=\"2\"")));
  }
}

TEST_F(XsltFunctionTest, DecryptTriesTheCredentialsInOrder) {
  UseRecipients({"alpha", "beta"});
  fixture::LogCapture log;
  const std::string input = "<doc><block>" + Block("<greeting lang=\"de\">Gr\xc3\xbc" "ezi</greeting>", "beta") +
                            "</block></doc>";
  EXPECT_EQ(Run("<xsl:copy-of select='cc:Decrypt(string(/doc/block))'/>", input),
            "<out><greeting lang=\"de\">Gr\xc3\xbc" "ezi</greeting></out>");
  EXPECT_TRUE(log.Has("[XsltFunction::EXsltDecrypt][block was not encrypted with credential nr 0]"
                      "[openssl PKCS7_decrypt failed: error:"));
  EXPECT_FALSE(log.Has("credential nr 1"));
}

TEST_F(XsltFunctionTest, DecryptGivesNodesWhenTheTextIsXmlAndTheTextOtherwise) {
  UseRecipients({"alpha"});
  struct Case {
    const char* why;
    std::string input;  // {} stands for the block
    std::string content;
    std::string expected;
  };
  const Case cases[] = {
      {"element", "<doc>{}</doc>", "<a>1</a>", "<out>node-set|<a>1</a></out>"},
      {"every top-level node", "<doc>{}</doc>", "text <a>1</a><b/>", "<out>node-set|text <a>1</a><b/></out>"},
      {"not well-formed", "<doc>{}</doc>", "5 < 6 & so on", "<out>string|5 &lt; 6 &amp; so on</out>"},
      {"Latin-1 source, XML", "<?xml version='1.0' encoding='ISO-8859-1'?><doc>{}</doc>", "<g>Gr\xc3\xbc" "ezi</g>",
       "<out>node-set|<g>Gr\xc3\xbc" "ezi</g></out>"},
      // The string pushed must still be UTF-8 for the result tree.
      {"Latin-1 source, text", "<?xml version='1.0' encoding='ISO-8859-1'?><doc>{}</doc>", "Gr\xc3\xbc" "ezi <",
       "<out>string|Gr\xc3\xbc" "ezi &lt;</out>"},
      {"UTF-8 source, Latin-1 text", "<doc>{}</doc>", "<g>Gr\xfc" "ezi</g>", "<out>node-set|<g>Gr\xc3\xbc" "ezi</g></out>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    std::string input = c.input;
    input.replace(input.find("{}"), 2, Block(c.content, "alpha"));
    // Parsed in the context of the element holding the block, as stylesheets call it.
    EXPECT_EQ(Run("<xsl:for-each select='/doc'><xsl:variable name='d' select='cc:Decrypt(string(.))'/>"
                  "<xsl:value-of select='exsl:object-type($d)'/>|<xsl:copy-of select='$d'/></xsl:for-each>",
                  input),
              c.expected);
  }
}

TEST_F(XsltFunctionTest, FailuresAreReportedAndLeaveNoValue) {
  const std::string input = "<doc><p/><block>" + Block("<a>1</a>", "alpha") + "</block></doc>";
  struct Case {
    const char* why;
    std::vector<std::string> recipients;  // "-": no configuration, "none": no credential cache
    const char* call;
    const char* message;
  };
  const Case cases[] = {
      {"no configuration", {"-"}, "cc:Encrypt(/doc/p)", "Encrypt() failed\n"},
      {"no configuration", {"-"}, "cc:Decrypt(string(/doc/block))",
       "Decrypt() failed: [XsltFunction::EXsltDecrypt][no node to decrypt]\n"},
      {"no credential cache", {"none"}, "cc:Encrypt(/doc/p)", "Encrypt() failed\n"},
      {"no credential cache", {"none"}, "cc:Decrypt(string(/doc/block))",
       "Decrypt() failed: [XsltFunction::EXsltDecrypt][no credential cache available]\n"},
      {"no credentials", {}, "cc:Encrypt(/doc/p)", "Encrypt() failed\n"},
      {"no credentials", {}, "cc:Decrypt(string(/doc/block))",
       "Decrypt() failed: [XsltFunction::EXsltDecrypt][decrypt failed]\n"},
      {"no matching credential", {"beta"}, "cc:Decrypt(string(/doc/block))",
       "Decrypt() failed: [XsltFunction::EXsltDecrypt][decrypt failed]\n"},
      {"empty node-set", {"alpha"}, "cc:Encrypt(/doc/none)", "Encrypt() failed\n"},
      {"not a node-set", {"alpha"}, "cc:Encrypt('text')", "Encrypt() failed\n"},
      {"two arguments", {"alpha"}, "cc:Encrypt(/doc/p, /doc/p)", "Encrypt() failed\n"},
      {"no argument", {"alpha"}, "cc:Decrypt()", "Decrypt() failed\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.why) + ": " + c.call);
    if (c.recipients == std::vector<std::string>{"-"}) {
      config_.reset();
      XsltFunction::SetConfig(nullptr);
    } else if (c.recipients == std::vector<std::string>{"none"}) {
      config_ = std::make_shared<Config>();
      XsltFunction::SetConfig(config_);
    } else {
      UseRecipients(c.recipients);
    }
    ErrorCapture errors;
    EXPECT_THAT(Run("<xsl:value-of select=\"" + std::string(c.call) + "\"/>", input), IsEmpty());
    EXPECT_THAT(errors.text(), HasSubstr(c.message));
  }
}

TEST_F(XsltFunctionTest, FixtureTransformNamesThePatientByCodeAndEncryptsTheBlock) {
  UseRecipients({"alpha", "beta"});
  struct Case {
    const char* version;
    const char* familyName;
    // printf '%s' M600A00019800517female | sha1sum, and S530O00019550203male:
    // hex characters 12 to 39 behind "a0".
    const char* person;
  };
  const Case cases[] = {
      {"1.0", "Meier", "a0f3a5a1afdf7ba08716253c2abf7b"},
      {"2.0", "Schmidt", "a0d88190d0b9735a8eff04c01978e1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    XslDoc stylesheet(fixture::Read("package/stylesheets/transform-" + std::string(c.version) + ".xsl"));
    XmlDoc invoice(fixture::Read("invoices/invoice-" + std::string(c.version) + "-valid.xml"));
    const std::shared_ptr<XmlDoc> result = stylesheet.Transform(invoice, {{"rcpt", "'alpha, beta'"}});
    ASSERT_TRUE(result);
    const std::string text = result->ToString();
    EXPECT_THAT(text, HasSubstr("<korvex:datatransfer xmlns:korvex=\"urn:korvex:datatransfer\" rcpt=\"alpha, beta\""));
    EXPECT_THAT(text, HasSubstr("<korvex:patient person=\"" + std::string(c.person) + "\">"));
    EXPECT_THAT(text, Not(HasSubstr(c.familyName)));

    const size_t start = text.find('>', text.find("<korvex:patient ")) + 1;
    const std::string block = text.substr(start, text.find("</korvex:patient>") - start);
    for (const char* who : {"alpha", "beta"}) {
      const std::string plain = SMIMECrypto().Decrypt(identities_[who].key, identities_[who].certificate, block);
      EXPECT_THAT(plain, HasSubstr("<familyname>" + std::string(c.familyName) + "</familyname>")) << who;
    }
  }
}

}  // namespace
}  // namespace belmor::korvex
