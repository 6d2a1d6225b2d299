// The server korvex driven by a client that is no code of ours and keeps one
// bus connection for the whole exchange (foreign_peer.py, Gio from Debian's
// python3-gi), and the interface as the bus shows it to such a client.

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include "e2e/e2e_support.h"
#include "support/invoice_factory.h"
#include "support/private_bus.h"
#include "support/temp_dir.h"
#include "support/trust_center_sim.h"

namespace belmor::korvex::server {
namespace {

using belmor::korvex::e2e::Practice;
using belmor::korvex::e2e::UploadedNumbers;
using belmor::testing::Child;
using belmor::testing::GeneratedInvoiceNumber;
using belmor::testing::PrivateBus;
using belmor::testing::ReadFile;
using belmor::testing::RunTool;
using belmor::testing::TrustCenterSim;
using belmor::testing::WaitFor;
using ::testing::ElementsAreArray;

// A private bus with the server registered per user, where it finds it.
class RegisteredBus : public PrivateBus {
 public:
  RegisteredBus() { EXPECT_TRUE(RegisterServer(KORVEX_SERVER_PROGRAM)); }
};

// The value of "key": in one JSON line of the peer: a string's text or a
// number's digits; empty when the line has no such key.
std::string Field(const std::string& line, const std::string& key) {
  const std::regex pattern("\"" + key + "\": (\"((?:[^\"\\\\]|\\\\.)*)\"|-?[0-9]+|true|false)");
  std::smatch match;
  if (!std::regex_search(line, match, pattern)) return "";
  return match[2].matched ? match[2].str() : match[1].str();
}

struct PeerEvent {
  int level, mclass, origin, code;
  std::string file;
};

class ForeignPeerTest : public ::testing::Test {
 protected:
  ForeignPeerTest() {
    practice_.WriteSettings();
    practice_.PreloadToken();
  }

  TrustCenterSim sim_;
  Practice practice_{sim_};
};

TEST_F(ForeignPeerTest, RunsAutoToItsEndOnOneConnectionAndItsReleaseEndsTheServer) {
  std::vector<std::string> numbers;
  for (int n = 1; n <= 3; ++n) {
    practice_.AddInvoice(n);
    numbers.push_back(GeneratedInvoiceNumber(n));
  }
  RegisteredBus bus;
  Child peer({"/usr/bin/python3", KORVEX_SOURCE_DIR "/tests/server/foreign_peer.py"}, bus.Dir().Sub("peer.out"));
  ASSERT_EQ(peer.Wait(std::chrono::seconds(400)), 0) << peer.Output();

  std::vector<std::string> lines;
  std::istringstream output(peer.Output());
  for (std::string line; std::getline(output, line);) lines.push_back(line);
  ASSERT_GE(lines.size(), 4u) << peer.Output();

  // First the instance and the version read through org.freedesktop.DBus.Properties.
  EXPECT_THAT(Field(lines.front(), "instance"), ::testing::MatchesRegex("/ch/belmor/Korvex/[0-9]+"));
  EXPECT_EQ(Field(lines.front(), "version"), "Korvex Ordiva V 5.0.3");
  const pid_t server = std::stoi("0" + Field(lines.front(), "serverPid"));
  EXPECT_GT(server, 0);

  // Then the run's reports, then the release, and the server left the bus
  // while the peer was still on it: the release ended it, not the peer's end.
  std::vector<PeerEvent> events;
  for (size_t i = 1; i + 2 < lines.size(); ++i) {
    ASSERT_THAT(lines[i], ::testing::StartsWith("{\"event\": ")) << i;
    events.push_back({std::stoi(Field(lines[i], "level")), std::stoi(Field(lines[i], "class")),
                      std::stoi(Field(lines[i], "origin")), std::stoi(Field(lines[i], "code")),
                      Field(lines[i], "file")});
  }
  EXPECT_EQ(Field(lines[lines.size() - 2], "released"), Field(lines.front(), "instance"));
  EXPECT_EQ(lines.back(), "{\"serverLeft\": true}");
  EXPECT_TRUE(WaitFor([&] { return ::kill(server, 0) != 0; }, std::chrono::seconds(10)));

  // The steps of Auto one after the other, each reporting every invoice by
  // name and ending with its completion; the send step's completion last;
  // no error anywhere.
  ASSERT_FALSE(events.empty());
  std::vector<int> origins, completed;
  std::map<int, std::set<std::string>> filesByStep;
  for (size_t i = 0; i < events.size(); ++i) {
    const PeerEvent& e = events[i];
    origins.push_back(e.origin);
    if (!e.file.empty()) filesByStep[e.origin].insert(e.file);
    if (e.mclass == 2 && e.code == 1) {
      completed.push_back(e.origin);
      EXPECT_TRUE(i + 1 == events.size() || events[i + 1].origin != e.origin) << "a report after step " << e.origin
                                                                              << " completed";
    }
    EXPECT_LT(e.level, 3) << e.origin << " " << e.code << " " << e.file;
  }
  EXPECT_TRUE(std::is_sorted(origins.begin(), origins.end()));
  EXPECT_THAT(completed, ElementsAreArray({0, 1, 2, 4}));
  EXPECT_EQ(events.back().mclass, 2);
  EXPECT_EQ(events.back().origin, 4);
  EXPECT_EQ(events.back().code, 1);
  const std::set<std::string> invoiceFiles = {Practice::InvoiceFileName(1), Practice::InvoiceFileName(2),
                                              Practice::InvoiceFileName(3)};
  for (int step : {0, 1, 2, 4}) EXPECT_EQ(filesByStep[step], invoiceFiles) << step;

  // The trust center has every invoice, once.
  std::vector<std::string> uploaded = UploadedNumbers(sim_);
  std::sort(uploaded.begin(), uploaded.end());
  EXPECT_EQ(uploaded, numbers);
}

// The update question waits for someone at the screen, so only a run of an
// instance whose client said it has one (the monitor sets "interactive") asks
// it. The property is the instance's own and false until set: a client that
// never heard of it (a billing program, a scheduler's korvexctl) is never
// asked, also after another client has set its own.
TEST_F(ForeignPeerTest, OnlyARunOfAnInstanceSetInteractiveAsksTheUpdateQuestion) {
  sim_.SetControl(R"({"new_version": {"currentVersion": "20240101", "url": "https://localhost:)" +
                  std::to_string(sim_.HttpsPort()) + R"(/download/kxp-setup.exe", "info": "Korvex Ordiva 2024"}})");
  belmor::testing::TempDir scripts;
  const std::string asked = scripts.Sub("asked");
  belmor::korvex::e2e::WriteScript(scripts.Sub("confirm"), "echo asked >>'" + asked + "'\nexit 1\n");
  belmor::testing::ScopedEnv confirm("KORVEX_CONFIRM", scripts.Sub("confirm"));
  RegisteredBus bus;
  // An instance of ours keeps the server between the peers.
  const auto connection = sdbus::createSessionBusConnection();
  const auto factory = sdbus::createProxy(*connection, "ch.belmor.Korvex", "/ch/belmor/Korvex");
  sdbus::ObjectPath holderPath;
  factory->callMethod("CreateInstance").onInterface("ch.belmor.Korvex.Factory").storeResultsTo(holderPath);
  const auto holder = sdbus::createProxy(*connection, "ch.belmor.Korvex", holderPath);
  const auto holderInteractive = [&] {
    return holder->getProperty("interactive").onInterface("ch.belmor.Korvex.IKorvex").get<bool>();
  };

  const struct {
    const char* name;
    std::vector<std::string> options;
    bool interactive;
    int questions;  // asked so far
  } peers[] = {
      {"a client that says someone is at the screen", {"--interactive"}, true, 1},
      {"a client that says nothing", {}, false, 1},
  };
  for (const auto& p : peers) {
    SCOPED_TRACE(p.name);
    std::vector<std::string> argv = {"/usr/bin/python3", KORVEX_SOURCE_DIR "/tests/server/foreign_peer.py", "--stay"};
    argv.insert(argv.end(), p.options.begin(), p.options.end());
    Child peer(argv, bus.Dir().Sub("peer.out"));
    ASSERT_EQ(peer.Wait(std::chrono::seconds(300)), 0) << peer.Output();
    const std::string first = peer.Output().substr(0, peer.Output().find('\n'));
    EXPECT_EQ(Field(first, "interactiveBefore"), "false") << first;
    EXPECT_EQ(Field(first, "interactive"), p.interactive ? "true" : "false") << first;
    const std::string questions = std::filesystem::exists(asked) ? ReadFile(asked) : "";
    EXPECT_EQ(std::count(questions.begin(), questions.end(), '\n'), p.questions);
    EXPECT_FALSE(holderInteractive());
  }
  holder->callMethod("Release").onInterface("ch.belmor.Korvex.IKorvex");
}

// The members of one interface in an introspection text, one line each:
// kind, name and types ("method AutoOne in s out ", "property trustCenter s
// readwrite", "signal korvexEvent iiiiss"), so a member missing, of another
// kind, with other argument types or another access shows.
std::set<std::string> Members(const std::string& xml, const std::string& interface) {
  static const std::regex tag("<(/?)([a-z]+)([^>]*?)(/?)>");
  const auto attribute = [](const std::string& attributes, const std::string& key) {
    std::smatch match;
    const std::regex pattern("\\b" + key + "=\"([^\"]*)\"");
    return std::regex_search(attributes, match, pattern) ? match[1].str() : std::string();
  };
  std::set<std::string> members;
  bool inside = false;
  std::string kind, member, ins, outs;
  for (auto it = std::sregex_iterator(xml.begin(), xml.end(), tag); it != std::sregex_iterator(); ++it) {
    const bool closing = (*it)[1].length() > 0, empty = (*it)[4].length() > 0;
    const std::string element = (*it)[2], attributes = (*it)[3];
    if (element == "interface") {
      inside = !closing && attribute(attributes, "name") == interface;
      continue;
    }
    if (!inside) continue;
    if (!closing && (element == "method" || element == "signal" || element == "property")) {
      kind = element;
      member = attribute(attributes, "name");
      ins.clear();
      outs.clear();
      if (element == "property")
        member += " " + attribute(attributes, "type") + " " + attribute(attributes, "access");
    } else if (!closing && element == "arg") {
      (attribute(attributes, "direction") == "in" ? ins : outs) += attribute(attributes, "type");
    }
    if (element == kind && (closing || empty)) {
      if (kind == "method") member += " in " + ins + " out " + outs;
      if (kind == "signal") member += " " + outs;
      members.insert(kind + " " + member);
      kind.clear();
    }
  }
  return members;
}

// Every member of the interface description is served with its kind and
// types, as a client that reads the introspection sees them: the factory on
// its path, the automation interface on an instance.
TEST(ForeignPeerIntrospection, EveryMemberIsServedWithItsKindAndTypes) {
  RegisteredBus bus;
  // An instance of ours for the tool to look at: the tool's own would go
  // with the tool.
  const auto connection = sdbus::createSessionBusConnection();
  const auto factory = sdbus::createProxy(*connection, "ch.belmor.Korvex", "/ch/belmor/Korvex");
  sdbus::ObjectPath instance;
  factory->callMethod("CreateInstance").onInterface("ch.belmor.Korvex.Factory").storeResultsTo(instance);

  const std::string described = ReadFile(KORVEX_INTERFACE_XML);
  const struct {
    const char* interface;
    std::string path;
    size_t atLeast;
  } objects[] = {
      {"ch.belmor.Korvex.Factory", "/ch/belmor/Korvex", 1},
      {"ch.belmor.Korvex.IKorvex", instance, 30},
  };
  for (const auto& o : objects) {
    int status = 0;
    const std::string served =
        RunTool({"gdbus", "introspect", "--session", "--xml", "-d", "ch.belmor.Korvex", "-o", o.path}, bus.Dir(),
                &status);
    ASSERT_EQ(status, 0) << served;
    const std::set<std::string> expected = Members(described, o.interface);
    EXPECT_GE(expected.size(), o.atLeast) << o.interface;
    EXPECT_EQ(Members(served, o.interface), expected) << o.interface;
  }
  EXPECT_THAT(Members(described, "ch.belmor.Korvex.IKorvex"),
              ::testing::IsSupersetOf({"method AutoOne in s out ", "signal korvexEvent iiiiss",
                                       "property korvexVersion s read", "property trustCenter s readwrite",
                                       "method Release in  out "}));
}

}  // namespace
}  // namespace belmor::korvex::server
