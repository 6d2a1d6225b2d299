#include "transport/smime.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "smime_test_util.h"
#include "support/temp_dir.h"

namespace belmor::korvex {
namespace {

using belmor::testing::ReadFile;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using testing::RunCommand;
using testing::TestIdentity;

class SMIMECryptoTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    keys_ = std::make_unique<TempDir>();
    auto made = testing::MakeIdentities(keys_->path(), {"alpha", "beta", "gamma"});
    alpha_ = made["alpha"];
    beta_ = made["beta"];
    gamma_ = made["gamma"];
  }
  static void TearDownTestSuite() { keys_.reset(); }

  // What the openssl command makes of one of our blocks for one recipient.
  std::string OpensslDecrypt(const std::string& tool, const std::string& block, const TestIdentity& who) {
    WriteFile(dir_.Sub("block.b64"), block);
    const CommandResult decoded = RunCommand("openssl base64 -d -in '" + dir_.Sub("block.b64") + "' -out '" +
                                      dir_.Sub("block.der") + "'");
    EXPECT_EQ(decoded.status, 0) << decoded.output;
    const CommandResult opened = RunCommand("openssl " + tool + " -decrypt -inform DER -in '" + dir_.Sub("block.der") +
                                     "' -recip '" + who.certificatePath + "' -inkey '" + who.keyPath + "' -out '" +
                                     dir_.Sub("plain") + "'");
    EXPECT_EQ(opened.status, 0) << opened.output;
    return opened.status == 0 ? ReadFile(dir_.Sub("plain")) : std::string();
  }

  // A block made by the openssl command for one recipient, as Base64 text.
  std::string OpensslEncrypt(const std::string& content, const TestIdentity& who) {
    WriteFile(dir_.Sub("content"), content);
    const CommandResult made = RunCommand("openssl smime -encrypt -des3 -binary -outform DER -in '" + dir_.Sub("content") +
                                   "' -out '" + dir_.Sub("made.der") + "' '" + who.certificatePath +
                                   "' && openssl base64 -in '" + dir_.Sub("made.der") + "'");
    EXPECT_EQ(made.status, 0) << made.output;
    return made.output;
  }

  using CommandResult = testing::CommandResult;
  static std::unique_ptr<TempDir> keys_;
  static TestIdentity alpha_, beta_, gamma_;
  TempDir dir_;
  SMIMECrypto crypto_;
};

std::unique_ptr<TempDir> SMIMECryptoTest::keys_;
TestIdentity SMIMECryptoTest::alpha_, SMIMECryptoTest::beta_, SMIMECryptoTest::gamma_;

TEST_F(SMIMECryptoTest, BlockForTwoRecipientsOpensWithTheOpensslCommandForEach) {
  const std::string text = "<patient>\n  <name>Meier</name>\n</patient>";
  const std::string block = crypto_.Encrypt({alpha_.certificate, beta_.certificate}, text);

  // The content goes out with its MIME header and CR LF line ends.
  const std::string expected =
      "Content-Type: application/octet-stream\r\n\r\n<patient>\r\n  <name>Meier</name>\r\n</patient>";
  EXPECT_EQ(OpensslDecrypt("smime", block, alpha_), expected);
  EXPECT_EQ(OpensslDecrypt("cms", block, beta_), expected);

  // And with our own Decrypt, the lines come back joined.
  EXPECT_EQ(crypto_.Decrypt(alpha_.key, alpha_.certificate, block), "<patient>  <name>Meier</name></patient>");
  EXPECT_EQ(crypto_.Decrypt(beta_.key, beta_.certificate, block), "<patient>  <name>Meier</name></patient>");
  EXPECT_THROW(crypto_.Decrypt(gamma_.key, gamma_.certificate, block), Pkcs7WrongCertificateException);
}

TEST_F(SMIMECryptoTest, BlockIsBase64InLinesOfSixtyFourCharacters) {
  const std::string block = crypto_.Encrypt({alpha_.certificate, beta_.certificate}, std::string(700, 'x'));
  ASSERT_FALSE(block.empty());
  ASSERT_EQ(block.back(), '\n');
  std::vector<std::string> lines;
  for (size_t start = 0; start < block.size();) {
    const size_t end = block.find('\n', start);
    lines.push_back(block.substr(start, end - start));
    start = end + 1;
  }
  ASSERT_GT(lines.size(), 2u);
  for (size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i].size(), 64u) << "line " << i;
  EXPECT_LE(lines.back().size(), 64u);
  EXPECT_GT(lines.back().size(), 0u);
}

TEST_F(SMIMECryptoTest, OnlyThePartFromPidOnIsProtected) {
  const std::string block = crypto_.Encrypt({alpha_.certificate}, "secret-before/pid:756.1234<x/>");
  const std::string plain = OpensslDecrypt("cms", block, alpha_);
  EXPECT_THAT(plain, HasSubstr("/pid:756.1234<x/>"));
  EXPECT_THAT(plain, Not(HasSubstr("secret-before")));
}

TEST_F(SMIMECryptoTest, BlockMadeByTheOpensslCommandOpensWithDecrypt) {
  struct Case {
    const char* name;
    std::string content;
    std::string expected;
  };
  const Case cases[] = {
      {"mime header", "Content-Type: text/plain\r\nX-Other: 1\r\n\r\n<a>hello</a>\r\n<b/>\r\n", "<a>hello</a><b/>"},
      {"no header", "<a>hello</a>\n<b/>\n", "<a>hello</a><b/>"},
      {"fewer than six characters", "Content-Type: text/plain\r\n\r\nabcde\r\n", ""},
      // A line far longer than any line buffer must arrive whole.
      {"long line", "Content-Type: text/plain\r\n\r\n<a>" + std::string(9000, 'z') + "</a>\r\n",
       "<a>" + std::string(9000, 'z') + "</a>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(crypto_.Decrypt(beta_.key, beta_.certificate, OpensslEncrypt(c.content, beta_)), c.expected);
  }
}

TEST_F(SMIMECryptoTest, UnwrapDropsHeadersAndJoinsLines) {
  struct Case {
    const char* name;
    std::string content;
    std::string expected;
  };
  const Case cases[] = {
      {"mime header up to the empty line", "Content-Type: a\r\nMore: b\r\n\r\nline1\r\nline2\r\n", "line1line2"},
      {"header line of under 3 characters ends it", "Content-Type: a\nxy\nrest\n", "rest"},
      {"header without end leaves nothing", "Content-Type: a\nMore: b\n", ""},
      {"leading blank removed", " first\nsecond\n", "firstsecond"},
      {"blank after invoice: removed", "my invoice: 42\nnext\n", "my invoice:42next"},
      {"xml declaration starts a header", "<?xml version=\"1.0\"?>\nhdr\n\n<a/>\n", "<a/>"},
      {"inner carriage returns become line feeds", "first\nx\ry\r\n", "firstx\ny\n"},
      {"only a final carriage return is removed", "first\r\nsecond\r\n", "firstsecond"},
      {"first line cut at its carriage return", "first\rjunk\nsecond", "firstsecond"},
      {"empty", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SMIMECrypto::Unwrap(c.content), c.expected);
  }
}

TEST_F(SMIMECryptoTest, EncryptFailuresNameTheirCause) {
  struct Case {
    const char* name;
    std::vector<std::string> certificates;
    std::string text;
    std::string message;
  };
  const std::string notPem = "-----BEGIN CERTIFICATE-----\nnot a certificate\n-----END CERTIFICATE-----\n";
  const Case cases[] = {
      {"empty text", {alpha_.certificate}, "", "SMIMECrypto::Encrypt: openssl BIO_puts failed"},
      {"no certificates", {}, "<a/>", "SMIMECrypto::Encrypt: no certificate available"},
      {"not a certificate", {notPem}, "<a/>", "SMIMECrypto::Encrypt: openssl PKCS7_encrypt failed"},
      // One bad certificate must not leave a block for the others only.
      {"one of two not a certificate", {alpha_.certificate, "garbage"}, "<a/>",
       "SMIMECrypto::Encrypt: openssl PKCS7_encrypt failed"},
      {"empty certificate text", {""}, "<a/>", "SMIMECrypto::Encrypt: openssl BIO_puts certificate X509 failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      crypto_.Encrypt(c.certificates, c.text);
      ADD_FAILURE() << "no exception";
    } catch (const common::RuntimeException& e) {
      EXPECT_EQ(e.Message(), c.message);
      EXPECT_STREQ(e.TypeName(), "RuntimeException");
    }
  }
}

TEST_F(SMIMECryptoTest, DecryptFailuresNameTheirCause) {
  const std::string block = crypto_.Encrypt({alpha_.certificate}, "<patient>Meier</patient>");
  struct Case {
    const char* name;
    std::string key;
    std::string certificate;
    std::string block;
    std::string type;
    std::string message;  // prefix
  };
  const Case cases[] = {
      {"empty key", "", alpha_.certificate, block, "RuntimeException", "SMIMECrypto::Decrypt: openssl BIO_puts failed"},
      {"key not PEM", "garbage", alpha_.certificate, block, "RuntimeException",
       "SMIMECrypto::Decrypt: openssl no key or cert"},
      {"certificate not PEM", alpha_.key, "garbage", block, "RuntimeException",
       "SMIMECrypto::Decrypt: openssl no key or cert"},
      {"block not PKCS#7", alpha_.key, alpha_.certificate, "bm90IHBrY3M3\n", "RuntimeException",
       "[SMIMECrypto::Decrypt][openssl d2i_PKCS7 failed]"},
      {"block not Base64", alpha_.key, alpha_.certificate, "%%%", "RuntimeException",
       "[SMIMECrypto::Decrypt][openssl d2i_PKCS7 failed]"},
      {"someone else's key", beta_.key, beta_.certificate, block, "Pkcs7WrongCertificateException",
       "openssl PKCS7_decrypt failed: error:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      crypto_.Decrypt(c.key, c.certificate, c.block);
      ADD_FAILURE() << "no exception";
    } catch (const common::RuntimeException& e) {
      EXPECT_THAT(e.Message(), StartsWith(c.message));
      EXPECT_EQ(e.TypeName(), c.type);
    }
  }
}

TEST(Pkcs7WrongCertificateExceptionTest, IsARuntimeExceptionWithItsDescription) {
  const Pkcs7WrongCertificateException e("detail");
  const common::RuntimeException& base = e;
  EXPECT_STREQ(base.Description(), "Pkcs7 wrong certificate exception");
  EXPECT_EQ(base.Clone()->TypeName(), std::string("Pkcs7WrongCertificateException"));
}

}  // namespace
}  // namespace belmor::korvex
