// The server korvex on a private session bus under clients that ask too much
// or too fast: names and objects beyond their limits, bursts of settings
// puts, a settings file that cannot be written, directory changes while a
// run works. Foreign clients (Gio from python3-gi, gdbus) take part where
// the bus is concerned.

#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include "e2e/e2e_support.h"
#include "logging/messages.h"
#include "logging/report.h"
#include "server/server_bus_support.h"
#include "support/invoice_factory.h"
#include "support/private_bus.h"
#include "support/temp_dir.h"
#include "support/trust_center_sim.h"

namespace belmor::korvex::server {
namespace {

namespace fs = std::filesystem;
using belmor::korvex::e2e::AsStored;
using belmor::korvex::e2e::IniValues;
using belmor::korvex::e2e::Practice;
using belmor::testing::Child;
using belmor::testing::ReadFile;
using belmor::testing::RunTool;
using belmor::testing::TrustCenterSim;
using belmor::testing::WaitFor;
using belmor::testing::WriteFile;
using testing::Client;
using testing::ErrorOf;
using testing::Event;
using testing::FactoryProxy;
using testing::Instance;
using testing::RegisteredBus;
using ::testing::HasSubstr;

constexpr char kIKorvex[] = "ch.belmor.Korvex.IKorvex";

// How often a file of a directory was replaced (renamed onto) while the
// object watched.
class ReplacementCounter {
 public:
  ReplacementCounter(const std::string& directory, std::string name)
      : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), name_(std::move(name)) {
    EXPECT_GE(fd_, 0);
    // The temporaries moved away keep inotify from merging the replacements
    // into one event.
    EXPECT_GE(::inotify_add_watch(fd_, directory.c_str(), IN_MOVED_FROM | IN_MOVED_TO), 0);
  }
  ~ReplacementCounter() { ::close(fd_); }
  ReplacementCounter(const ReplacementCounter&) = delete;
  ReplacementCounter& operator=(const ReplacementCounter&) = delete;

  int Count() {
    alignas(struct inotify_event) char buffer[64 * 1024];
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
        if ((event->mask & IN_MOVED_TO) && event->len > 0 && name_ == event->name) ++count_;
        at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      }
    }
    return count_;
  }

 private:
  int fd_;
  std::string name_;
  int count_ = 0;
};

// A property put by gdbus, a client that is no code of ours: "no error", or
// the error as gdbus prints it.
std::string GdbusPut(const testing::TempDir& dir, const std::string& path, const std::string& property,
                     const std::string& value) {
  int status = 0;
  const std::string output = RunTool({"gdbus", "call", "--session", "-d", "ch.belmor.Korvex", "-o", path, "-m",
                                      "org.freedesktop.DBus.Properties.Set", kIKorvex, property, "<'" + value + "'>"},
                                     dir, &status);
  return status == 0 ? "no error" : output;
}

// The catalogue's "settings not stored", in whichever language the server speaks.
bool IsNotStoredText(const std::string& text) {
  return text == GermanMessageTable()[67].text || text == FrenchMessageTable()[67].text;
}

class ServerLimitsTest : public ::testing::Test {
 protected:
  ServerLimitsTest() { practice_.WriteSettings(); }
  void AddInvoices(int count) {
    practice_.PreloadToken();
    for (int n = 1; n <= count; ++n) practice_.AddInvoice(n);
  }
  std::string Ini() const { return practice_.AppData("korvex.ini"); }

  TrustCenterSim sim_;
  Practice practice_{sim_};
};

// The name goes into the reports that reach every client: a path or an
// endless text must not start anything, and a proper name still does.
TEST_F(ServerLimitsTest, AutoOneRefusesWhatIsNoFileNameOfTheInvoiceDirectory) {
  RegisteredBus bus;
  Client client;
  const struct {
    const char* what;
    std::string name;
  } cases[] = {
      {"one byte over the longest file name", std::string(256, 'a')},
      {"ten megabytes", std::string(10 * 1024 * 1024, 'x')},
      {"a path below the invoice directory", "sub/rechnung-0001.xml"},
      {"a path elsewhere", "/etc/passwd"},
      {"a way out of the invoice directory", "../rechnung-0001.xml"},
  };
  for (const auto& c : cases)
    EXPECT_THAT(ErrorOf([&] { client->AutoOne(c.name); }), HasSubstr("ch.belmor.Korvex.Error.InvalidArg 0x80070057"))
        << c.what;
  // Nothing started: no report came, and the step lock is free.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_THAT(client->Events(), ::testing::IsEmpty());
  EXPECT_EQ(ErrorOf([&] { client->AutoOne(std::string(255, 'a')); }), "no error");
  EXPECT_TRUE(WaitFor([&] { return client->Completed(moPReader); }));
}

TEST_F(ServerLimitsTest, OneConnectionHoldsAtMost64ObjectsAndAReleaseMakesRoom) {
  RegisteredBus bus;
  auto connection = sdbus::createSessionBusConnection();
  FactoryProxy factory(*connection);
  std::vector<sdbus::ObjectPath> paths;
  for (int i = 0; i < 64; ++i) paths.push_back(factory.CreateInstance());
  EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), 64u);
  EXPECT_THAT(ErrorOf([&] { (void)factory.CreateInstance(); }), HasSubstr("org.freedesktop.DBus.Error.LimitsExceeded"));

  // Another connection has its own allowance, and every object still answers.
  Client other;
  EXPECT_EQ(other->korvexVersion(), "Korvex Ordiva V 5.0.3");
  auto last = sdbus::createProxy(*connection, "ch.belmor.Korvex", paths.back());
  const std::string version = last->getProperty("korvexVersion").onInterface(kIKorvex);
  EXPECT_EQ(version, "Korvex Ordiva V 5.0.3");

  last->callMethod("Release").onInterface(kIKorvex);
  EXPECT_EQ(ErrorOf([&] { (void)factory.CreateInstance(); }), "no error");
  EXPECT_THAT(ErrorOf([&] { (void)factory.CreateInstance(); }), HasSubstr("LimitsExceeded"));
}

// A foreign client puts three settings over and over as fast as the server
// answers, and the server then ends, asked to or because its last object
// went: the file holds every last value, whole. The puts are answered before
// they are written, a burst gathered into a few writes instead of one flush
// per put on the bus thread.
TEST_F(ServerLimitsTest, ABurstOfPutsIsGatheredIntoFewWritesAndAllOfItStoredWhenTheServerEnds) {
  constexpr int kRounds = 150;  // three puts each
  const struct {
    const char* mode;
    bool terminate;
  } cases[] = {{"hold", true}, {"release", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    practice_.WriteSettings();
    RegisteredBus bus;
    ReplacementCounter writes(practice_.AppData(), "korvex.ini");
    Child peer({"/usr/bin/python3", KORVEX_SOURCE_DIR "/tests/server/settings_burst.py", std::to_string(kRounds),
                c.mode},
               bus.Dir().Sub("peer.out"));
    ASSERT_TRUE(WaitFor([&] { return peer.Output().find("\"done\"") != std::string::npos || !peer.Running(); }))
        << peer.Output();
    ASSERT_THAT(peer.Output(), HasSubstr("\"done\"")) << peer.Output();
    const pid_t server = bus.ServerPid();
    ASSERT_GT(server, 0);
    if (c.terminate) ::kill(server, SIGTERM);
    ASSERT_TRUE(WaitFor([&] { return ::kill(server, 0) != 0; }, std::chrono::seconds(30)));

    std::map<std::string, std::string> stored = IniValues(Ini());
    EXPECT_EQ(stored["zsrDownFilter"], "F" + std::to_string(kRounds - 1));
    EXPECT_EQ(stored["debug"], "1");
    EXPECT_EQ(stored["hinLogin"], "dr." + std::to_string(kRounds - 1));
    // Whole: the settings the server did not touch are still there, the file
    // ends with its section's closing empty line, no temporary is left.
    EXPECT_EQ(stored["caFile"], sim_.CaFile());
    EXPECT_EQ(stored["workDir"], AsStored(practice_.Work()));
    const std::string text = ReadFile(Ini());
    EXPECT_TRUE(text.starts_with("[globals]\n") && text.ends_with("\n\n")) << text;
    for (const auto& entry : fs::directory_iterator(practice_.AppData()))
      EXPECT_FALSE(entry.path().filename().string().starts_with(".kx-tmp-")) << entry.path();
    EXPECT_LT(writes.Count(), kRounds * 3 / 4) << "writes for " << kRounds * 3 << " puts";
  }
}

// A put that could not be stored is refused before it changes anything:
// the settings directory is gone (a file stands in its place), or the file
// could not be read (a directory stands in its place) and must not be
// replaced by the defaults. Switches that live in the engine alone still
// change.
TEST_F(ServerLimitsTest, APutTheSettingsFileCannotTakeAnswersFailAndChangesNothing) {
  const struct {
    const char* what;
    bool unreadable;
    const char* reason;
  } cases[] = {{"settings directory replaced by a file", false, "is not a directory"},
               {"settings file that cannot be read", true, "could not be read"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    practice_.WriteSettings();
    if (c.unreadable) {
      fs::remove(Ini());
      fs::create_directories(Ini() + "/inside");
    }
    RegisteredBus bus;
    Client client;
    const std::string before = c.unreadable ? std::string() : ReadFile(Ini());
    const std::string filter = client->zsrDownFilter();
    const bool archive = client->withArchive();
    const std::string input = client->inputDirectory();
    const std::string moved = practice_.Root() + "/settings-moved";
    if (!c.unreadable) {
      fs::rename(practice_.AppData(), moved);
      WriteFile(practice_.AppData().substr(0, practice_.AppData().size() - 1), "in the way");
    }
    EXPECT_THAT(ErrorOf([&] { client->zsrDownFilter("Z4711"); }), HasSubstr("ch.belmor.Korvex.Error.Fail 0x80004005"));
    EXPECT_THAT(ErrorOf([&] { client->zsrDownFilter("Z4711"); }), HasSubstr(c.reason));
    EXPECT_THAT(ErrorOf([&] { client->withArchive(!archive); }), HasSubstr("ch.belmor.Korvex.Error.Fail"));
    EXPECT_THAT(ErrorOf([&] { client->asasLogin("dr.neu"); }), HasSubstr("ch.belmor.Korvex.Error.Fail"));
    EXPECT_THAT(GdbusPut(bus.Dir(), client.Path(), "inputDirectory", practice_.Root() + "/neu/"),
                HasSubstr("ch.belmor.Korvex.Error.Fail"));
    EXPECT_EQ(client->zsrDownFilter(), filter);
    EXPECT_EQ(client->withArchive(), archive);
    EXPECT_EQ(client->inputDirectory(), input);
    EXPECT_EQ(ErrorOf([&] { client->autoUpdate(false); }), "no error");
    EXPECT_FALSE(client->autoUpdate());
    client->Release();
    ASSERT_TRUE(WaitFor([&] { return bus.ServerPid() == 0; }, std::chrono::seconds(30)));
    if (c.unreadable) {
      EXPECT_TRUE(fs::is_directory(Ini() + "/inside"));
      fs::remove_all(Ini());
    } else {
      fs::remove(practice_.AppData().substr(0, practice_.AppData().size() - 1));
      fs::rename(moved, practice_.AppData());
      EXPECT_EQ(ReadFile(Ini()), before);
    }
  }
}

// A hand-edited korvex.ini with a line the reader cannot take (a comment
// over 1023 characters): a put from a foreign client is stored, the next
// server finds it, and the line is still there as it was.
TEST_F(ServerLimitsTest, AnOverlongLineNoLongerStopsAPutAndTheValueOutlivesARestart) {
  const std::string comment = "# " + std::string(1100, 'c');
  practice_.WriteSettings(comment + "\n");
  const std::string elsewhere = practice_.Root() + "/anderswo/";
  RegisteredBus bus;
  {
    Client client;
    EXPECT_EQ(GdbusPut(bus.Dir(), client.Path(), "inputDirectory", elsewhere), "no error");
    EXPECT_EQ(client->inputDirectory(), elsewhere);
    client->Release();
    ASSERT_TRUE(WaitFor([&] { return bus.ServerPid() == 0; }, std::chrono::seconds(30)));
  }
  Client again;
  EXPECT_EQ(again->inputDirectory(), elsewhere);
  EXPECT_EQ(again->zsrDownFilter(), "*");
  EXPECT_THAT(ReadFile(Ini()), HasSubstr(comment + "\n"));
  EXPECT_EQ(IniValues(Ini())["inputDir"], elsewhere);
}

// Directories from a foreign client: one no run could use is refused with
// its reason; one not there yet is taken, and the run that misses it names it.
TEST_F(ServerLimitsTest, ADirectoryNoRunCouldUseIsRefusedAndAMissingOneIsNamedByTheRun) {
  practice_.PreloadToken();
  RegisteredBus bus;
  Client client;
  const std::string input = client->inputDirectory();
  const struct {
    const char* property;
    std::string value;
    const char* answer;
  } refused[] = {
      {"inputDirectory", "Rechnungen", "not an absolute directory: Rechnungen/"},
      {"outputDirectory", "./Antworten", "not an absolute directory"},
      {"workDirectory", "/etc/passwd", "not a directory: /etc/passwd/"},
      {"inputDirectory", "/etc/passwd/sub", "a file stands in its path"},
  };
  for (const auto& r : refused) {
    const std::string answer = GdbusPut(bus.Dir(), client.Path(), r.property, r.value);
    EXPECT_THAT(answer, HasSubstr("ch.belmor.Korvex.Error.InvalidArg")) << r.value;
    EXPECT_THAT(answer, HasSubstr(r.answer)) << r.value;
  }
  EXPECT_EQ(client->inputDirectory(), input);
  EXPECT_EQ(IniValues(Ini())["inputDir"], input);

  // The write step's reports reach clients only when asked for.
  client->responseMessagesEnabled(true);

  const struct {
    const char* property;
    std::string value;
    int32_t origin;
    int32_t code;
    std::function<void()> run;
  } later[] = {
      {"inputDirectory", practice_.Root() + "/spaeter/Rechnungen/", moPReader, 6, [&] { client->Read(); }},
      {"outputDirectory", practice_.Root() + "/spaeter/Antworten/", moPWriter, 23, [&] { client->Write(); }},
  };
  for (const auto& l : later) {
    SCOPED_TRACE(l.property);
    EXPECT_EQ(GdbusPut(bus.Dir(), client.Path(), l.property, l.value), "no error");
    EXPECT_FALSE(fs::exists(l.value));
    l.run();
    // "Verzeichnis fehlt: ..." in whichever language the server speaks.
    const std::string german = FormatMessageText(GermanMessageTable()[74].text, {l.value});
    const std::string french = FormatMessageText(FrenchMessageTable()[74].text, {l.value});
    EXPECT_TRUE(WaitFor([&] {
      for (const Event& e : client->Events())
        if (e.origin == l.origin && e.level == mlError && e.code == l.code && (e.message == german || e.message == french))
          return true;
      return false;
    })) << german;
    ASSERT_TRUE(WaitFor([&] { return client->Completed(l.origin); }));
  }
}

// The file can be written when the put is answered, but the write fails
// later (a directory took the file's place): every client is told, the value
// stays in effect, and the next put, once the way is clear, stores it along
// with its own.
TEST_F(ServerLimitsTest, AWriteThatFailsLaterIsReportedToEveryClientAndTheNextPutStoresEverything) {
  RegisteredBus bus;
  Client first;
  Client second;
  fs::remove(Ini());
  fs::create_directories(Ini() + "/in-the-way");
  EXPECT_EQ(ErrorOf([&] { first->zsrDownFilter("Z1111"); }), "no error");
  EXPECT_EQ(second->zsrDownFilter(), "Z1111");
  const auto notStored = [](Instance& instance) {
    int count = 0;
    for (const Event& e : instance.Events())
      if (e.level == mlError && e.code == 40 && IsNotStoredText(e.message)) ++count;
    return count;
  };
  ASSERT_TRUE(WaitFor([&] { return notStored(*first) == 1 && notStored(*second) == 1; }));
  // Tried again at the next put, not over and over meanwhile.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(notStored(*first), 1);
  EXPECT_THAT(ReadFile(practice_.AppData("korvex.log")), HasSubstr("[settings not stored]"));

  fs::remove_all(Ini());
  EXPECT_EQ(ErrorOf([&] { second->asasLogin("dr.neu"); }), "no error");
  EXPECT_TRUE(WaitFor([&] {
    if (!fs::is_regular_file(Ini())) return false;
    std::map<std::string, std::string> stored = IniValues(Ini());
    return stored["zsrDownFilter"] == "Z1111" && stored["hinLogin"] == "dr.neu";
  }));
  EXPECT_EQ(notStored(*first), 1);
}

// While a run works (held in its send step by a slow trust center) the
// directories stay: another value answers Busy, the value already set OK.
// Other settings change as before. After the run the change is taken.
TEST_F(ServerLimitsTest, DirectoriesAnswerBusyWhileARunWorksUnlessTheValueIsTheOneSet) {
  AddInvoices(4);
  sim_.SetControl(R"({"fault": "slow", "slow_seconds": 2, "fault_methods": ["korvex.inputgate.write2"]})");
  const std::string elsewhere = practice_.Root() + "/elsewhere/";
  RegisteredBus bus;
  Client client;
  client->Auto();
  ASSERT_TRUE(WaitFor([&] { return !sim_.Uploads().empty(); }, std::chrono::seconds(120)));
  const struct {
    const char* property;
    std::string current;
  } cases[] = {
      {"inputDirectory", practice_.InvoiceDir()},
      {"workDirectory", practice_.Work()},
      {"outputDirectory", practice_.ResponseDir()},
  };
  for (const auto& c : cases) {
    EXPECT_THAT(GdbusPut(bus.Dir(), client.Path(), c.property, elsewhere), HasSubstr("ch.belmor.Korvex.Error.Busy"))
        << c.property;
    EXPECT_THAT(GdbusPut(bus.Dir(), client.Path(), c.property, elsewhere), HasSubstr("0x800700AA")) << c.property;
    EXPECT_EQ(GdbusPut(bus.Dir(), client.Path(), c.property, c.current), "no error") << c.property;
  }
  EXPECT_EQ(ErrorOf([&] { client->zsrDownFilter("Z2222"); }), "no error");
  EXPECT_FALSE(client->Completed(moPSender)) << "the run ended before the puts were made";
  EXPECT_EQ(client->inputDirectory(), practice_.InvoiceDir());
  EXPECT_EQ(client->workDirectory(), practice_.Work());
  EXPECT_EQ(client->outputDirectory(), practice_.ResponseDir());

  ASSERT_TRUE(WaitFor([&] { return client->Completed(moPSender); }, std::chrono::seconds(120)));
  EXPECT_EQ(belmor::korvex::e2e::UploadedNumbers(sim_).size(), 4u);
  // The lock is given back a moment after the last report.
  EXPECT_TRUE(WaitFor([&] { return GdbusPut(bus.Dir(), client.Path(), "inputDirectory", elsewhere) == "no error"; }));
  EXPECT_EQ(client->inputDirectory(), elsewhere);
}

// The work directory changed by a client that is no code of ours (gdbus), the
// server ended before any run, then changed once more in korvex.ini while no
// server ran: each start carries the duplicate log of the work area used
// before into the new one, so an invoice sent in the first work area and
// exported again under another name is refused and not uploaded.
TEST_F(ServerLimitsTest, ADuplicateLogFollowsTheWorkDirectoryAcrossPutsAndStarts) {
  AddInvoices(1);
  const std::string first = practice_.Root() + "/zweiter-ort/";
  const std::string second = practice_.Root() + "/dritter-ort/";
  RegisteredBus bus;
  // One server's life: a client's calls, then its release ends the server.
  const auto serve = [&](const std::function<void(Client&)>& use) {
    pid_t server = 0;
    {
      Client client;
      server = bus.ServerPid();
      use(client);
      client->Release();
    }
    ASSERT_GT(server, 0);
    ASSERT_TRUE(WaitFor([&] { return ::kill(server, 0) != 0; }, std::chrono::seconds(30)));
  };
  serve([&](Client& client) {
    client->Auto();
    ASSERT_TRUE(WaitFor([&] { return client->Completed(moPSender); }, std::chrono::seconds(120)));
    EXPECT_EQ(GdbusPut(bus.Dir(), client.Path(), "workDirectory", first), "no error");
  });
  ASSERT_EQ(belmor::korvex::e2e::UploadedNumbers(sim_).size(), 1u);
  serve([&](Client& client) { EXPECT_EQ(client->workDirectory(), first); });

  std::string ini = ReadFile(Ini());
  const size_t at = ini.find("workDir=" + first + "\n");
  ASSERT_NE(at, std::string::npos) << ini;
  ini.replace(at, ("workDir=" + first).size(), "workDir=" + second);
  WriteFile(Ini(), ini);
  WriteFile(practice_.InvoiceDir() + "nochmals.xml", belmor::testing::GeneratedInvoice(1));
  serve([&](Client& client) {
    EXPECT_EQ(client->workDirectory(), second);
    client->Auto();
    ASSERT_TRUE(WaitFor([&] { return client->Completed(moPSender); }, std::chrono::seconds(120)));
    const std::vector<Event> events = client->Events();
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const Event& e) {
      return e.code == 12 && e.fileName == "nochmals.xml" && e.origin == moPChecker;
    })) << "no duplicate report";
  });
  EXPECT_EQ(belmor::korvex::e2e::UploadedNumbers(sim_).size(), 1u);
  EXPECT_EQ(ReadFile(practice_.AppData("korvex.workbase")), second + "\n");
}

}  // namespace
}  // namespace belmor::korvex::server
