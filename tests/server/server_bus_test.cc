// The server korvex on a private session bus: started by the bus from a
// per-user registration, driven through the generated proxy, by several
// clients and by tools that are no code of ours. The tests of the fixture
// ServerBusThreadsTest also run with the server and this program built under
// ThreadSanitizer (ctest label "tsan").

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <korvex/korvex_proxy.h>
#include <sdbus-c++/sdbus-c++.h>

#include "common/path.h"
#include "e2e/e2e_support.h"
#include "logging/report.h"
#include "platform/scoped_env.h"
#include "support/private_bus.h"
#include "support/child_process.h"
#include "support/invoice_factory.h"
#include "support/temp_dir.h"
#include "support/trust_center_sim.h"
#include "server/server_bus_support.h"

namespace belmor::korvex::server {
namespace {

namespace fs = std::filesystem;
using belmor::korvex::e2e::AsStored;
using belmor::korvex::e2e::IniValues;
using belmor::korvex::e2e::Practice;
using belmor::testing::ReadFile;
using belmor::testing::Child;
using belmor::testing::PrivateBus;
using belmor::testing::RunTool;
using belmor::testing::ScopedEnv;
using belmor::testing::WaitFor;
using belmor::testing::TempDir;
using belmor::testing::TrustCenterSim;
using belmor::testing::WriteFile;
using ::testing::HasSubstr;

using testing::Client;
using testing::ErrorOf;
using testing::Event;
using testing::FactoryProxy;
using testing::RegisteredBus;
using testing::ServerBus;

class ServerBusTest : public ::testing::Test {
 protected:
  ServerBusTest() { practice_.WriteSettings(); }
  // Runs reach the trust center with a stored HIN login.
  void AddInvoices(int count) {
    practice_.PreloadToken();
    for (int n = 1; n <= count; ++n) practice_.AddInvoice(n);
  }

  TrustCenterSim sim_;
  Practice practice_{sim_};
};

// The tests that run threads against each other: a run's worker against the
// bus thread and two clients, a cancel, an end asked for mid-run, a client
// that is killed. ctest runs them as a test of their own, labelled "tsan".
class ServerBusThreadsTest : public ServerBusTest {};

std::string WithoutSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// What a client thread found wrong; looked at once the thread has ended.
struct Findings {
  template <typename T>
  void Expect(const char* what, const T& actual, const T& expected) {
    if (!(actual == expected))
      wrong.push_back(std::string(what) + " is " + ::testing::PrintToString(actual) + ", not " +
                      ::testing::PrintToString(expected));
  }
  std::vector<std::string> wrong;
};

TEST_F(ServerBusTest, ActivatedByTheFirstCallAndGoneAfterTheLastRelease) {
  RegisteredBus bus;
  EXPECT_EQ(bus.ServerPid(), 0);
  pid_t pid = 0;
  {
    Client first;
    pid = bus.ServerPid();
    ASSERT_GT(pid, 0);
    Client second;
    EXPECT_NE(first.Path(), second.Path());
    first->Release();
    // One object is still alive: the server stays.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(::kill(pid, 0), 0);
    EXPECT_EQ(second->korvexVersion(), "Korvex Ordiva V 5.0.3");
    // A released object is gone for good.
    EXPECT_THAT(ErrorOf([&] { (void)first->korvexVersion(); }), HasSubstr("UnknownObject"));
    second->Release();
    EXPECT_TRUE(WaitFor([&] { return ::kill(pid, 0) != 0; }, std::chrono::seconds(10)));
  }
  // The next client activates a new server.
  Client again;
  EXPECT_GT(bus.ServerPid(), 0);
  EXPECT_NE(bus.ServerPid(), pid);
}

TEST_F(ServerBusThreadsTest, ObjectsOfAKilledClientAreReleasedForIt) {
  RegisteredBus bus;
  // A client in a process of its own that creates an object, says so on its
  // output and sleeps until killed.
  const std::string ready = bus.Dir().Sub("client.ready");
  const pid_t client = ::fork();
  ASSERT_GE(client, 0);
  if (client == 0) {
    auto connection = sdbus::createSessionBusConnection();
    FactoryProxy factory(*connection);
    (void)factory.CreateInstance();
    WriteFile(ready, "1");
    for (;;) ::pause();
  }
  ASSERT_TRUE(WaitFor([&] { return fs::exists(ready); }));
  const pid_t server = bus.ServerPid();
  ASSERT_GT(server, 0);
  ::kill(client, SIGKILL);
  ::waitpid(client, nullptr, 0);
  EXPECT_TRUE(WaitFor([&] { return ::kill(server, 0) != 0; }, std::chrono::seconds(10)));
}

TEST_F(ServerBusTest, StartedByHandAndNeverUsedItKeepsRunningAndASecondOneGivesUp) {
  RegisteredBus bus;
  Child server({KORVEX_SERVER_PROGRAM}, bus.Dir().Sub("server.out"));
  ASSERT_TRUE(WaitFor([&] { return bus.ServerPid() == server.Pid(); }));
  Child second({KORVEX_SERVER_PROGRAM}, bus.Dir().Sub("second.out"));
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_THAT(second.Output(), HasSubstr("is taken"));
  std::this_thread::sleep_for(std::chrono::seconds(5));
  EXPECT_TRUE(server.Running());
  // "RegServerX" is no switch: the program serves (and is refused the name here).
  Child longer({KORVEX_SERVER_PROGRAM, "/RegServerX"}, bus.Dir().Sub("longer.out"));
  EXPECT_EQ(longer.Wait(), 1);
  EXPECT_THAT(longer.Output(), HasSubstr("is taken"));
}

TEST_F(ServerBusTest, MembersAnswerAsAClientExpects) {
  practice_.WriteSettings("debug=1\n");
  RegisteredBus bus;
  Client client;
  EXPECT_EQ(client->korvexVersion(), "Korvex Ordiva V 5.0.3");
  EXPECT_EQ(client->esrPDF(), "99");
  client->withPDF(true);
  EXPECT_FALSE(client->withPDF());
  EXPECT_THAT(ErrorOf([&] { (void)client->activateGUI(); }),
              HasSubstr("ch.belmor.Korvex.Error.NotImplemented 0x80004001"));
  EXPECT_THAT(ErrorOf([&] { client->activateGUI(true); }), HasSubstr("ch.belmor.Korvex.Error.NotImplemented"));
  EXPECT_EQ(client->asasVersion(), "Korvex oAuth Client V 1.0.1");
  EXPECT_EQ(client->asasLogins(), std::vector<std::string>{"<neues HIN Login registrieren>"});

  const std::vector<std::string> centers = client->trustCenters();
  ASSERT_FALSE(centers.empty());
  client->autoUpdate(false);
  EXPECT_FALSE(client->autoUpdate());
  client->autoUpdate(true);
  EXPECT_TRUE(client->autoUpdate());
  // The shipped configuration's second center, put by its old label, reads
  // back by its new one.
  EXPECT_THAT(centers, ::testing::Contains("TC-SUED"));
  client->trustCenter("Trustcenter Sued");
  EXPECT_EQ(client->trustCenter(), "TC-SUED");
  EXPECT_EQ(client->esr(), "01-20000-2");
  // A name that is no center changes nothing.
  const std::string before = client->trustCenter();
  client->trustCenter("no such trust center");
  EXPECT_EQ(client->trustCenter(), before);
  // Every outgoing text is UTF-8 (the bus would refuse anything else).
  for (const std::string& label : centers) {
    client->trustCenter(label);
    EXPECT_EQ(client->trustCenter(), label);
  }
  // Support reads in the debug log what a client asked for.
  client->Release();
  const std::string log = ReadFile(practice_.AppData("korvex.log"));
  const std::vector<std::string> lines = {"CKorvex::get_korvexVersion", "CKorvex::put_withPDF",
                                          "CKorvex::get_esrPDF",        "CKorvex::put_trustCenter",
                                          "CKorvex::get_trustCenter",   "CCenters::CCenters enter",
                                          "CCenters::CCenters: list size=" + std::to_string(centers.size())};
  for (const std::string& line : lines) EXPECT_THAT(log, HasSubstr(line));
}

TEST_F(ServerBusTest, SettingsTheFileCannotHoldAreRefusedAndChangeNothing) {
  RegisteredBus bus;
  Client client;
  const std::string input = client->inputDirectory();
  const std::string filter = client->zsrDownFilter();
  const std::string login = client->asasLogin();
  const std::string tooLong(1100, 'a');
  const struct {
    const char* what;
    std::function<void()> put;
  } cases[] = {
      {"directory with a line feed", [&] { client->inputDirectory("/tmp/a\nb"); }},
      {"directory with #", [&] { client->workDirectory("/tmp/a#b"); }},
      {"directory too long", [&] { client->outputDirectory("/tmp/" + tooLong); }},
      {"filter with a line feed", [&] { client->zsrDownFilter("A\nB"); }},
      {"login with #", [&] { client->asasLogin("dr#muster"); }},
      {"login too long", [&] { client->asasLogin(tooLong); }},
  };
  for (const auto& c : cases)
    EXPECT_THAT(ErrorOf(c.put), HasSubstr("ch.belmor.Korvex.Error.InvalidArg 0x80070057")) << c.what;
  EXPECT_EQ(client->inputDirectory(), input);
  EXPECT_EQ(client->zsrDownFilter(), filter);
  EXPECT_EQ(client->asasLogin(), login);
  EXPECT_THAT(ReadFile(practice_.AppData("korvex.ini")), ::testing::Not(HasSubstr("dr#muster")));
}

TEST_F(ServerBusTest, AChangeOneClientMakesIsAnnouncedToEveryClient) {
  RegisteredBus bus;
  Client first;
  Client second;
  const std::string dir = practice_.Root() + "/elsewhere/";
  first->inputDirectory(dir);
  EXPECT_EQ(second->inputDirectory(), dir);
  first->withArchive(!second->withArchive());
  for (Client* client : {&first, &second}) {
    EXPECT_TRUE(WaitFor([&] {
      const auto changed = (*client)->Changed();
      return std::count(changed.begin(), changed.end(), "inputDirectory") == 1 &&
             std::count(changed.begin(), changed.end(), "withArchive") == 1;
    }));
  }
  // Putting the same value again changes nothing and announces nothing.
  second->inputDirectory(dir);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto changed = first->Changed();
  EXPECT_EQ(std::count(changed.begin(), changed.end(), "inputDirectory"), 1);
}

TEST_F(ServerBusThreadsTest, TwoClientsReceiveEveryReportAndASecondRunIsBusyFromEither) {
  AddInvoices(40);
  RegisteredBus bus;
  Client first;
  Client second;
  first->Read();
  // While the read step works neither client can start another run.
  const std::string busy1 = ErrorOf([&] { first->Check(); });
  const std::string busy2 = ErrorOf([&] { second->Auto(); });
  ASSERT_TRUE(WaitFor([&] { return first->Completed(0) && second->Completed(0); }));
  // The run begins with a configuration download from the trust center and
  // then reads 40 files: it outlasts two calls by far.
  EXPECT_THAT(busy1, HasSubstr("ch.belmor.Korvex.Error.Busy 0x800700AA"));
  EXPECT_THAT(busy2, HasSubstr("ch.belmor.Korvex.Error.Busy 0x800700AA"));
  EXPECT_TRUE(WaitFor([&] { return first->Events() == second->Events(); }));
  const std::vector<Event> events = first->Events();
  int perFile = 0;
  for (const Event& e : events) perFile += e.fileName.empty() ? 0 : 1;
  EXPECT_GE(perFile, 40);
  EXPECT_TRUE(fs::is_empty(practice_.InvoiceDir()));
}

// Two clients, each on a thread of its own, put settings through the bus over
// and over while an Auto run sends 40 invoices; every put reads back at once
// and is in the settings file moments later. The directories stay while the
// run works: the value already set answers OK, the practice's own under a
// second name (a link) Busy, and is taken once the run is over. The center
// put is the one in effect, so the run must end as an undisturbed one would;
// the filter, the debug, update and response switches really change. Both
// clients see every report and every announcement, and the file holds the
// last puts.
TEST_F(ServerBusThreadsTest, TwoClientsPuttingSettingsDuringAnAutoRunLeaveTheRunAsItWas) {
  constexpr int kInvoices = 40;
  AddInvoices(kInvoices);
  const std::string inputLink = practice_.Root() + "/Rechnungen-link";
  const std::string workLink = practice_.Root() + "/work-link";
  const std::string otherOutput = practice_.Root() + "/Antworten-2/";
  fs::create_directory_symlink(WithoutSlash(practice_.InvoiceDir()), inputLink);
  fs::create_directory_symlink(WithoutSlash(practice_.Work()), workLink);
  fs::create_directories(otherOutput);
  const std::string ini = practice_.AppData("korvex.ini");
  // The file catches up with the puts within moments.
  const auto storedSoon = [&](const std::map<std::string, std::string>& expected) {
    return WaitFor(
        [&] {
          std::map<std::string, std::string> stored = IniValues(ini);
          for (const auto& [key, value] : expected)
            if (stored[key] != value) return false;
          return true;
        },
        std::chrono::seconds(10));
  };

  RegisteredBus bus;
  Client first;
  Client second;
  first->Auto();
  // sdbus-c++ builds every Variant on one pseudo connection of the process,
  // made at the first use: made here, before the client threads start, so
  // ThreadSanitizer sees it made before they use it (the library's own
  // guard of it is not instrumented).
  (void)sdbus::Variant(true);

  std::atomic<bool> runOver{false};
  // A client whose call failed (the server may be gone) stops the wait.
  std::atomic<bool> failed{false};
  std::atomic<int> firstRounds{0};
  std::atomic<int> secondRounds{0};
  std::atomic<int> busy{0};
  Findings firstFound;
  Findings secondFound;
  // Each client uses its own object only. A loop ends with one round after
  // the run is over, in which the links are taken: those are the last puts.
  std::thread directories([&] {
    try {
      struct Directory {
        const char* property;
        std::function<void(const std::string&)> put;
        std::function<std::string()> get;
        const char* key;
        std::string other;
        std::string held;
      };
      std::vector<Directory> dirs = {
          {"inputDirectory", [&](const std::string& v) { first->inputDirectory(v); },
           [&] { return first->inputDirectory(); }, "inputDir", inputLink, practice_.InvoiceDir()},
          {"workDirectory", [&](const std::string& v) { first->workDirectory(v); },
           [&] { return first->workDirectory(); }, "workDir", workLink, practice_.Work()},
          {"outputDirectory", [&](const std::string& v) { first->outputDirectory(v); },
           [&] { return first->outputDirectory(); }, "outputDir", otherOutput, practice_.ResponseDir()},
      };
      for (int i = 0;; ++i) {
        const bool last = runOver.load();
        const std::string filter = last ? "Z1234" : (i % 2 ? "*" : "Z9999");
        for (Directory& d : dirs) {
          // Billing software sets the directories before every run.
          const std::string same = ErrorOf([&] { d.put(d.held); });
          firstFound.Expect(d.property, same, std::string("no error"));
          if (last) {
            // The lock is given back a moment after the run's last report.
            const bool taken = WaitFor([&] { return ErrorOf([&] { d.put(d.other); }) == "no error"; });
            firstFound.Expect(d.property, taken, true);
            d.held = AsStored(d.other);
          } else {
            const std::string other = ErrorOf([&] { d.put(d.other); });
            if (other == "no error") {
              d.held = AsStored(d.other);  // the run had just ended
            } else {
              ++busy;
              firstFound.Expect(d.property, other.rfind("ch.belmor.Korvex.Error.Busy 0x800700AA", 0) == 0, true);
            }
          }
          firstFound.Expect(d.property, d.get(), d.held);
        }
        first->zsrDownFilter(filter);
        firstFound.Expect("zsrDownFilter", first->zsrDownFilter(), filter);
        std::map<std::string, std::string> expected = {{"zsrDownFilter", filter}};
        for (const Directory& d : dirs) expected[d.key] = d.held;
        firstFound.Expect("the file holding the puts", storedSoon(expected), true);
        // What the other client puts, and what the run changes.
        (void)first->debug();
        (void)first->autoUpdate();
        (void)first->trustCenter();
        (void)first->session();
        (void)first->updateAvailable();
        (void)first->updateMsg();
        if (!firstFound.wrong.empty()) failed = true;
        if (last || failed) break;
        ++firstRounds;
      }
    } catch (const sdbus::Error& e) {
      failed = true;
      firstFound.wrong.push_back(e.getName() + " " + e.getMessage());
    }
  });
  std::thread switches([&] {
    try {
      for (int i = 0;; ++i) {
        const bool last = runOver.load();
        const bool debug = !last && i % 2 == 1;
        const bool update = !last && i % 2 == 0;
        const bool responses = last || i % 2 == 1;
        // Center 1 by its old and its new label.
        second->trustCenter(i % 2 ? "Trustcenter Nord" : "TC-NORD");
        second->asasLogin("dr.muster");
        second->withArchive(true);
        second->debug(debug);
        second->autoUpdate(update);
        second->responseMessagesEnabled(responses);
        secondFound.Expect("trustCenter", second->trustCenter(), std::string("TC-NORD"));
        secondFound.Expect("debug", second->debug(), debug);
        secondFound.Expect("autoUpdate", second->autoUpdate(), update);
        secondFound.Expect("responseMessagesEnabled", second->responseMessagesEnabled(), responses);
        secondFound.Expect("the file holding the puts",
                           storedSoon({{"debug", debug ? "1" : "0"}, {"trustCenterID", "1"}}), true);
        (void)second->inputDirectory();
        (void)second->workDirectory();
        (void)second->esr();
        (void)second->trustCenters();
        (void)second->asasLogins();
        if (!secondFound.wrong.empty()) failed = true;
        if (last || failed) break;
        ++secondRounds;
      }
    } catch (const sdbus::Error& e) {
      failed = true;
      secondFound.wrong.push_back(e.getName() + " " + e.getMessage());
    }
  });

  const bool ended = WaitFor(
      [&] { return failed || (first->Completed(moPSender) && second->Completed(moPSender)); },
      std::chrono::seconds(300));
  runOver = true;
  directories.join();
  switches.join();
  EXPECT_THAT(firstFound.wrong, ::testing::IsEmpty());
  EXPECT_THAT(secondFound.wrong, ::testing::IsEmpty());
  ASSERT_TRUE(ended && !failed);
  EXPECT_GT(firstRounds.load(), 1);
  EXPECT_GT(secondRounds.load(), 1);
  EXPECT_GT(busy.load(), 0);

  // Both clients saw the same reports: a report for every invoice and no error.
  ASSERT_TRUE(WaitFor([&] { return first->Events() == second->Events(); }));
  std::set<std::string> named;
  for (const Event& e : first->Events()) {
    EXPECT_LT(e.level, mlError) << e.origin << " " << e.code << " " << e.fileName << ": " << e.message;
    if (!e.fileName.empty()) named.insert(fs::path(e.fileName).filename().string());
  }
  for (int n = 1; n <= kInvoices; ++n) EXPECT_EQ(named.count(Practice::InvoiceFileName(n)), 1u) << n;
  // And the same announcements, of both clients' changes.
  ASSERT_TRUE(WaitFor([&] { return first->Changed() == second->Changed(); }));
  const std::vector<std::string> changed = first->Changed();
  for (const char* property : {"inputDirectory", "workDirectory", "outputDirectory", "zsrDownFilter", "debug",
                               "autoUpdate", "responseMessagesEnabled"})
    EXPECT_THAT(changed, ::testing::Contains(property));

  // The file holds the last puts, and each client reads the other's.
  const std::map<std::string, std::string> expected = {
      {"inputDir", AsStored(inputLink)}, {"workDir", AsStored(workLink)}, {"outputDir", AsStored(otherOutput)},
      {"zsrDownFilter", "Z1234"},        {"hinLogin", "dr.muster"},       {"archive", "1"},
      {"debug", "0"},                    {"trustCenterID", "1"},
  };
  EXPECT_TRUE(storedSoon(expected));
  std::map<std::string, std::string> stored = IniValues(ini);
  for (const auto& [key, value] : expected) EXPECT_EQ(stored[key], value) << key;
  EXPECT_EQ(second->workDirectory(), AsStored(workLink));
  EXPECT_EQ(second->zsrDownFilter(), "Z1234");
  EXPECT_FALSE(first->debug());
  EXPECT_FALSE(first->autoUpdate());
  EXPECT_TRUE(first->responseMessagesEnabled());

  // Every invoice sent once, archived and recorded; none left anywhere else.
  const auto sorted = [](std::vector<std::string> numbers) {
    std::sort(numbers.begin(), numbers.end());
    return numbers;
  };
  std::vector<std::string> all;
  for (int n = 1; n <= kInvoices; ++n) all.push_back(belmor::testing::GeneratedInvoiceNumber(n));
  all = sorted(all);
  EXPECT_EQ(sorted(belmor::korvex::e2e::UploadedNumbers(sim_)), all);
  EXPECT_EQ(sorted(practice_.NumbersIn(practice_.Work("archive"))), all);
  EXPECT_EQ(practice_.DuplicateLogIds().size(), static_cast<size_t>(kInvoices));
  for (const std::string& dir : {practice_.InvoiceDir(), practice_.Work("input"), practice_.Work("valid"),
                                 practice_.Work("output"), practice_.Work("err")})
    EXPECT_THAT(practice_.NumbersIn(dir), ::testing::IsEmpty()) << dir;
}

TEST_F(ServerBusThreadsTest, CancelStopsTheRunBetweenFiles) {
  AddInvoices(300);
  RegisteredBus bus;
  Client client;
  client->Read();
  ASSERT_TRUE(WaitFor([&] {
    for (const Event& e : client->Events())
      if (!e.fileName.empty()) return true;
    return false;
  }));
  client->Cancel();
  ASSERT_TRUE(WaitFor([&] { return client->Completed(0); }));
  // Some invoices were read, the rest is still where the billing software put it.
  size_t left = 0;
  for (const auto& entry : fs::directory_iterator(practice_.InvoiceDir())) left += entry.is_regular_file();
  EXPECT_GT(left, 0u);
  EXPECT_LT(left, 300u);
  // The lock is free again: the next run starts.
  EXPECT_EQ(ErrorOf([&] { client->Check(); }), "no error");
}

TEST_F(ServerBusThreadsTest, AskedToEndItStopsTheRunBetweenFilesShowsItsEndAndLeaves) {
  AddInvoices(300);
  RegisteredBus bus;
  Client client;
  client->Read();
  ASSERT_TRUE(WaitFor([&] {
    for (const Event& e : client->Events())
      if (!e.fileName.empty()) return true;
    return false;
  }));
  const pid_t server = bus.ServerPid();
  ASSERT_GT(server, 0);
  ::kill(server, SIGTERM);
  // The client still sees its run end, and the server then leaves although
  // the client holds its object.
  ASSERT_TRUE(WaitFor([&] { return client->Completed(0); }));
  EXPECT_TRUE(WaitFor([&] { return ::kill(server, 0) != 0; }, std::chrono::seconds(30)));
  // Nothing half done: every invoice is either still waiting or read whole.
  const auto invoices = [&](const std::string& dir) {
    const std::vector<std::string> numbers = practice_.NumbersIn(dir);
    return numbers.size() - std::count(numbers.begin(), numbers.end(), "");
  };
  const size_t left = invoices(practice_.InvoiceDir());
  EXPECT_GT(left, 0u);
  EXPECT_LT(left, 300u);
  EXPECT_EQ(left + invoices(practice_.Work()), 300u);
  // The next client gets a new server, and its run starts.
  Client next;
  EXPECT_EQ(ErrorOf([&] { next->Check(); }), "no error");
  EXPECT_NE(bus.ServerPid(), server);
}

TEST_F(ServerBusTest, ToolsThatAreNoCodeOfOursDriveTheServer) {
  RegisteredBus bus;
  // An object of ours keeps the server busy for the tools, which end after
  // each call (and whose own objects go with them).
  Client holder;
  const TempDir& dir = bus.Dir();
  int status = 0;
  const std::string created = RunTool({"dbus-send", "--session", "--print-reply", "--dest=ch.belmor.Korvex",
                                       "/ch/belmor/Korvex", "ch.belmor.Korvex.Factory.CreateInstance"},
                                      dir, &status);
  EXPECT_EQ(status, 0);
  EXPECT_THAT(created, HasSubstr("object path \"/ch/belmor/Korvex/"));
  EXPECT_THAT(RunTool({"gdbus", "call", "--session", "-d", "ch.belmor.Korvex", "-o", holder.Path(), "-m",
                       "org.freedesktop.DBus.Properties.Get", "ch.belmor.Korvex.IKorvex", "korvexVersion"},
                      dir),
              HasSubstr("Korvex Ordiva V 5.0.3"));

  Child monitor({"dbus-monitor", "--session", "type='signal',interface='ch.belmor.Korvex.IKorvex'"},
                dir.Sub("monitor.out"));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  RunTool({"gdbus", "call", "--session", "-d", "ch.belmor.Korvex", "-o", holder.Path(), "-m",
           "ch.belmor.Korvex.IKorvex.Auto"},
          dir, &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(WaitFor([&] { return monitor.Output().find("member=korvexEvent") != std::string::npos; }));

  const std::string introspection = RunTool({"gdbus", "introspect", "--session", "-d", "ch.belmor.Korvex",
                                             "-o", holder.Path()},
                                            dir);
  const std::string xml = ReadFile(KORVEX_INTERFACE_XML);
  static const std::regex member("<(property|method|signal) name=\"([A-Za-z]+)\"");
  int members = 0;
  for (auto it = std::sregex_iterator(xml.begin(), xml.end(), member); it != std::sregex_iterator(); ++it) {
    const std::string name = (*it)[2];
    if (name == "CreateInstance") continue;
    ++members;
    EXPECT_THAT(introspection, HasSubstr(" " + name)) << name;
  }
  EXPECT_GT(members, 30);
}

TEST_F(ServerBusTest, AnInstallIntoATemporaryPrefixIsActivatedFromThere) {
  TempDir prefix;
  TempDir out;
  int status = 0;
  const std::string log = RunTool({"cmake", "--install", KORVEX_BUILD_DIR, "--prefix", prefix.path()}, out, &status);
  ASSERT_EQ(status, 0) << log;
  const std::string installed = prefix.Sub("lib/korvex-ordiva/korvex");
  EXPECT_TRUE(fs::exists(prefix.Sub("lib/korvex-ordiva/korvex.xml")));
  EXPECT_TRUE(fs::exists(prefix.Sub("lib/korvex-ordiva/korvex.xsd")));
  EXPECT_EQ(fs::read_symlink(prefix.Sub("bin/korvex")), "../lib/korvex-ordiva/korvex");
  EXPECT_EQ(ReadFile(prefix.Sub("share/dbus-1/interfaces/ch.belmor.Korvex.xml")), ReadFile(KORVEX_INTERFACE_XML));

  ServerBus bus(prefix.Sub("share/dbus-1/services"));
  Client client;
  const pid_t pid = bus.ServerPid();
  ASSERT_GT(pid, 0);
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(pid) + "/exe"), installed);
  // The installed server found its configuration beside itself.
  EXPECT_FALSE(client->trustCenters().empty());
}

}  // namespace
}  // namespace belmor::korvex::server
