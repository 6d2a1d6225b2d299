#include "pipeline/abstract_step.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <stdexcept>

#include "common/exception.h"
#include "config/config.h"
#include "pipeline/client_exception.h"
#include "platform/system_error.h"
#include "step_fixture.h"
#include "support/file_size_limit.h"

namespace belmor::korvex::testing {
namespace {

using belmor::testing::FileSizeLimit;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

// A report of the moving step (origin moPReader), class mcModule.
Report Step(int32_t level, int32_t code, const std::string& fileName, const std::string& message) {
  return {level, mcModule, moPReader, code, fileName, message};
}

Report Started() { return Step(mlInfo, 0, "", "Einlesen gestartet"); }
Report Count(int32_t files) {
  return {mlInfo, mcCount, moPReader, files, "", std::to_string(files) + " Dateien werden bearbeitet"};
}
Report Finished(int copied, int failed) {
  return Step(mlInfo, 1, "",
              "Einlesen abgeschlossen: " + std::to_string(copied) + " kopiert, " + std::to_string(failed) +
                  " fehlerhafte Rechnungsdateien");
}

class AbstractStepTest : public ::testing::Test {
 protected:
  std::shared_ptr<MovingStep> NewStep() { return std::make_shared<MovingStep>(env_.engine, in_, out_); }
  std::vector<Report>& Reports() { return env_.sink->reports; }

  StepEnvironment env_;
  std::string in_ = env_.Dir("in");
  std::string out_ = env_.Dir("out");
};

TEST_F(AbstractStepTest, InitQueuesPlainFilesWhoseExtensionIsXml) {
  for (const char* name : {"a.XML", "b.xml", "c.xml.bak", "xml", ".kx-tmp-17-0"}) WriteFile(in_ + "/" + name, "x");
  std::filesystem::create_directory(in_ + "/d.xml");
  auto step = NewStep();

  ASSERT_TRUE(step->Init());

  std::vector<std::string> queued(step->Queue().begin(), step->Queue().end());
  std::sort(queued.begin(), queued.end());
  EXPECT_THAT(queued, ElementsAre("a.XML", "b.xml"));
  EXPECT_TRUE(std::filesystem::is_directory(env_.ErrorDir()));
  step->ClearQueue();
}

TEST_F(AbstractStepTest, RunPassesMatchedFilesOnAndRejectsTheRest) {
  WriteFile(in_ + "/one.xml", Invoice("invoice-1.0-valid.xml"));
  WriteFile(in_ + "/two.xml", Invoice("invoice-2.0-valid.xml"));
  WriteFile(in_ + "/other.xml", Invoice("unknown-format.xml"));
  auto step = NewStep();

  step->Run();

  EXPECT_THAT(Names(in_), IsEmpty());
  EXPECT_THAT(Names(out_), ElementsAre("one.xml", "two.xml"));
  EXPECT_EQ(ReadFile(out_ + "/two.xml"), Invoice("invoice-2.0-valid.xml"));
  EXPECT_THAT(Names(env_.ErrorDir()), ElementsAre("other.xml"));
  EXPECT_EQ(ReadFile(env_.ErrorDir() + "other.xml"), Invoice("unknown-format.xml"));
  EXPECT_EQ(step->Copied(), 2);
  EXPECT_EQ(step->Errors(), 1);

  ASSERT_EQ(Reports().size(), 6u);
  EXPECT_EQ(Reports()[0], Started());
  EXPECT_EQ(Reports()[1], Count(3));
  EXPECT_THAT(std::vector<Report>(Reports().begin() + 2, Reports().end() - 1),
              UnorderedElementsAre(Step(mlInfo, 2, "one.xml", Text(29)), Step(mlInfo, 2, "two.xml", Text(29)),
                                   Step(mlWarning, 29, "other.xml", Text(57))));
  EXPECT_EQ(Reports().back(), Finished(2, 1));

  EXPECT_EQ(step->cleanups, 1);
  EXPECT_THAT(step->Queue(), IsEmpty());
}

TEST_F(AbstractStepTest, EmptySourceWarnsAndStillCleansUp) {
  auto step = NewStep();
  step->Run();

  EXPECT_THAT(Reports(), ElementsAre(Started(), Count(0), Step(mlWarning, 4, "", "Keine Datei gefunden"),
                                     Finished(0, 0)));
  EXPECT_EQ(step->cleanups, 1);
}

TEST_F(AbstractStepTest, FailedPreHandleHandlesNoFileButCleansUp) {
  WriteFile(in_ + "/one.xml", Invoice("invoice-1.0-valid.xml"));
  auto step = NewStep();
  step->preHandle = [] { return false; };

  step->Run();

  EXPECT_THAT(Names(in_), ElementsAre("one.xml"));
  EXPECT_THAT(Reports(), ElementsAre(Started(), Count(1), Finished(0, 0)));
  EXPECT_EQ(step->cleanups, 1);
}

TEST_F(AbstractStepTest, CancelBetweenFilesLeavesTheRestInTheSource) {
  for (const char* name : {"a.xml", "b.xml", "c.xml"}) WriteFile(in_ + "/" + name, Invoice("invoice-1.0-valid.xml"));
  auto step = NewStep();
  step->afterHandle = [] { RunState::CancelFlag() = true; };

  step->Run();

  ASSERT_EQ(step->handled.size(), 1u);
  EXPECT_THAT(Names(out_), ElementsAre(step->handled[0]));
  EXPECT_EQ(Names(in_).size(), 2u);
  EXPECT_THAT(Names(in_), Not(Contains(step->handled[0])));
  EXPECT_THAT(Reports(), Contains(Step(mlWarning, 5, "", "Bearbeitung abgebrochen")));
  EXPECT_EQ(Reports().back(), Finished(1, 0));
  EXPECT_EQ(step->cleanups, 1);
}

TEST_F(AbstractStepTest, CancelBeforeTheRunDoesNothing) {
  WriteFile(in_ + "/a.xml", Invoice("invoice-1.0-valid.xml"));
  RunState::CancelFlag() = true;
  auto step = NewStep();

  step->Run();

  EXPECT_THAT(Reports(), IsEmpty());
  EXPECT_THAT(Names(in_), ElementsAre("a.xml"));
  EXPECT_EQ(step->cleanups, 0);
}

// The step lock belongs to the run that took it: however a step ends, it
// does not give the lock back, whatever the auto-run flag says. (A step that
// freed it at its end report let a client start a second run beside the
// rest of the first.)
TEST_F(AbstractStepTest, NoWayAStepEndsGivesTheRunsLockBack) {
  const common::Path work = env_.config->GetPathWork();
  struct Case {
    const char* what;
    std::function<void(MovingStep&)> arrange;
    bool fails;
  };
  const Case cases[] = {
      {"files passed on", [](MovingStep&) {}, false},
      {"cancel before the step", [](MovingStep&) { RunState::CancelFlag() = true; }, false},
      {"cancel between files", [](MovingStep& step) { step.afterHandle = [] { RunState::CancelFlag() = true; }; },
       false},
      // A new work base is made when it is set: this one went afterwards.
      {"failed check",
       [&](MovingStep&) {
         env_.config->set_path_work(common::Path(env_.work.Sub("missing"), true));
         std::filesystem::remove_all(env_.work.Sub("missing"));
       },
       true},
      {"failure after Init",
       [](MovingStep& step) { step.afterInit = [] { throw std::runtime_error("broken"); }; }, true},
  };
  for (const bool autoRun : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (autoRun ? ", auto run" : ""));
      for (const char* name : {"a.xml", "b.xml"}) WriteFile(in_ + "/" + name, Invoice("invoice-1.0-valid.xml"));
      RunState::AutoRunFlag() = autoRun;
      StepSemaphore::Lease lease = env_.semaphore->Acquire();
      ASSERT_TRUE(lease);
      auto step = NewStep();
      c.arrange(*step);

      bool failed = false;
      try {
        step->Run();
      } catch (const common::RuntimeException&) {
        failed = true;
      }

      EXPECT_EQ(failed, c.fails);
      EXPECT_FALSE(env_.SemaphoreFree());
      lease = StepSemaphore::Lease();
      EXPECT_TRUE(env_.SemaphoreFree());
      RunState::CancelFlag() = false;
      RunState::AutoRunFlag() = false;
      env_.config->set_path_work(work);
      for (const std::string& dir : {in_, out_}) {
        for (const std::string& name : Names(dir)) std::filesystem::remove(dir + "/" + name);
      }
    }
  }
}

TEST(SingleFileModeTest, TakesTheNamedFileOnlyAndReportsAMissingOne) {
  struct Case {
    std::string name;
    bool found;
  };
  const Case cases[] = {
      {"given.txt", true},            // whatever its extension
      {"absent.xml", false},          //
      {"d.xml", false},               // a directory
      {"../elsewhere/x.xml", false},  // a path out of the source directory
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StepEnvironment env;
    const std::string in = env.Dir("in");
    const std::string out = env.Dir("out");
    WriteFile(in + "/given.txt", Invoice("invoice-1.0-valid.xml"));
    WriteFile(in + "/other.xml", Invoice("invoice-1.0-valid.xml"));
    WriteFile(env.Dir("elsewhere") + "/x.xml", Invoice("invoice-1.0-valid.xml"));
    std::filesystem::create_directory(in + "/d.xml");
    RunState::SetSingleFileMode(true, c.name);
    auto step = std::make_shared<MovingStep>(env.engine, in, out);

    step->Run();

    if (c.found) {
      EXPECT_THAT(Names(out), ElementsAre("given.txt"));
      EXPECT_THAT(env.sink->reports, ElementsAre(Started(), Count(1), Step(mlInfo, 2, "given.txt", Text(29)),
                                                 Finished(1, 0)));
    } else {
      EXPECT_THAT(Names(out), IsEmpty());
      EXPECT_THAT(env.sink->reports, ElementsAre(Started(), Step(mlError, 31, c.name, ""), Finished(0, 0)));
      EXPECT_EQ(step->cleanups, 0);
    }
    EXPECT_THAT(Names(in), Contains("other.xml"));
    EXPECT_THAT(Names(env.Dir("elsewhere")), ElementsAre("x.xml"));
  }
}

TEST_F(AbstractStepTest, FailedWriteKeepsTheInvoiceInTheSource) {
  WriteFile(in_ + "/good.xml", Invoice("invoice-1.0-valid.xml"));
  WriteFile(in_ + "/other.xml", Invoice("unknown-format.xml"));
  auto step = NewStep();
  // The step passes on a text of its own, as the transform step does, so the
  // move has to write it.
  step->beforeMove = [](StepWorkObject& work) { work.SetText(work.Text()); };
  {
    // Every write past 16 bytes fails as on a full disk; the events still arrive.
    FileSizeLimit limit(16);
    step->Run();
  }

  EXPECT_THAT(Names(in_), ElementsAre("good.xml"));
  EXPECT_EQ(ReadFile(in_ + "/good.xml"), Invoice("invoice-1.0-valid.xml"));
  EXPECT_THAT(Names(out_), IsEmpty());
  EXPECT_THAT(Reports(), Contains(Report{mlError, mcSystem, moPReader, EFBIG, in_ + "/good.xml",
                                         platform::SystemErrorText(EFBIG)}));
  EXPECT_THAT(Reports(), Contains(Step(mlWarning, 3, "good.xml", "Datei nicht kopiert")));
  // The unmatched file is passed on unchanged: renamed, it needs no write.
  EXPECT_THAT(Names(env_.ErrorDir()), ElementsAre("other.xml"));
  EXPECT_EQ(ReadFile(env_.ErrorDir() + "other.xml"), Invoice("unknown-format.xml"));
  EXPECT_THAT(Reports(), Contains(Step(mlWarning, 29, "other.xml", Text(57))));
  EXPECT_EQ(Reports().back(), Finished(0, 1));
}

TEST_F(AbstractStepTest, TakenNameInTheDestinationGetsTheNextNumber) {
  WriteFile(in_ + "/x.xml", Invoice("invoice-1.0-valid.xml"));
  WriteFile(out_ + "/x.xml", "first");
  WriteFile(out_ + "/x.1.xml", "second");
  auto step = NewStep();
  step->afterHandle = [&] { EXPECT_EQ(step->last.lock()->DestinationFile().ToString(), out_ + "/x.2.xml"); };

  step->Run();

  EXPECT_THAT(Names(out_), ElementsAre("x.1.xml", "x.2.xml", "x.xml"));
  EXPECT_EQ(ReadFile(out_ + "/x.xml"), "first");
  EXPECT_EQ(ReadFile(out_ + "/x.1.xml"), "second");
  EXPECT_EQ(ReadFile(out_ + "/x.2.xml"), Invoice("invoice-1.0-valid.xml"));
  EXPECT_THAT(Reports(), Contains(Step(mlInfo, 2, "x.xml", Text(29))));
}

TEST_F(AbstractStepTest, FileThatVanishedIsSkippedAndTheRunGoesOn) {
  WriteFile(in_ + "/a.xml", Invoice("invoice-1.0-valid.xml"));
  WriteFile(in_ + "/b.xml", Invoice("invoice-1.0-valid.xml"));
  auto step = NewStep();
  step->preHandle = [&] { return std::filesystem::remove(in_ + "/b.xml"); };

  step->Run();

  EXPECT_THAT(Names(out_), ElementsAre("a.xml"));
  EXPECT_THAT(Reports(), Contains(Step(mlWarning, 3, "b.xml", "Datei nicht kopiert")));
  EXPECT_EQ(Reports().back(), Finished(1, 0));
}

// One file's failure, of whatever kind, is reported for that file; the file
// stays where it was, and the files behind it are still handled.
TEST_F(AbstractStepTest, FailureOfOneFileIsReportedForItAndTheRunGoesOn) {
  const struct {
    const char* what;
    std::function<void()> fail;
    Report report;
  } cases[] = {
      {"library failure", [] { throw common::RuntimeException("gate answer unreadable"); },
       Step(mlWarning, 3, "b.xml", "Datei nicht kopiert")},
      {"file failure", [] { throw common::FileException("gone", "b.xml", ENOENT); },
       Step(mlWarning, 3, "b.xml", "Datei nicht kopiert")},
      {"standard failure", [] { throw std::out_of_range("index"); }, Step(mlWarning, 3, "b.xml", "Datei nicht kopiert")},
      {"client exception", [] { throw ClientException(mlError, mcModule, moPReader, 17, "b.xml", "own text"); },
       Step(mlError, 17, "b.xml", "own text")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* name : {"a.xml", "b.xml", "c.xml"}) WriteFile(in_ + "/" + name, Invoice("invoice-1.0-valid.xml"));
    Reports().clear();
    auto step = NewStep();
    step->beforeMove = [&](StepWorkObject& work) {
      if (work.FileName() == "b.xml") c.fail();
    };

    ASSERT_NO_THROW(step->Run());

    EXPECT_THAT(Names(in_), ElementsAre("b.xml"));
    EXPECT_THAT(Names(out_), ElementsAre("a.xml", "c.xml"));
    EXPECT_THAT(Reports(), Contains(c.report));
    EXPECT_EQ(Reports().back(), Finished(2, 0));
    EXPECT_EQ(step->cleanups, 1);
    for (const std::string& name : Names(out_)) std::filesystem::remove(out_ + "/" + name);
    std::filesystem::remove(in_ + "/b.xml");
  }
}

// Cleanup closes the gate session and fetches the responses: it runs also
// when the preparation or the handling ended the run.
TEST_F(AbstractStepTest, CleanupRunsWhenTheHandlingEndsTheRun) {
  const struct {
    const char* what;
    std::function<void(MovingStep&)> arrange;
  } cases[] = {
      {"PreHandle throws",
       [](MovingStep& step) { step.preHandle = []() -> bool { throw common::RuntimeException("no session"); }; }},
      {"Handle throws what is no exception of ours",
       [](MovingStep& step) { step.beforeMove = [](StepWorkObject&) { throw 42; }; }},
  };
  WriteFile(in_ + "/a.xml", Invoice("invoice-1.0-valid.xml"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto step = NewStep();
    c.arrange(*step);

    EXPECT_THROW(step->Run(), common::RuntimeException);

    EXPECT_EQ(step->cleanups, 1);
    EXPECT_THAT(Names(in_), ElementsAre("a.xml"));
    EXPECT_THAT(step->Queue(), IsEmpty());
  }
}

// Temporaries that a killed run left hold whole invoices in clear text; the
// next step start removes those of its work-area directories, and nothing
// else.
TEST_F(AbstractStepTest, StepStartRemovesStaleTemporariesOfItsWorkAreaDirectories) {
  TempDir foreign;
  const std::string outside = foreign.Sub("outside.txt");
  WriteFile(outside, "not ours");
  const std::string error = env_.ErrorDir();
  std::filesystem::create_directories(error);
  for (const std::string& dir : {in_, out_, error, foreign.path()}) {
    WriteFile(dir + "/.kx-tmp-17-0", "invoice in clear text");
    WriteFile(dir + "/keep.xml", Invoice("invoice-1.0-valid.xml"));
    WriteFile(dir + "/.kx-other", "kept");
  }
  std::filesystem::create_directory(in_ + "/.kx-tmp-dir");
  std::filesystem::create_symlink(outside, out_ + "/.kx-tmp-link");

  auto inWork = NewStep();
  ASSERT_TRUE(inWork->Init());
  inWork->ClearQueue();
  // The billing program's directory is not the work area's: left alone.
  auto fromOutside = std::make_shared<MovingStep>(env_.engine, foreign.path(), out_);
  ASSERT_TRUE(fromOutside->Init());
  fromOutside->ClearQueue();

  EXPECT_THAT(Names(in_), ElementsAre(".kx-other", ".kx-tmp-dir", "keep.xml"));
  // Only regular files: a link of that name is none of ours, nor what it names.
  EXPECT_THAT(Names(out_), ElementsAre(".kx-other", ".kx-tmp-link", "keep.xml"));
  EXPECT_THAT(Names(error), ElementsAre(".kx-other", "keep.xml"));
  EXPECT_THAT(Names(foreign.path()), ElementsAre(".kx-other", ".kx-tmp-17-0", "keep.xml", "outside.txt"));
  EXPECT_EQ(ReadFile(outside), "not ours");
}

TEST_F(AbstractStepTest, ErrorDirectoryOfTheDayIsTheUsersAlone) {
  env_.engine->SetCurrentDay("2024-03-07");
  const mode_t saved = ::umask(0);
  auto step = NewStep();
  const bool initialised = step->Init();
  ::umask(saved);
  ASSERT_TRUE(initialised);
  for (const std::string& dir : {env_.ErrorDir(), std::filesystem::path(env_.ErrorDir()).parent_path().parent_path().string()}) {
    struct stat st;
    ASSERT_EQ(::stat(dir.c_str(), &st), 0) << dir;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << dir;
  }
}

TEST_F(AbstractStepTest, FailedChecksEndTheRunWithTheirReport) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    Report report;
  };
  const Case cases[] = {
      // A new work base is made when it is set: this one went afterwards.
      {"work directory missing",
       [&] {
         env_.config->set_path_work(common::Path(env_.work.Sub("missing"), true));
         std::filesystem::remove_all(env_.work.Sub("missing"));
       },
       Step(mlError, 7, "", "Basisverzeichnis ungültig")},
      {"work directory path too short", [&] { env_.config->set_path_work(common::Path("/", true)); },
       Step(mlFatal, 7, "", "Basisverzeichnis ungültig")},
      {"no trust center", [&] { env_.config->SelectCenter(std::shared_ptr<TrustCenter>()); },
       Step(mlError, 9, "", "Trust Center nicht gesetzt")},
  };
  WriteFile(in_ + "/a.xml", Invoice("invoice-1.0-valid.xml"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const common::Path work = env_.config->GetPathWork();
    Reports().clear();
    c.arrange();

    try {
      NewStep()->Run();
      ADD_FAILURE() << "no exception";
    } catch (const common::RuntimeException& e) {
      EXPECT_EQ(e.Message(), "AbstractStep::Run failed");
    }

    EXPECT_THAT(Reports(), ElementsAre(c.report));
    EXPECT_THAT(Names(in_), ElementsAre("a.xml"));
    env_.config->set_path_work(work);
    env_.config->SelectCenter(1);
  }
}

TEST_F(AbstractStepTest, ExceptionsLeavingTheRunAreReportedByKind) {
  env_.config->SetDebug(true);
  const ConfigLoadException configFailure("package broken");
  struct Case {
    const char* what;
    std::function<void()> fail;
    std::vector<Report> reports;  // after the start report
    const char* cause;            // TypeName of the cause, "" for none
  };
  const Case cases[] = {
      {"client exception", [] { throw ClientException(mlWarning, mcAsas, moPSender, 77, "f.xml", "custom"); },
       {Report{mlWarning, mcAsas, moPSender, 77, "f.xml", "custom"}}, "ClientException"},
      {"configuration load", [&] { throw configFailure; },
       {Step(mlDebug, 30, "", configFailure.Text()), Step(mlError, 30, "", "Konfiguration ist nicht komplett")},
       "ConfigLoadException"},
      {"other", [] { throw std::runtime_error("other"); }, {}, ""},
  };
  WriteFile(in_ + "/a.xml", Invoice("invoice-1.0-valid.xml"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reports().clear();
    auto step = NewStep();
    step->afterInit = c.fail;

    try {
      step->Run();
      ADD_FAILURE() << "no exception";
    } catch (const common::RuntimeException& e) {
      EXPECT_EQ(e.Message(), "AbstractStep::Run failed");
      EXPECT_STREQ(e.Cause() ? e.Cause()->TypeName() : "", c.cause);
    }

    std::vector<Report> expected = {Started()};
    expected.insert(expected.end(), c.reports.begin(), c.reports.end());
    EXPECT_THAT(Reports(), ElementsAreArray(expected));
    EXPECT_THAT(Names(in_), ElementsAre("a.xml"));
    // The files queued before the failure do not outlive the run.
    EXPECT_THAT(step->Queue(), IsEmpty());
  }
}

}  // namespace
}  // namespace belmor::korvex::testing
