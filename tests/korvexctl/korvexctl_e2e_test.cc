// korvexctl against the real server on a private session bus, with the test
// trust center: the server is registered per user and started by the bus.

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include "ctl.h"
#include "e2e/e2e_support.h"
#include "platform/scoped_env.h"
#include "platform/step_lock.h"
#include "support/private_bus.h"
#include "support/child_process.h"
#include "support/invoice_factory.h"
#include "support/temp_dir.h"
#include "support/trust_center_sim.h"

namespace belmor::korvexctl {
namespace {

namespace fs = std::filesystem;
using belmor::korvex::e2e::Practice;
using belmor::korvex::e2e::UploadedNumbers;
using belmor::testing::GeneratedInvoiceNumber;
using belmor::testing::ReadFile;
using belmor::testing::Child;
using belmor::testing::PrivateBus;
using belmor::testing::ScopedEnv;
using belmor::testing::WaitFor;
using belmor::testing::TempDir;
using belmor::testing::TrustCenterSim;
using belmor::testing::WriteFile;
using Numbers = std::multiset<std::string>;

class KorvexctlEndToEnd : public ::testing::Test {
 protected:
  KorvexctlEndToEnd() {
    practice_.PreloadToken();
    Child reg({KORVEX_SERVER_PROGRAM, "-RegServerPerUser"}, out_.Sub("reg.out"));
    EXPECT_EQ(reg.Wait(std::chrono::seconds(60)), 0) << reg.Output();
  }

  Child Ctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{KORVEXCTL_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    return Child(argv, out_.Sub("ctl-" + std::to_string(++calls_) + ".out"));
  }

  Numbers AddInvoices(int first, int count) {
    Numbers numbers;
    for (int n = first; n < first + count; ++n) {
      practice_.AddInvoice(n);
      numbers.insert(GeneratedInvoiceNumber(n));
    }
    return numbers;
  }

  Numbers Uploaded() const {
    const std::vector<std::string> uploads = UploadedNumbers(sim_);
    return Numbers(uploads.begin(), uploads.end());
  }

  bool RunActive() const {
    return FlockHeld(platform::StepLockFile(platform::kRunLockName), ReadFile("/proc/locks"));
  }

  // Each upload takes a second: long enough to act while the run works.
  void SlowUploads() {
    sim_.SetControl(R"({"fault": "slow", "slow_seconds": 1, "fault_methods": ["korvex.inputgate.write2"]})");
  }

  // Each test registers the server afresh, on a bus of its own.
  TempDir data_;
  ScopedEnv dataHome_{"XDG_DATA_HOME", data_.path()};
  TrustCenterSim sim_;
  Practice practice_{sim_};
  PrivateBus bus_;
  TempDir out_;
  int calls_ = 0;
};

TEST_F(KorvexctlEndToEnd, AutoWaitSendsEveryInvoiceAndShowsTheRunToItsEnd) {
  const Numbers input = AddInvoices(1, 3);
  Child run = Ctl({"auto", "--wait"});
  ASSERT_EQ(run.Wait(), kExitOk) << run.Output();
  EXPECT_EQ(Uploaded(), input);
  // The send step's completion ends the output; the steps before it are shown.
  const std::string output = run.Output();
  EXPECT_THAT(output, ::testing::HasSubstr("Einlesen gestartet"));
  EXPECT_THAT(output, ::testing::HasSubstr(Practice::InvoiceFileName(2) + ": "));
  EXPECT_THAT(output, ::testing::ContainsRegex("Senden/Empfangen abgeschlossen: 3 kopiert[^\n]*\n$"));
  EXPECT_THAT(output, ::testing::Not(::testing::HasSubstr("FEHLER")));

  // Nothing waits any more, and the server's directories are the practice's.
  Child status = Ctl({"--json", "status"});
  ASSERT_EQ(status.Wait(), kExitOk) << status.Output();
  const std::string json = status.Output();
  EXPECT_THAT(json, ::testing::HasSubstr("\"runActive\":false"));
  EXPECT_THAT(json, ::testing::HasSubstr("{\"place\":\"invoices\",\"path\":\"" + practice_.InvoiceDir()));
  EXPECT_THAT(json, ::testing::ContainsRegex("\"place\":\"workOutput\",\"path\":\"[^\"]*\",\"count\":0"));
  EXPECT_THAT(json, ::testing::ContainsRegex("\"place\":\"invoices\",\"path\":\"[^\"]*\",\"count\":0"));
}

TEST_F(KorvexctlEndToEnd, AutoWaitExitsOneWhenTheGateRejectsAnInvoice) {
  AddInvoices(1, 2);
  sim_.SetControl(R"({"fault": "xmlrpc_fault", "fault_methods": ["korvex.inputgate.write2"]})");
  Child run = Ctl({"--json", "auto", "--wait"});
  EXPECT_EQ(run.Wait(), kExitFailed) << run.Output();
  const std::string output = run.Output();
  EXPECT_THAT(output, ::testing::HasSubstr("\"levelName\":\"mlError\",\"class\":2,\"className\":\"mcModule\","
                                           "\"origin\":4,\"originName\":\"moPSender\""));
  // The run was followed to its end, the send step's completion.
  EXPECT_THAT(output, ::testing::ContainsRegex("\"origin\":4,[^\n]*\"code\":1,[^\n]*\n$"));
  // Both invoices wait for the next run.
  Child status = Ctl({"--json", "status"});
  ASSERT_EQ(status.Wait(), kExitOk);
  EXPECT_THAT(status.Output(), ::testing::ContainsRegex("\"place\":\"workOutput\",\"path\":\"[^\"]*\",\"count\":2"));
}

TEST_F(KorvexctlEndToEnd, ASecondRunWhileOneWorksIsBusyAndStartsNothing) {
  const Numbers input = AddInvoices(1, 4);
  SlowUploads();
  Child first = Ctl({"auto", "--wait"});
  ASSERT_TRUE(WaitFor([this] { return RunActive(); })) << first.Output();
  const std::vector<std::vector<std::string>> seconds = {{"auto"}, {"send", "--wait"}, {"write"}};
  for (const auto& args : seconds) {
    Child second = Ctl(args);
    EXPECT_EQ(second.Wait(), kExitBusy) << args.front() << ": " << second.Output();
    EXPECT_THAT(second.Output(), ::testing::HasSubstr("busy"));
  }
  // The status sees the run and what it still has to send.
  Child status = Ctl({"status"});
  ASSERT_EQ(status.Wait(), kExitOk);
  EXPECT_THAT(status.Output(), ::testing::HasSubstr("Run active:    yes"));

  EXPECT_EQ(first.Wait(), kExitOk) << first.Output();
  EXPECT_EQ(Uploaded(), input) << "every invoice once, none by a refused call";
}

// With --queue a run that finds another one active waits for it and then
// starts, showing only its own reports; interrupted while it waits, it
// starts nothing.
TEST_F(KorvexctlEndToEnd, AQueuedRunWaitsForTheActiveOneAndThenSendsWhatCameMeanwhile) {
  Numbers input = AddInvoices(1, 5);
  SlowUploads();
  Child first = Ctl({"auto", "--wait"});
  // The first run has read its invoices; these are for the queued one.
  ASSERT_TRUE(WaitFor([this] { return !Uploaded().empty(); })) << first.Output();
  const Numbers later = AddInvoices(6, 2);
  input.insert(later.begin(), later.end());

  const auto waiting = [](const Child& child) {
    return child.Output().find("waiting for its end") != std::string::npos;
  };
  Child interrupted = Ctl({"auto", "--queue"});
  Child queued = Ctl({"--json", "auto", "--wait", "--queue"});
  ASSERT_TRUE(WaitFor([&] { return waiting(interrupted) && waiting(queued); }))
      << interrupted.Output() << queued.Output();
  ::kill(interrupted.Pid(), SIGTERM);
  EXPECT_EQ(interrupted.Wait(), 128 + SIGTERM) << interrupted.Output();
  EXPECT_THAT(interrupted.Output(), ::testing::HasSubstr("nothing was started"));

  EXPECT_EQ(first.Wait(), kExitOk) << first.Output();
  ASSERT_EQ(queued.Wait(), kExitOk) << queued.Output();
  EXPECT_EQ(Uploaded(), input) << "every invoice once: the first run's five, the queued run's two";
  // Its own run from the start to the send step's completion, none of the
  // first run's reports.
  const std::string output = queued.Output();
  EXPECT_THAT(output, ::testing::HasSubstr(Practice::InvoiceFileName(6)));
  for (int n = 1; n <= 5; ++n) EXPECT_THAT(output, ::testing::Not(::testing::HasSubstr(Practice::InvoiceFileName(n))));
  EXPECT_THAT(output, ::testing::ContainsRegex("\"origin\":4,[^\n]*\"code\":1,[^\n]*\n$"));
}

// The upload in flight when the server died has an unknown outcome: the next
// run holds it for the practice instead of sending it again, and `status`
// shows it, whatever day it was, until the practice removes its file.
TEST_F(KorvexctlEndToEnd, AServerKilledDuringTheRunIsReportedAndTheNextRunLosesNothing) {
  const Numbers input = AddInvoices(1, 5);
  SlowUploads();
  Child run = Ctl({"auto", "--wait"});
  // Killed while the send step works: at least one invoice is through.
  ASSERT_TRUE(WaitFor([this] { return !UploadedNumbers(sim_).empty(); })) << run.Output();
  bus_.KillServer();
  EXPECT_EQ(run.Wait(), kExitWentAway) << run.Output();
  EXPECT_THAT(run.Output(), ::testing::HasSubstr("went away"));

  sim_.SetControl("{}");
  Child again = Ctl({"auto", "--wait"});
  const int status = again.Wait();
  // An error for the held invoice, if one was in flight at the kill.
  EXPECT_TRUE(status == kExitOk || status == kExitFailed) << again.Output();

  Child shown = Ctl({"--json", "status"});
  ASSERT_EQ(shown.Wait(), kExitOk) << shown.Output();
  std::smatch match;
  const std::string json = shown.Output();
  ASSERT_TRUE(std::regex_search(json, match, std::regex(R"re("place":"unknown","path":"[^"]*","count":(\d+),"files":\[([^\]]*)\])re")))
      << json;
  const std::string files = match[2].str();
  std::vector<std::string> held;
  const Numbers uploaded = Uploaded();
  std::set<std::string> accounted(uploaded.begin(), uploaded.end());
  for (int n = 1; n <= 5; ++n) {
    if (files.find("/" + Practice::InvoiceFileName(n) + "\"") == std::string::npos) continue;
    held.push_back(files.substr(1, files.find('"', 1) - 1));
    accounted.insert(GeneratedInvoiceNumber(n));
  }
  EXPECT_EQ(match[1].str(), std::to_string(held.size()));
  EXPECT_LE(held.size(), 1u) << "only the upload in flight is in doubt";
  EXPECT_EQ(held.empty(), status == kExitOk) << again.Output();
  EXPECT_EQ(accounted, std::set<std::string>(input.begin(), input.end())) << "every invoice sent or held, none lost";
  EXPECT_EQ(std::set<std::string>(uploaded.begin(), uploaded.end()).size(), uploaded.size()) << "none sent twice";

  if (!held.empty()) {
    Child text = Ctl({"status"});
    ASSERT_EQ(text.Wait(), kExitOk);
    EXPECT_THAT(text.Output(), ::testing::ContainsRegex("  Outcome unknown \\(any day\\) +1  [^\n]*\n      " +
                                                        std::regex_replace(held.front(), std::regex(R"([.()\[\]])"), R"(\$&)")));
    // The practice has asked the trust center and removes the file.
    fs::remove(held.front());
    Child after = Ctl({"--json", "status"});
    ASSERT_EQ(after.Wait(), kExitOk);
    EXPECT_THAT(after.Output(), ::testing::HasSubstr("\"place\":\"unknown\",\"path\""));
    EXPECT_THAT(after.Output(), ::testing::ContainsRegex("\"place\":\"unknown\",[^}]*\"count\":0,\"files\":\\[\\]"));
  }
}

// A run stopped from outside (korvexctl cancel from another shell) or by
// interrupting the korvexctl that follows it (its instance is released,
// which cancels the run) stops between files; the follower ends, and the
// next run sends what was left, nothing twice.
TEST_F(KorvexctlEndToEnd, AStoppedRunEndsItsFollowerAndTheNextRunSendsTheRest) {
  const struct {
    const char* how;
    int signal;  // 0: korvexctl cancel
    int status;
  } cases[] = {{"cancel", 0, kExitOk}, {"SIGTERM", SIGTERM, 128 + SIGTERM}, {"SIGINT", SIGINT, 128 + SIGINT}};
  int first = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    const Numbers before = Uploaded();
    const Numbers input = AddInvoices(first, 4);
    first += 4;
    SlowUploads();
    Child run = Ctl({"auto", "--wait"});
    ASSERT_TRUE(WaitFor([&] { return Uploaded().size() > before.size(); })) << run.Output();
    if (c.signal) {
      ::kill(run.Pid(), c.signal);
    } else {
      Child cancel = Ctl({"cancel"});
      EXPECT_EQ(cancel.Wait(), kExitOk) << cancel.Output();
    }
    EXPECT_EQ(run.Wait(), c.status) << run.Output();
    // Stopped between files: the server is free again and not everything went.
    ASSERT_TRUE(WaitFor([this] { return !RunActive(); }));
    EXPECT_LT(Uploaded().size(), before.size() + input.size());

    sim_.SetControl("{}");
    Child again = Ctl({"auto", "--wait"});
    ASSERT_EQ(again.Wait(), kExitOk) << again.Output();
    Numbers expected = before;
    expected.insert(input.begin(), input.end());
    EXPECT_EQ(Uploaded(), expected);
  }
}

TEST_F(KorvexctlEndToEnd, SettingsGoThroughTheServerAndRunsEndAlsoWithoutTheirLastReport) {
  // A directory from the home, a boolean in words; the server keeps both.
  const std::string home = std::getenv("HOME");
  const struct {
    std::vector<std::string> set;
    std::string json;
  } cases[] = {
      {{"set", "outputDirectory", "~/Antworten-neu"},
       "{\"property\":\"outputDirectory\",\"value\":\"" + home + "/Antworten-neu"},
      {{"set", "withArchive", "no"}, "{\"property\":\"withArchive\",\"value\":false}"},
      {{"set", "withArchive", "YES"}, "{\"property\":\"withArchive\",\"value\":true}"},
  };
  fs::create_directories(home + "/Antworten-neu");
  for (const auto& c : cases) {
    Child set = Ctl(c.set);
    ASSERT_EQ(set.Wait(), kExitOk) << set.Output();
    Child get = Ctl({"--json", "get", c.set[1]});
    ASSERT_EQ(get.Wait(), kExitOk) << get.Output();
    EXPECT_THAT(get.Output(), ::testing::StartsWith(c.json));
  }
  const struct {
    std::vector<std::string> args;
    int status;
  } refused[] = {
      {{"set", "withArchive", "maybe"}, kExitUsage},
      {{"set", "korvexVersion", "x"}, kExitUsage},
      {{"set", "noSuchProperty", "x"}, kExitUsage},
      {{"get", "noSuchProperty"}, kExitUsage},
      {{"--json", "get", "noSuchProperty"}, kExitUsage},
      {{"set", "zsrDownFilter", "a#b"}, kExitFailed},  // the settings file cannot hold it
      {{"get", "activateGUI"}, kExitFailed},
      // The server changes nothing and says nothing; korvexctl says it.
      {{"set", "trustCenter", "TC-NOWHERE"}, kExitFailed},
  };
  for (const auto& r : refused) {
    Child child = Ctl(r.args);
    EXPECT_EQ(child.Wait(), r.status) << r.args[1] << ": " << child.Output();
  }
  // A listed name, and a center's old name, select it; an unknown one is named.
  const struct {
    std::string name;
    int status;
    std::string selected;
  } centers[] = {{"Trustcenter Sued", kExitOk, "TC-SUED"},
                 {"TC-NORD", kExitOk, "TC-NORD"},
                 {"TC-NORD", kExitOk, "TC-NORD"},
                 {"Trustcenter Nirgends", kExitFailed, "TC-NORD"}};
  for (const auto& c : centers) {
    Child set = Ctl({"set", "trustCenter", c.name});
    EXPECT_EQ(set.Wait(), c.status) << c.name << ": " << set.Output();
    if (c.status != kExitOk) {
      EXPECT_THAT(set.Output(), ::testing::HasSubstr("no trust center 'Trustcenter Nirgends'"));
      EXPECT_THAT(set.Output(), ::testing::HasSubstr("stays 'TC-NORD'"));
    }
    Child get = Ctl({"get", "trustCenter"});
    ASSERT_EQ(get.Wait(), kExitOk);
    EXPECT_EQ(get.Output(), "trustCenter: " + c.selected + "\n") << c.name;
  }
  // Everything at once: activateGUI's refusal is part of the answer.
  Child all = Ctl({"--json", "get"});
  ASSERT_EQ(all.Wait(), kExitOk) << all.Output();
  EXPECT_THAT(all.Output(), ::testing::HasSubstr("{\"property\":\"korvexVersion\",\"value\":\"Korvex Ordiva V 5.0.3\"}"));
  EXPECT_THAT(all.Output(), ::testing::HasSubstr("{\"property\":\"activateGUI\",\"error\":\"ch.belmor.Korvex.Error.NotImplemented\""));

  // With response reports switched off the write step's completion never
  // arrives; the run still ends when the server is done.
  Child off = Ctl({"set", "responseMessagesEnabled", "false"});
  ASSERT_EQ(off.Wait(), kExitOk) << off.Output();
  Child write = Ctl({"write", "--wait"});
  EXPECT_EQ(write.Wait(), kExitOk) << write.Output();
}

// A relative directory is meant from where the user stands; a put the
// server refuses ends korvexctl with 1 and the server's reason, and the
// setting stays.
TEST_F(KorvexctlEndToEnd, DirectoriesAreSentAbsoluteAndARefusedPutExitsOneWithTheReason) {
  const std::string here = practice_.Root() + "/hier";
  fs::create_directories(here);
  {
    // Children inherit the working directory.
    const fs::path before = fs::current_path();
    fs::current_path(here);
    Child set = Ctl({"set", "inputDirectory", "Rechnungen-neu"});
    fs::current_path(before);
    ASSERT_EQ(set.Wait(), kExitOk) << set.Output();
  }
  Child get = Ctl({"get", "inputDirectory"});
  ASSERT_EQ(get.Wait(), kExitOk);
  EXPECT_EQ(get.Output(), "inputDirectory: " + here + "/Rechnungen-neu/\n");

  const struct {
    std::vector<std::string> args;
    const char* reason;
  } refused[] = {
      {{"set", "inputDirectory", "/etc/passwd"}, "ch.belmor.Korvex.Error.InvalidArg: 0x80070057: not a directory: /etc/passwd/"},
      {{"set", "workDirectory", "C:\\Praxis"}, "ch.belmor.Korvex.Error.InvalidArg: 0x80070057: not an absolute directory"},
  };
  for (const auto& r : refused) {
    Child child = Ctl(r.args);
    EXPECT_EQ(child.Wait(), kExitFailed) << child.Output();
    EXPECT_THAT(child.Output(), ::testing::HasSubstr(r.reason));
  }
  Child still = Ctl({"get", "inputDirectory"});
  ASSERT_EQ(still.Wait(), kExitOk);
  EXPECT_EQ(still.Output(), get.Output());

  // A settings file the server could not read takes no change.
  bus_.KillServer();
  ASSERT_TRUE(WaitFor([&] { return bus_.ServerPid() == 0; }));
  fs::remove(practice_.AppData("korvex.ini"));
  fs::create_directory(practice_.AppData("korvex.ini"));
  Child unreadable = Ctl({"set", "zsrDownFilter", "P1"});
  EXPECT_EQ(unreadable.Wait(), kExitFailed) << unreadable.Output();
  EXPECT_THAT(unreadable.Output(), ::testing::HasSubstr("ch.belmor.Korvex.Error.Fail: 0x80004005: the settings cannot be stored"));
  EXPECT_THAT(unreadable.Output(), ::testing::HasSubstr("could not be read"));
  Child filter = Ctl({"get", "zsrDownFilter"});
  ASSERT_EQ(filter.Wait(), kExitOk);
  EXPECT_EQ(filter.Output(), "zsrDownFilter:\n");
}

// A trust center that takes an upload and never answers: --timeout cancels
// the run and ends korvexctl with its own status; the run is over soon after.
TEST_F(KorvexctlEndToEnd, ATimeoutCancelsAHungRunAndExitsSix) {
  AddInvoices(1, 2);
  sim_.SetControl(R"({"fault": "slow", "slow_seconds": 900, "fault_methods": ["korvex.inputgate.write2"]})");
  Child run = Ctl({"auto", "--wait", "--timeout", "3"});
  EXPECT_EQ(run.Wait(std::chrono::seconds(120)), kExitTimedOut) << run.Output();
  EXPECT_THAT(run.Output(), ::testing::HasSubstr("timed out after 3 s (--timeout): the run is cancelled"));
  // The run had started: its reports were shown up to the hung upload.
  EXPECT_THAT(run.Output(), ::testing::HasSubstr("Einlesen gestartet"));

  ASSERT_TRUE(WaitFor([this] { return !RunActive(); }, std::chrono::seconds(90))) << "the cancelled run never ended";
  Child status = Ctl({"--json", "status"});
  ASSERT_EQ(status.Wait(), kExitOk) << status.Output();
  EXPECT_THAT(status.Output(), ::testing::HasSubstr("\"runActive\":false"));
}

// Waiting in the queue counts; the run waited for is another one's and is
// not cancelled.
TEST_F(KorvexctlEndToEnd, ATimeoutWhileQueuedStartsNothingAndLeavesTheActiveRunAlone) {
  const Numbers input = AddInvoices(1, 3);
  sim_.SetControl(R"({"fault": "slow", "slow_seconds": 2, "fault_methods": ["korvex.inputgate.write2"]})");
  Child first = Ctl({"auto", "--wait"});
  ASSERT_TRUE(WaitFor([this] { return RunActive(); })) << first.Output();
  Child queued = Ctl({"auto", "--wait", "--queue", "--timeout", "1"});
  EXPECT_EQ(queued.Wait(), kExitTimedOut) << queued.Output();
  EXPECT_THAT(queued.Output(), ::testing::HasSubstr("nothing was started"));
  EXPECT_EQ(first.Wait(), kExitOk) << first.Output();
  EXPECT_EQ(Uploaded(), input);
}

// Names that would drive a terminal (a window title, a cleared screen) are
// shown escaped in the text output and with JSON's escapes in --json.
TEST_F(KorvexctlEndToEnd, AFileNameWithTerminalControlsIsShownEscaped) {
  const std::string name = "\x1b]0;owned\x07\x1b[2J.xml";
  WriteFile(practice_.InvoiceDir() + name, "<not an invoice");
  Child text = Ctl({"read", "--wait"});
  EXPECT_EQ(text.Wait(), kExitOk) << text.Output();
  EXPECT_THAT(text.Output(), ::testing::HasSubstr("\\x1b]0;owned\\x07\\x1b[2J.xml: "));
  EXPECT_EQ(text.Output().find('\x1b'), std::string::npos) << text.Output();
  EXPECT_EQ(text.Output().find('\x07'), std::string::npos);

  WriteFile(practice_.InvoiceDir() + "2" + name, "<not an invoice");
  Child json = Ctl({"--json", "read", "--wait"});
  EXPECT_EQ(json.Wait(), kExitOk) << json.Output();
  EXPECT_THAT(json.Output(), ::testing::HasSubstr("\"file\":\"2\\u001b]0;owned\\u0007\\u001b[2J.xml\""));
  EXPECT_EQ(json.Output().find('\x1b'), std::string::npos) << json.Output();
}

// A run lock that cannot be used (here a directory where the file must be)
// is the server's failure with its reason, not another run being active.
TEST_F(KorvexctlEndToEnd, AnUnusableRunLockFailsTheRunWithItsReasonNotBusy) {
  const std::string lock = platform::StepLockFile(platform::kRunLockName);
  fs::remove(lock);
  fs::create_directory(lock);
  struct Cleanup {
    std::string path;
    ~Cleanup() { fs::remove(path); }
  } cleanup{lock};
  Child run = Ctl({"auto", "--wait", "--queue"});
  EXPECT_EQ(run.Wait(), kExitFailed) << run.Output();
  EXPECT_THAT(run.Output(), ::testing::HasSubstr("ch.belmor.Korvex.Error.Fail"));
  EXPECT_THAT(run.Output(), ::testing::HasSubstr(lock));
  EXPECT_THAT(run.Output(), ::testing::Not(::testing::HasSubstr("waiting for its end")));
}

TEST_F(KorvexctlEndToEnd, WatchFollowsAnotherClientsRunUntilInterrupted) {
  AddInvoices(1, 1);
  Child watch = Ctl({"--json", "watch"});
  // The watcher is on the bus before the run starts: its instance exists.
  ASSERT_TRUE(WaitFor([this] { return bus_.ServerPid() != 0; })) << watch.Output();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Child run = Ctl({"auto", "--wait"});
  ASSERT_EQ(run.Wait(), kExitOk) << run.Output();
  ASSERT_TRUE(WaitFor([&watch] { return watch.Output().find("\"origin\":4,\"originName\":\"moPSender\",\"code\":1,") !=
                                        std::string::npos; }))
      << watch.Output();
  ::kill(watch.Pid(), SIGINT);
  EXPECT_EQ(watch.Wait(), kExitOk) << watch.Output();
}

TEST(KorvexctlUnreachable, NoBusOrNoServerIsItsOwnExitStatus) {
  ScopedEnv noBus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/korvexctl-test-bus");
  TempDir out;
  Child child({KORVEXCTL_PROGRAM, "get"}, out.Sub("out"));
  EXPECT_EQ(child.Wait(), kExitUnreachable) << child.Output();

  // A bus on which nobody registered the server.
  TempDir data;
  ScopedEnv dataHome("XDG_DATA_HOME", data.path());
  PrivateBus bus;
  for (const char* command : {"auto", "status"}) {
    Child ctl({KORVEXCTL_PROGRAM, command, "--json"}, out.Sub("ctl"));
    EXPECT_EQ(ctl.Wait(), kExitUnreachable) << ctl.Output();
  }
}

// A stand-in for the server in a process of its own: it owns the server's
// bus name, serves an instance and dies without answering the member
// diesAt ("CreateInstance", "Auto" or "Cancel"), so the call that waits is
// answered by the bus alone; or, with diesAt "", it dies right after its
// answer to CreateInstance has left. The real server cannot be stopped at
// those points.
pid_t StartStandIn(const std::string& diesAt) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  try {
    const auto connection = sdbus::createSessionBusConnection("ch.belmor.Korvex");
    bool created = false;
    const auto factory = sdbus::createObject(*connection, "/ch/belmor/Korvex");
    factory->registerMethod("CreateInstance").onInterface("ch.belmor.Korvex.Factory").implementedAs([&] {
      if (diesAt == "CreateInstance") ::_exit(0);
      created = true;
      return sdbus::ObjectPath("/ch/belmor/Korvex/1");
    });
    factory->finishRegistration();
    const auto instance = sdbus::createObject(*connection, "/ch/belmor/Korvex/1");
    for (const char* member : {"Auto", "Cancel", "Release"}) {
      instance->registerMethod(member).onInterface("ch.belmor.Korvex.IKorvex").implementedAs([&diesAt, member] {
        if (diesAt == member) ::_exit(0);
      });
    }
    instance->finishRegistration();
    for (;;) {
      while (connection->processPendingRequest()) {
      }
      const sdbus::IConnection::PollData data = connection->getEventLoopPollData();
      // Gone once the answer is written, before anything else arrives.
      if (diesAt.empty() && created && !(data.events & POLLOUT)) ::_exit(0);
      pollfd fd{data.fd, data.events, 0};
      ::poll(&fd, 1, 100);
    }
  } catch (...) {
  }
  ::_exit(1);
}

// A server that dies while korvexctl waits for its answer, or between two
// calls: after it answered CreateInstance it was reached and went away;
// before, it never was. Either way korvexctl has the bus start no other
// server (one is registered) for an instance that went with the first.
TEST(KorvexctlServerGone, DeadAfterCreatingTheInstanceWentAwayBeforeNothingWasReached) {
  TempDir data;
  ScopedEnv dataHome("XDG_DATA_HOME", data.path());
  TempDir out;
  Child reg({KORVEX_SERVER_PROGRAM, "-RegServerPerUser"}, out.Sub("reg.out"));
  ASSERT_EQ(reg.Wait(std::chrono::seconds(60)), 0) << reg.Output();
  const struct {
    const char* diesAt;
    std::vector<std::string> args;
    int status;
    const char* says;
  } cases[] = {
      {"Auto", {"auto", "--wait"}, kExitWentAway, "went away"},
      {"", {"auto", "--wait"}, kExitWentAway, "went away"},
      // A call korvexctl waits for without handling signals meanwhile.
      {"Cancel", {"cancel"}, kExitWentAway, "went away"},
      {"CreateInstance", {"auto", "--wait"}, kExitUnreachable, "not reachable"},
  };
  int calls = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("dies at '") + c.diesAt + "', korvexctl " + c.args.front());
    PrivateBus bus;
    const pid_t standIn = StartStandIn(c.diesAt);
    ASSERT_GT(standIn, 0);
    ASSERT_TRUE(WaitFor([&] { return bus.ServerPid() == standIn; }));
    std::vector<std::string> argv{KORVEXCTL_PROGRAM};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Child ctl(argv, out.Sub("ctl-" + std::to_string(++calls) + ".out"));
    EXPECT_EQ(ctl.Wait(), c.status) << ctl.Output();
    EXPECT_THAT(ctl.Output(), ::testing::HasSubstr(c.says));
    // It died where it was meant to, not by a fault of its own.
    int raw = 0;
    const bool ended = WaitFor([&] { return ::waitpid(standIn, &raw, WNOHANG) == standIn; }, std::chrono::seconds(10));
    if (!ended) {
      ::kill(standIn, SIGKILL);
      ::waitpid(standIn, nullptr, 0);
    }
    EXPECT_TRUE(ended && WIFEXITED(raw) && WEXITSTATUS(raw) == 0);
    EXPECT_EQ(bus.ServerPid(), 0) << "a server was started after the stand-in's end";
  }
}

}  // namespace
}  // namespace belmor::korvexctl
