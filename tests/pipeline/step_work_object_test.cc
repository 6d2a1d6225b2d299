#include "pipeline/step_work_object.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libxml/tree.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "config/documents.h"
#include "config/package_fixture.h"
#include "config/rule.h"
#include "pipeline/simple_invoice.h"
#include "platform/system_error.h"
#include "step_fixture.h"
#include "support/file_size_limit.h"

namespace belmor::korvex::testing {
namespace {

using belmor::testing::FileSizeLimit;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

class StepWorkObjectTest : public ::testing::Test {
 protected:
  // A work object for a new file in the source directory.
  std::shared_ptr<StepWorkObject> Work(const std::string& name, const std::string& content) {
    WriteFile(in_ + "/" + name, content);
    return std::make_shared<StepWorkObject>(env_.engine, step_, common::Path(in_ + "/" + name),
                                            common::Path(out_ + "/" + name));
  }
  // The messages of the reports about one file.
  std::vector<std::string> MessagesFor(const std::string& fileName) const {
    std::vector<std::string> messages;
    for (const auto& r : env_.sink->reports) {
      if (r.fileName == fileName) messages.push_back(r.message);
    }
    return messages;
  }
  std::shared_ptr<TrustCenter> Center(int32_t id) const {
    for (const auto& center : env_.config->Centers()) {
      if (center->id == id) return center;
    }
    return nullptr;
  }

  StepEnvironment env_;
  std::string in_ = env_.Dir("in");
  std::string out_ = env_.Dir("out");
  std::shared_ptr<MovingStep> step_ = std::make_shared<MovingStep>(env_.engine, in_, out_);
};

std::string Attribute(const XmlDoc& document, const char* name) {
  xmlChar* value = xmlGetProp(xmlDocGetRootElement(document.get()), reinterpret_cast<const xmlChar*>(name));
  std::string text = value ? reinterpret_cast<const char*>(value) : "<absent>";
  xmlFree(value);
  return text;
}

TEST_F(StepWorkObjectTest, PrepareReadsTheFileAndPicksItsRule) {
  auto known = Work("a.xml", Invoice("invoice-2.0-valid.xml"));
  ASSERT_TRUE(known->Prepare());
  EXPECT_EQ(known->Text(), Invoice("invoice-2.0-valid.xml"));
  EXPECT_TRUE(known->Document()->Good());
  EXPECT_EQ(known->GetRule()->Version(), "fixture-invoice-2.0");

  auto unknown = Work("b.xml", Invoice("unknown-format.xml"));
  EXPECT_FALSE(unknown->Prepare());
  EXPECT_EQ(unknown->GetRule(), nullptr);
}

TEST_F(StepWorkObjectTest, ValidateReportsEachSchemaError) {
  env_.config->SetDebug(true);
  struct Case {
    std::string name;
    std::string content;
    bool valid;
  };
  const Case cases[] = {
      {"valid.xml", Invoice("invoice-1.0-valid.xml"), true},
      {"schema-error.xml", Invoice("invoice-1.0-schema-error.xml"), false},
      // Matches the rule by its namespace but is not well-formed.
      {"broken.xml", "<invoice xmlns=\"urn:belmor:fixture:invoice:1.0\"><number>", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto work = Work(c.name, c.content);
    ASSERT_TRUE(work->Prepare());
    EXPECT_EQ(work->Validate(), c.valid);
    EXPECT_EQ(work->IsValid(), c.valid);
  }
  EXPECT_THAT(MessagesFor("valid.xml"), ElementsAre("valid XML"));
  EXPECT_THAT(MessagesFor("broken.xml"), ElementsAre("unparsable XML"));

  // One report per schema error (date, amount, patient's sex), then the verdict.
  const std::string error = "VALIDATION ERROR: line ";
  const std::string element = ", column 0, Element '{urn:belmor:fixture:invoice:1.0}";
  EXPECT_THAT(MessagesFor("schema-error.xml"),
              ElementsAre(StartsWith(error + "4" + element + "date'"), StartsWith(error + "5" + element + "amount'"),
                          StartsWith(error + "7" + element + "patient'"),
                          "no valid XML"));
  for (const auto& r : env_.sink->reports) EXPECT_EQ(r.level, mlDebug) << r;
}

TEST_F(StepWorkObjectTest, TransformHandsTheStylesheetsTheirParameters) {
  // Quotes of both kinds and a Latin-1 byte: the name must reach the
  // stylesheet as text, in UTF-8, and not end its string literal.
  const std::string name = "O'Brien \"M\xfcller\".xml";
  auto work = Work(name, Invoice("invoice-1.0-valid.xml"));
  ASSERT_TRUE(work->Prepare());

  ASSERT_TRUE(work->Transform());

  const XmlDoc& result = *work->Document();
  EXPECT_STREQ(reinterpret_cast<const char*>(xmlDocGetRootElement(result.get())->name), "datatransfer");
  EXPECT_EQ(Attribute(result, "rcpt"), "tcnord-a, tcnord-b");
  EXPECT_EQ(Attribute(result, "filename"), "O'Brien \"M\xc3\xbcller\".xml");
  EXPECT_EQ(Attribute(result, "rule"), "fixture-invoice-1.0");
  EXPECT_EQ(Attribute(result, "machineID"), env_.engine->GetMachineId());
  EXPECT_EQ(Attribute(result, "libVersion"), env_.engine->GetClientDescription());
  EXPECT_EQ(work->Text(), result.ToString());

  std::string recipient;
  EXPECT_TRUE(work->isTransformedForTrustCenter(Center(1), recipient));
  EXPECT_EQ(recipient, "tcnord-a, tcnord-b");
  EXPECT_FALSE(work->isTransformedForTrustCenter(Center(2), recipient));

  // What is passed on is the transformed invoice.
  work->MoveTo();
  EXPECT_EQ(ReadFile(out_ + "/" + name), work->Text());
  EXPECT_THAT(Names(in_), IsEmpty());
}

TEST_F(StepWorkObjectTest, RecipientIsReadFromTheDatatransferElementOnly) {
  auto center = std::make_shared<TrustCenter>();
  center->rcpt = "tc-sued_1@example.ch";
  struct Case {
    const char* text;
    bool matches;
  };
  const Case cases[] = {
      {"<korvex:datatransfer xmlns:korvex=\"urn:k\" rcpt=\"tc-sued_1@example.ch\"><a/></korvex:datatransfer>", true},
      {"<KORVEX:DataTransfer xmlns:KORVEX=\"urn:k\"\n  RCPT=\"tc-sued_1@example.ch\"/>", true},
      {"<korvex:datatransfer xmlns:korvex=\"urn:k\" id=\"1\"><x rcpt=\"tc-sued_1@example.ch\"/></korvex:datatransfer>",
       false},
      {"<korvex:datatransfer xmlns:korvex=\"urn:k\" xrcpt=\"tc-sued_1@example.ch\"/>", false},
      {"<invoice rcpt=\"tc-sued_1@example.ch\"/>", false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto work = Work("r" + std::to_string(n++) + ".xml", c.text);
    work->Prepare();
    fixture::LogCapture log;
    std::string recipient = "unset";
    EXPECT_EQ(work->isTransformedForTrustCenter(center, recipient), c.matches);
    EXPECT_EQ(recipient, c.matches ? center->rcpt : "unset");
    EXPECT_EQ(log.Has("[StepWorkObject::isTransformedForTrustCenter][regex error: No match]"), !c.matches);
  }
}

TEST_F(StepWorkObjectTest, SimpleInvoiceComesFromTheDuplicateCheck) {
  auto work = Work("a.xml", Invoice("invoice-2.0-valid.xml"));
  EXPECT_EQ(work->GetSimpleInvoice(), nullptr);  // no rule yet
  ASSERT_TRUE(work->Prepare());

  std::shared_ptr<SimpleInvoice> invoice = work->GetSimpleInvoice();

  ASSERT_NE(invoice, nullptr);
  EXPECT_EQ(work->GetInvoice(), invoice);
  EXPECT_EQ(invoice->GetID(), "R-2026-0002");
  EXPECT_EQ(invoice->GetAmount(), "80.00");
  EXPECT_EQ(invoice->GetTimestamp(), "2026-12-01");
  EXPECT_EQ(invoice->GetDateEnd(), "2026-11-28");
  EXPECT_EQ(invoice->GetEsr(), "01-12345-6");
  EXPECT_EQ(invoice->GetEan(), "7601000000001");
  EXPECT_EQ(invoice->GetZsr(), "A123456");
  EXPECT_FALSE(invoice->GetStorno());
}

ino_t Inode(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// Moves hand on the file itself while it is what was read, and write the
// text when only the text changed. A file that changed after it was read (the
// billing program is still writing it) is another invoice: it stays where it
// is, untouched, and nothing is written for it.
TEST_F(StepWorkObjectTest, MoveRenamesTheFileOnlyWhileItIsWhatWasRead) {
  const std::string invoice = Invoice("invoice-1.0-valid.xml");
  std::string sameSize = invoice;
  sameSize.back() = sameSize.back() == ' ' ? '\n' : ' ';
  const auto rewriteLater = [&](const std::string& p) {
    WriteFile(p, sameSize);
    const timespec later[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 5, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), later, 0), 0);
  };
  struct Case {
    const char* name;
    // Runs after Prepare, before MoveTo.
    std::function<void(StepWorkObject&, const std::string& path)> change;
    bool passed;
    bool renamed;
    // In "out" when passed on; otherwise in "in", as it was left.
    std::string expected;
  };
  const Case cases[] = {
      {"unchanged", [](StepWorkObject&, const std::string&) {}, true, true, invoice},
      {"text replaced", [](StepWorkObject& w, const std::string&) { w.SetText("<changed/>"); }, true, false,
       "<changed/>"},
      {"file grown", [&](StepWorkObject&, const std::string& p) { WriteFile(p, invoice + "<!-- more -->"); }, false,
       false, invoice + "<!-- more -->"},
      {"same size, rewritten later", [&](StepWorkObject&, const std::string& p) { rewriteLater(p); }, false, false,
       sameSize},
      {"text replaced and file rewritten",
       [&](StepWorkObject& w, const std::string& p) {
         w.SetText("<changed/>");
         rewriteLater(p);
       },
       false, false, sameSize},
      {"replaced by another file",
       [&](StepWorkObject&, const std::string& p) {
         WriteFile(p + ".new", invoice);
         std::filesystem::rename(p + ".new", p);
       },
       false, false, invoice},
  };
  int passed = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    env_.sink->reports.clear();
    auto work = Work("a.xml", invoice);
    ASSERT_TRUE(work->Prepare());
    const ino_t inode = Inode(in_ + "/a.xml");
    c.change(*work, in_ + "/a.xml");
    const ino_t before = Inode(in_ + "/a.xml");

    EXPECT_EQ(work->MoveTo(), c.passed);

    if (c.passed) {
      ++passed;
      EXPECT_THAT(Names(in_), IsEmpty());
      ASSERT_THAT(Names(out_), ElementsAre("a.xml"));
      EXPECT_EQ(ReadFile(out_ + "/a.xml"), c.expected);
      EXPECT_EQ(Inode(out_ + "/a.xml") == inode, c.renamed);
      EXPECT_THAT(env_.sink->reports, ElementsAre(Report{mlInfo, mcModule, moPReader, 2, "a.xml", Text(29)}));
      std::filesystem::remove(out_ + "/a.xml");
    } else {
      EXPECT_THAT(Names(out_), IsEmpty());
      ASSERT_THAT(Names(in_), ElementsAre("a.xml"));
      EXPECT_EQ(ReadFile(in_ + "/a.xml"), c.expected);
      EXPECT_EQ(Inode(in_ + "/a.xml"), before);
      EXPECT_THAT(env_.sink->reports, ElementsAre(Report{mlWarning, mcModule, moPReader, 3, "a.xml", Text(30)}));
      // Not to the error directory either: the next run reads it again.
      EXPECT_FALSE(work->MoveToError());
      EXPECT_THAT(Names(env_.ErrorDir()), IsEmpty());
      EXPECT_THAT(Names(in_), ElementsAre("a.xml"));
      std::filesystem::remove(in_ + "/a.xml");
    }
  }
  EXPECT_EQ(step_->Copied(), passed);
  EXPECT_EQ(step_->Errors(), 0);
}

// A destination on another file system cannot take a rename: the invoice is
// written there and the source removed, as before.
TEST_F(StepWorkObjectTest, MoveToAnotherFileSystemWritesACopy) {
  const std::string other = "/dev/shm/korvex-move-" + std::to_string(::getpid());
  struct stat here {}, there {};
  if (::stat("/dev/shm", &there) != 0 || ::stat(in_.c_str(), &here) != 0 || here.st_dev == there.st_dev) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  auto work = std::make_shared<StepWorkObject>(env_.engine, step_, common::Path(in_ + "/a.xml"),
                                               common::Path(other + "/a.xml"));
  WriteFile(in_ + "/a.xml", Invoice("invoice-1.0-valid.xml"));
  ASSERT_TRUE(work->Prepare());

  work->MoveTo();

  EXPECT_THAT(Names(in_), IsEmpty());
  EXPECT_EQ(ReadFile(other + "/a.xml"), Invoice("invoice-1.0-valid.xml"));
  EXPECT_EQ(step_->Copied(), 1);
  std::filesystem::remove_all(other);
}

TEST_F(StepWorkObjectTest, CopyToKeepsTheSourceAndDeleteSourceCountsAsPassedOn) {
  auto work = Work("a.xml", Invoice("invoice-1.0-valid.xml"));
  ASSERT_TRUE(work->Prepare());
  const std::string archive = env_.work.Sub("archive/2026-12-01");

  work->CopyTo(common::Path(archive, true));
  work->CopyTo(common::Path(archive, true));
  {
    FileSizeLimit limit(16);
    work->CopyTo(common::Path(archive, true));
  }

  EXPECT_THAT(Names(archive), ElementsAre("a.1.xml", "a.xml"));
  EXPECT_EQ(ReadFile(archive + "/a.1.xml"), work->Text());
  EXPECT_THAT(Names(in_), ElementsAre("a.xml"));
  EXPECT_EQ(step_->Copied(), 0);
  const Report passed{mlInfo, mcModule, moPReader, 2, "a.xml", Text(29)};
  EXPECT_THAT(env_.sink->reports,
              ElementsAre(passed, passed,
                          Report{mlError, mcSystem, moPReader, EFBIG, in_ + "/a.xml", platform::SystemErrorText(EFBIG)},
                          Report{mlWarning, mcModule, moPReader, 3, "a.xml", Text(30)}));

  env_.sink->reports.clear();
  work->DeleteSource();
  EXPECT_THAT(Names(in_), IsEmpty());
  EXPECT_EQ(step_->Copied(), 1);
  EXPECT_THAT(env_.sink->reports, ElementsAre(passed));
}

// After a good upload the send step removes the file it sent; a file that is
// no longer what was sent, or that cannot be removed, is reported and stays.
TEST_F(StepWorkObjectTest, DeleteSourceRemovesOnlyTheFileThatWasRead) {
  const std::string invoice = Invoice("invoice-1.0-valid.xml");
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> change;
    bool removed;
  };
  const Case cases[] = {
      {"unchanged", [](const std::string&) {}, true},
      {"rewritten", [&](const std::string& p) { WriteFile(p, invoice + " "); }, false},
      {"gone", [](const std::string& p) { std::filesystem::remove(p); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    env_.sink->reports.clear();
    auto work = Work("a.xml", invoice);
    ASSERT_TRUE(work->Prepare());
    c.change(in_ + "/a.xml");
    const bool existed = std::filesystem::exists(in_ + "/a.xml");

    EXPECT_EQ(work->DeleteSource(), c.removed);

    EXPECT_EQ(std::filesystem::exists(in_ + "/a.xml"), existed && !c.removed);
    EXPECT_THAT(env_.sink->reports, ElementsAre(c.removed ? Report{mlInfo, mcModule, moPReader, 2, "a.xml", Text(29)}
                                                          : Report{mlWarning, mcModule, moPReader, 3, "a.xml", Text(30)}));
    std::filesystem::remove(in_ + "/a.xml");
  }
  EXPECT_EQ(step_->Copied(), 1);
}

}  // namespace
}  // namespace belmor::korvex::testing
