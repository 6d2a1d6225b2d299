#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/exception.h"
#include "config/config_loader.h"
#include "config/document_loader.h"
#include "pipeline/duplicate_log.h"
#include "pipeline/read_step.h"
#include "pipeline/simple_invoice.h"
#include "pipeline/transform_step.h"
#include "pipeline/valid_step.h"
#include "pipeline/write_step.h"
#include "step_fixture.h"
#include "transport/credential_cache.h"
#include "transport/input_gate_client.h"
#include "support/fake_security_client.h"
#include "transport/security_client.h"
#include "transport/smime.h"

namespace belmor::korvex::testing {
namespace {

using ::testing::AnyOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

using Files = std::map<std::string, std::string>;

using belmor::testing::FakeSecurityClient;

// Answers the minimum-version query from memory.
class FakeGate : public InputGateClient {
 public:
  FakeGate() : InputGateClient(nullptr, "http://localhost:8443/gate/nord") {}
  std::shared_ptr<VersionInfo> QueryMinVersion() override {
    ++queries;
    if (failure) failure();
    return answer;
  }
  void Answer(const std::string& minDate, const std::string& minVer) {
    answer = std::make_shared<VersionInfo>();
    answer->minDate = minDate;
    answer->minVer = minVer;
  }

  std::shared_ptr<VersionInfo> answer = std::make_shared<VersionInfo>();
  std::function<void()> failure;
  int queries = 0;
};

class FakeCredentials : public CredentialCache {
 public:
  explicit FakeCredentials(const std::shared_ptr<Config>& config) : CredentialCache(config, nullptr, nullptr) {}
  void LoadCredentials(bool strict) override {
    loads.push_back(strict);
    if (fails) throw common::FileNotFoundException("Could not load certificate file", "tcnord-b");
  }
  bool fails = false;
  std::vector<bool> loads;
};

// The engine of StepEnvironment with doubles for what the four steps take from
// it, the invoice and response directories set, and every work directory made.
struct StepBench {
  StepBench() {
    engine->SetSecurityClient(std::make_shared<FakeSecurityClient>());
    engine->SetInputGateClient(gate);
    engine->SetCredentialCache(credentials);
    engine->SetDuplicateLog(duplicates);
    env.config->SetPathInputDir(common::Path(invoices, true));
    env.config->SetPathOutputDir(common::Path(answers, true));
    // The settings file outlives each test.
    env.config->SetArchive(true);
    // Debug reports and the write step's reports reach the sink only so.
    env.config->SetDebug(true);
    engine->SetResponseMessagesEnabled(true);
  }

  std::vector<Report>& Reports() { return env.sink->reports; }

  StepEnvironment env;
  std::shared_ptr<Korvex>& engine = env.engine;
  std::shared_ptr<FakeGate> gate = std::make_shared<FakeGate>();
  std::shared_ptr<FakeCredentials> credentials = std::make_shared<FakeCredentials>(env.config);
  std::shared_ptr<DuplicateLog> duplicates =
      std::make_shared<DuplicateLog>(env.config->GetDuplicateLogPath().ToString());
  std::string invoices = env.Dir("invoices");
  std::string answers = env.Dir("answers");
  std::string input = env.Dir("input");
  std::string valid = env.Dir("valid");
  std::string output = env.Dir("output");
  std::string responses = env.Dir("responses");
};

Report Of(int32_t origin, int32_t level, int32_t code, const std::string& fileName, const std::string& message) {
  return {level, mcModule, origin, code, fileName, message};
}

// The report RunStep makes of a step that failed.
Report Failed(int32_t origin, const std::string& stepName) {
  return Of(origin, mlError, 1, "", stepName + " abgeschlossen: 0 kopiert, 0 fehlerhafte Rechnungsdateien");
}

// The key values the fixture's keys stylesheets make of an invoice.
std::shared_ptr<SimpleInvoice> Summary(const std::string& id, const std::string& timestamp, const std::string& amount,
                                       const std::string& dateEnd) {
  auto invoice = std::make_shared<SimpleInvoice>();
  invoice->SetID(id);
  invoice->SetTimestamp(timestamp);
  invoice->SetAmount(amount);
  invoice->SetDateEnd(dateEnd);
  invoice->SetEsr("01-12345-6");
  invoice->SetEan("7601000000001");
  invoice->SetZsr("A123456");
  return invoice;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// Invoice 1.0 whose treatment ends on the given day.
std::string InvoiceEnding(const std::string& day) {
  return Replaced(Invoice("invoice-1.0-valid.xml"), "end=\"2026-11-20\"", "end=\"" + day + "\"");
}

TEST(ReadStepTest, TakesInvoicesIntoWorkInputUnderAFreeName) {
  StepBench b;
  WriteFile(b.invoices + "/a.xml", Invoice("invoice-1.0-valid.xml"));
  std::filesystem::permissions(b.invoices + "/a.xml", std::filesystem::perms::all);
  WriteFile(b.invoices + "/other.xml", Invoice("unknown-format.xml"));
  WriteFile(b.invoices + "/notes.txt", "not an invoice");
  WriteFile(b.input + "/a.xml", "read earlier");

  b.engine->RunReadStep();

  EXPECT_THAT(Names(b.invoices), ElementsAre("notes.txt"));
  EXPECT_THAT(Names(b.input), ElementsAre("a.1.xml", "a.xml"));
  EXPECT_EQ(ReadFile(b.input + "/a.xml"), "read earlier");
  EXPECT_EQ(ReadFile(b.input + "/a.1.xml"), Invoice("invoice-1.0-valid.xml"));
  // The billing program's file mode does not come along: patient data is the user's alone.
  EXPECT_EQ(std::filesystem::status(b.input + "/a.1.xml").permissions(), std::filesystem::perms::owner_read |
                                                                            std::filesystem::perms::owner_write);
  EXPECT_THAT(Names(b.env.ErrorDir()), ElementsAre("other.xml"));
  EXPECT_THAT(b.Reports(), Contains(Of(moPReader, mlInfo, 2, "a.xml", Text(29))));
  EXPECT_THAT(b.Reports(), Contains(Of(moPReader, mlWarning, 29, "other.xml", Text(57))));
  EXPECT_EQ(b.Reports().back(),
            Of(moPReader, mlInfo, 1, "", "Einlesen abgeschlossen: 1 kopiert, 1 fehlerhafte Rechnungsdateien"));
}

// The keys stylesheet of invoice 1.0: as shipped, without Amount, or one that
// fails and so gives no summary.
enum Keys { kShipped, kNoAmount, kNoSummary };

TEST(ValidationStepTest, SortsEachInvoiceByTheFirstCheckItFails) {
  struct Case {
    std::string name;
    std::string invoice;
    std::string minDate;
    std::string minVer;
    // Put into the duplicate log before the run.
    std::shared_ptr<SimpleInvoice> logged;
    Keys keys;
    int32_t code;  // 0: passed to work "valid"
    int message;
  };
  const std::string ending2020 = InvoiceEnding("2020-06-30");
  const Case cases[] = {
      {"valid", Invoice("invoice-1.0-valid.xml"), "", "", nullptr, kShipped, 0, 0},
      {"schema error", Invoice("invoice-1.0-schema-error.xml"), "", "", nullptr, kShipped, 10, 21},
      {"sent before", Invoice("invoice-2.0-valid.xml"), "", "",
       Summary("R-2026-0002", "2026-12-01", "80.00", "2026-11-28"), kShipped, 12, 23},
      {"another amount was sent", Invoice("invoice-2.0-valid.xml"), "", "",
       Summary("R-2026-0002", "2026-12-01", "81.00", "2026-11-28"), kShipped, 0, 0},
      {"no amount, though logged", Invoice("invoice-1.0-valid.xml"), "", "",
       Summary("R-2026-0001", "2026-11-30", "", "2026-11-20"), kNoAmount, 11, 22},
      {"client older than the minimum", ending2020, "2020-01-01", "5.1.0", nullptr, kShipped, 27, 56},
      {"client newer than the minimum", ending2020, "2020-01-01", "5.0.0", nullptr, kShipped, 0, 0},
      {"client at the minimum", ending2020, "2020-01-01", "5.0.3", nullptr, kShipped, 0, 0},
      {"minimum with a two-digit part", ending2020, "2020-01-01", "5.0.10", nullptr, kShipped, 27, 56},
      {"treatment ends before the minimum date", InvoiceEnding("2019-12-31"), "2020-01-01", "5.1.0", nullptr, kShipped,
       0, 0},
      {"gate names no date", ending2020, "", "5.1.0", nullptr, kShipped, 0, 0},
      {"no summary at all", Invoice("invoice-1.0-valid.xml"), "", "", nullptr, kNoSummary, 11, 22},
      {"too old and without amount", ending2020, "2020-01-01", "5.1.0", nullptr, kNoAmount, 27, 56},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StepBench b;
    if (c.keys != kShipped) {
      b.env.ReloadConfiguration([&c](Files& files) {
        std::string& keys = files["keys-1.0.xsl"];
        keys = c.keys == kNoAmount
                   ? Replaced(keys, "<Amount><xsl:value-of select=\"$invoice/inv:amount\"/></Amount>", "")
                   : Replaced(keys, "<keys>", "<xsl:message terminate=\"yes\">no keys</xsl:message><keys>");
      });
    }
    if (c.logged) b.duplicates->Add(c.logged);
    b.gate->Answer(c.minDate, c.minVer);
    WriteFile(b.input + "/inv.xml", c.invoice);

    b.engine->RunValidationStep();

    EXPECT_EQ(b.gate->queries, 1);
    EXPECT_THAT(Names(b.input), IsEmpty());
    if (c.code == 0) {
      EXPECT_THAT(Names(b.valid), ElementsAre("inv.xml"));
      EXPECT_EQ(ReadFile(b.valid + "/inv.xml"), c.invoice);
      EXPECT_THAT(Names(b.env.ErrorDir()), IsEmpty());
      EXPECT_THAT(b.Reports(), Contains(Of(moPChecker, mlInfo, 2, "inv.xml", Text(29))));
    } else {
      EXPECT_THAT(Names(b.valid), IsEmpty());
      ASSERT_FALSE(b.engine->GetCurrentDay().empty());
      EXPECT_THAT(b.env.ErrorDir(), HasSubstr("/err/" + b.engine->GetCurrentDay()));
      EXPECT_THAT(Names(b.env.ErrorDir()), ElementsAre("inv.xml"));
      EXPECT_EQ(ReadFile(b.env.ErrorDir() + "inv.xml"), c.invoice);
    }
    for (int32_t code : {10, 11, 12, 27}) {
      SCOPED_TRACE(code);
      if (code == c.code) {
        EXPECT_THAT(b.env.sink->WithCode(code), ElementsAre(Of(moPChecker, mlError, code, "inv.xml", Text(c.message))));
      } else {
        EXPECT_THAT(b.env.sink->WithCode(code), IsEmpty());
      }
    }
  }
}

TEST(ValidationStepTest, WithoutTheGatesAnswerNoInvoiceIsChecked) {
  struct Case {
    std::string name;
    std::function<void(StepBench&)> breakGate;
  };
  const Case cases[] = {
      {"gate raises", [](StepBench& b) { b.gate->failure = [] { throw common::RuntimeException("no route"); }; }},
      {"gate raises something else", [](StepBench& b) { b.gate->failure = [] { throw std::runtime_error("?"); }; }},
      {"gate answers nothing", [](StepBench& b) { b.gate->answer.reset(); }},
      {"no gate client", [](StepBench& b) { b.engine->SetInputGateClient(nullptr); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StepBench b;
    c.breakGate(b);
    WriteFile(b.input + "/a.xml", Invoice("invoice-1.0-valid.xml"));
    WriteFile(b.input + "/bad.xml", Invoice("invoice-1.0-schema-error.xml"));

    b.engine->RunValidationStep();

    EXPECT_THAT(Names(b.input), ElementsAre("a.xml", "bad.xml"));
    EXPECT_THAT(Names(b.valid), IsEmpty());
    EXPECT_THAT(Names(b.env.ErrorDir()), IsEmpty());
    EXPECT_THAT(b.env.sink->WithCode(16), ElementsAre(Of(moPChecker, mlError, 16, "", Text(16))));
    EXPECT_EQ(b.Reports().back(),
              Of(moPChecker, mlInfo, 1, "", "Überprüfen abgeschlossen: 0 kopiert, 0 fehlerhafte Rechnungsdateien"));
  }
}

TEST(ValidationStepTest, WithoutADuplicateLogNoInvoicePasses) {
  StepBench b;
  b.engine->SetDuplicateLog(nullptr);
  WriteFile(b.input + "/a.xml", Invoice("invoice-1.0-valid.xml"));

  b.engine->RunValidationStep();

  EXPECT_THAT(Names(b.input), ElementsAre("a.xml"));
  EXPECT_THAT(Names(b.valid), IsEmpty());
  EXPECT_EQ(b.Reports().back(), Failed(moPChecker, "Überprüfen"));
}

TEST(TransformStepTest, WrapsValidInvoicesForTheRecipients) {
  StepBench b;
  WriteFile(b.valid + "/a.xml", Invoice("invoice-1.0-valid.xml"));
  WriteFile(b.valid + "/b.xml", Invoice("invoice-2.0-valid.xml"));
  WriteFile(b.valid + "/bad.xml", Invoice("invoice-1.0-schema-error.xml"));

  b.engine->RunTransformStep();

  EXPECT_THAT(b.credentials->loads, ElementsAre(true));
  EXPECT_THAT(Names(b.valid), IsEmpty());
  EXPECT_THAT(Names(b.output), ElementsAre("a.xml", "b.xml"));
  for (const char* name : {"a.xml", "b.xml"}) {
    SCOPED_TRACE(name);
    const std::string text = ReadFile(b.output + "/" + name);
    EXPECT_THAT(text, HasSubstr("<korvex:datatransfer"));
    EXPECT_THAT(text, HasSubstr("rcpt=\"tcnord-a, tcnord-b\""));
    EXPECT_THAT(text, HasSubstr("filename=\"" + std::string(name) + "\""));
    // The patient leaves only as a person code and a block each recipient can open.
    EXPECT_THAT(text, HasSubstr("<korvex:patient person=\"a0"));
    EXPECT_THAT(text, Not(AnyOf(HasSubstr("Meier"), HasSubstr("Schmidt"))));
    const size_t start = text.find('>', text.find("<korvex:patient ")) + 1;
    const std::string block = text.substr(start, text.find("</korvex:patient>") - start);
    for (const char* recipient : {"tcnord-a", "tcnord-b"}) {
      const TestIdentity& id = RecipientIdentities().at(recipient);
      EXPECT_THAT(SMIMECrypto().Decrypt(id.key, id.certificate, block), HasSubstr("<familyname>")) << recipient;
    }
    EXPECT_THAT(b.Reports(), Contains(Of(moPAnonymizer, mlInfo, 2, name, Text(11))));
  }
  EXPECT_THAT(Names(b.env.ErrorDir()), ElementsAre("bad.xml"));
  EXPECT_EQ(ReadFile(b.env.ErrorDir() + "bad.xml"), Invoice("invoice-1.0-schema-error.xml"));
  EXPECT_THAT(b.env.sink->WithCode(10), ElementsAre(Of(moPAnonymizer, mlError, 10, "bad.xml", Text(21))));
  EXPECT_EQ(b.Reports().back(),
            Of(moPAnonymizer, mlInfo, 1, "", "Anonymisieren abgeschlossen: 2 kopiert, 1 fehlerhafte Rechnungsdateien"));
}

TEST(TransformStepTest, WithoutCertificatesTheInvoicesStayInValid) {
  struct Case {
    std::string name;
    std::function<void(StepBench&)> breakCredentials;
  };
  const Case cases[] = {
      {"a certificate cannot be fetched", [](StepBench& b) { b.credentials->fails = true; }},
      {"no credential cache", [](StepBench& b) { b.engine->SetCredentialCache(nullptr); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StepBench b;
    c.breakCredentials(b);
    WriteFile(b.valid + "/a.xml", Invoice("invoice-1.0-valid.xml"));

    b.engine->RunTransformStep();

    EXPECT_THAT(Names(b.valid), ElementsAre("a.xml"));
    EXPECT_THAT(Names(b.output), IsEmpty());
    EXPECT_THAT(b.env.sink->WithCode(15),
                ElementsAre(Of(moPAnonymizer, mlDebug, 15, "", "can't download certificate for current trust center"),
                            Of(moPAnonymizer, mlError, 15, "", Text(12))));
    EXPECT_EQ(b.Reports().back(), Failed(moPAnonymizer, "Anonymisieren"));
  }
}

TEST(WriteStepTest, ArchivesACopyOnlyWhenArchiveIsOn) {
  for (bool archive : {true, false}) {
    SCOPED_TRACE(archive);
    StepBench b;
    b.env.config->SetArchive(archive);
    // Like every step, the write step passes on only files a rule matches.
    const std::string response = Invoice("invoice-2.0-valid.xml");
    WriteFile(b.responses + "/r.xml", response);

    b.engine->RunWriteStep();

    EXPECT_THAT(Names(b.responses), IsEmpty());
    EXPECT_THAT(Names(b.answers), ElementsAre("r.xml"));
    EXPECT_EQ(ReadFile(b.answers + "/r.xml"), response);
    const std::string archived = b.env.config->GetPathResponsesArchive().ToString();
    ASSERT_FALSE(b.engine->GetCurrentDay().empty());
    EXPECT_THAT(archived, HasSubstr("/responses-archive/" + b.engine->GetCurrentDay()));
    if (archive) {
      EXPECT_THAT(Names(archived), ElementsAre("r.xml"));
      EXPECT_EQ(ReadFile(archived + "r.xml"), response);
    } else {
      EXPECT_THAT(Names(archived), IsEmpty());
    }
    EXPECT_EQ(b.Reports().back(),
              Of(moPWriter, mlInfo, 1, "", "Auslesen abgeschlossen: 1 kopiert, 0 fehlerhafte Rechnungsdateien"));
  }
}

TEST(StepDirectoryTest, AnUnusableDirectoryEndsTheRunWithItsReport) {
  struct Case {
    std::string name;
    std::function<void(Korvex&)> run;
    std::function<void(StepBench&)> breakDirectory;
    // Where an invoice waits; it must still be there afterwards.
    std::string StepBench::*source;
    int32_t origin;
    std::string stepName;
    int32_t code;
    int message;
    // A directory that is not there: the report names it.
    std::string StepBench::*missing = nullptr;
  };
  const auto remove = [](std::string StepBench::*dir) {
    return [dir](StepBench& b) { std::filesystem::remove_all(b.*dir); };
  };
  // A work folder that is missing is made again when the step starts; one
  // whose name leads nowhere cannot be.
  const auto dangle = [](std::string StepBench::*dir) {
    return [dir](StepBench& b) {
      std::filesystem::remove_all(b.*dir);
      std::filesystem::create_symlink(b.*dir + "-gone", b.*dir);
    };
  };
  const Case cases[] = {
      {"read: no invoice directory", &Korvex::RunReadStep, remove(&StepBench::invoices), nullptr, moPReader, "Einlesen",
       6, 74, &StepBench::invoices},
      {"read: the root as invoice directory", &Korvex::RunReadStep,
       [](StepBench& b) { b.env.config->SetPathInputDir(common::Path("/", true)); }, &StepBench::invoices, moPReader,
       "Einlesen", 6, 33},
      {"read: no work input", &Korvex::RunReadStep, dangle(&StepBench::input), &StepBench::invoices, moPReader,
       "Einlesen", 7, 46},
      {"validation: no work input", &Korvex::RunValidationStep, dangle(&StepBench::input), nullptr, moPChecker,
       "Überprüfen", 7, 34},
      {"transform: no work output", &Korvex::RunTransformStep, dangle(&StepBench::output), &StepBench::valid,
       moPAnonymizer, "Anonymisieren", 7, 34},
      {"write: no work responses", &Korvex::RunWriteStep, dangle(&StepBench::responses), nullptr, moPWriter, "Auslesen",
       23, 50},
      {"write: no response directory", &Korvex::RunWriteStep, remove(&StepBench::answers), &StepBench::responses,
       moPWriter, "Auslesen", 23, 74, &StepBench::answers},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StepBench b;
    c.breakDirectory(b);
    if (c.source) WriteFile(b.*c.source + "/a.xml", Invoice("invoice-1.0-valid.xml"));

    c.run(*b.engine);

    if (c.source) {
      EXPECT_THAT(Names(b.*c.source), ElementsAre("a.xml"));
    }
    const std::string text = c.missing ? FormatMessageText(Text(c.message), {common::Path(b.*c.missing, true).ToString()})
                                       : Text(c.message);
    EXPECT_THAT(b.Reports(), Contains(Of(c.origin, mlError, c.code, "", text)));
    EXPECT_THAT(b.env.sink->WithCode(2), IsEmpty());
    EXPECT_EQ(b.Reports().back(), Failed(c.origin, c.stepName));
  }
}

TEST(ValidationStepTest, ComparesVersionsPartByPart) {
  struct Case {
    const char* version;
    const char* minimum;
    bool older;
  };
  const Case cases[] = {
      {"5.0.3", "5.1.0", true},   {"5.0.3", "5.0.0", false},  {"5.0.3", "5.0.3", false},
      {"5.0.3", "5.0.10", true},  {"5.0.3", "5.0.03", false}, {"5.0.3", "5.0", false},
      {"5.0.3", "5.0.3.1", true}, {"5.0.3", "10.0", true},    {"5.0.3", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ValidationStep::IsOlderVersion(c.version, c.minimum), c.older) << c.version << " < " << c.minimum;
  }
}

}  // namespace
}  // namespace belmor::korvex::testing
