// Whole runs of the engine against the test trust center: the real HTTP
// client, OAuth, gate client and stylesheets, with nothing doubled.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/path.h"
#include "config/client_config.h"
#include "e2e/e2e_support.h"
#include "engine/korvex.h"
#include "engine/processing.h"
#include "logging/korvex_logger.h"
#include "logging/messages.h"
#include "logging/report.h"
#include "pipeline/step_semaphore.h"
#include "support/invoice_factory.h"
#include "transport/http_client.h"
#include "transport/sim_fixture.h"
#include "transport/token_store.h"

namespace belmor::korvex::e2e {
namespace {

namespace fs = std::filesystem;
using belmor::testing::GeneratedInvoice;
using belmor::testing::GeneratedInvoiceNumber;
using belmor::testing::ReadFile;
using belmor::testing::WriteFile;
using testing::LoggedRequest;
using testing::ParseLoggedRequest;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Numbers = std::multiset<std::string>;

std::string Text(int number) { return KorvexLogger::GetMessageText(number); }

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string Element(const std::string& text, const std::string& pattern) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : std::string();
}

// A response of the trust center in a format its configuration knows.
std::string Response(const std::string& number) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<response xmlns=\"urn:belmor:fixture:invoice:1.0\" number=\"" +
         number + "\" status=\"paid\" amount=\"123.45\"/>\n";
}

Numbers AsSet(const std::vector<std::string>& numbers) { return Numbers(numbers.begin(), numbers.end()); }

std::vector<LoggedRequest> Requests(const TrustCenterSim& sim) {
  std::vector<LoggedRequest> requests;
  for (const std::string& line : sim.RequestLog()) requests.push_back(ParseLoggedRequest(line));
  return requests;
}

bool Eventually(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A run as the monitor starts it: someone at the screen may answer a question.
bool RunWithSomeoneAtTheScreen(Engine& engine, Processing processing) {
  RunLease lease = BeginProcessing(*engine.Get(), processing, "", true);
  if (!lease) return false;
  RunProcessing(engine.Get(), processing, std::move(lease));
  return true;
}

class PipelineTest : public ::testing::Test {
 protected:
  // Each test is a practice of its own with a trust center of its own.
  TrustCenterSim sim_;
  Practice practice_{sim_};
};

// The first step of the first run fetches the configuration, its package and
// the recipients' certificates with a token from a browser login, and the run
// delivers invoices that only the recipients can read.
TEST_F(PipelineTest, FirstRunLoadsTheConfigurationOnlineAndSendsInvoicesOnlyRecipientsCanRead) {
  ScopedEnv browser("KORVEX_BROWSER", TrustCenterSim::BrowserCommand());
  std::map<std::string, std::string> originals;
  for (int n = 1; n <= 3; ++n) {
    practice_.AddInvoice(n);
    originals[GeneratedInvoiceNumber(n)] = GeneratedInvoice(n);
  }
  const std::string answer = Response("R-GEN-000001");
  sim_.AddResponse("Z1234", "antwort-1.pdf", answer);

  Engine engine;
  ASSERT_TRUE(engine.Run(Processing::Auto));
  ASSERT_TRUE(engine.Run(Processing::Write));
  EXPECT_THAT(engine.Sink().Errors(), IsEmpty());

  // The trust center's configuration, kept as the local copy for later starts.
  const std::string port = std::to_string(sim_.HttpsPort());
  EXPECT_EQ(ReadFile(practice_.AppData("korvex.xml")),
            ReplaceAll(ReadFile(ShippedConfigDir() + "korvex.xml"), "localhost:8443", "localhost:" + port));
  EXPECT_EQ(ReadFile(practice_.AppData("korvex.xsd")), ReadFile(ShippedConfigDir() + "korvex.xsd"));
  const auto& center = engine.Get()->GetClientConfig()->CurrentCenter();
  ASSERT_TRUE(center);
  EXPECT_EQ(center->url, sim_.BaseUrl() + "/gate/nord");

  // The token came from the login in the browser and opened every download.
  const std::string token =
      Element(ReadFile(practice_.AppData(kTokenFileName)), "\"access_token\"\\s*:\\s*\"([A-Za-z0-9]+)\"");
  ASSERT_EQ(token.size(), 60u);
  ASSERT_NE(token, TrustCenterSim::kValidToken);
  const std::vector<LoggedRequest> requests = Requests(sim_);
  auto answered = [&](const std::string& method, const std::string& path) {
    return std::count_if(requests.begin(), requests.end(), [&](const LoggedRequest& r) {
      return r.method == method && r.path.rfind(path, 0) == 0 && r.status.kind() == RpcValue::kInt &&
             r.status.AsInt() == 200;
    });
  };
  EXPECT_EQ(answered("POST", "/REST/v1/OAuth/GetAccessToken"), 1);
  for (const std::string path : {"/download/config/korvex.xml", "/download/schemas/korvex.xsd",
                                 "/download/kx-schemas.zip", "/certificates/tcnord-a.crt",
                                 "/certificates/tcnord-b.crt"}) {
    SCOPED_TRACE(path);
    EXPECT_GE(answered("GET", path), 1);
  }
  for (const LoggedRequest& r : requests) {
    if (r.path.rfind("/download/", 0) == 0 || r.path.rfind("/certificates/", 0) == 0 ||
        r.path.rfind("/gate/", 0) == 0) {
      EXPECT_EQ(r.authorization.kind() == RpcValue::kString ? r.authorization.AsString() : "", "Bearer " + token)
          << r.path;
    }
  }
  // The browser stand-in went to the login page.
  EXPECT_TRUE(std::any_of(requests.begin(), requests.end(), [](const LoggedRequest& r) {
    return r.method == "GET" && r.path.rfind("/REST/v1/OAuth/GetAuthCode/", 0) == 0;
  }));

  // Each invoice went out once; the patient is readable by both recipients and
  // by nobody else.
  const std::vector<std::string> uploads = sim_.Uploads();
  Numbers received;
  for (const std::string& upload : uploads) {
    const ReceivedInvoice a = OpenUpload(sim_, upload, "tcnord-a");
    const ReceivedInvoice b = OpenUpload(sim_, upload, "tcnord-b");
    SCOPED_TRACE(a.number);
    received.insert(a.number);
    ASSERT_EQ(originals.count(a.number), 1u);
    const std::string& original = originals[a.number];
    EXPECT_TRUE(a.wellFormed);
    for (const std::string& value : {Element(original, "<familyname>([^<]+)</familyname>"),
                                     Element(original, "<givenname>([^<]+)</givenname>"),
                                     Element(original, "birthdate=\"([^\"]+)\"")}) {
      ASSERT_FALSE(value.empty());
      EXPECT_THAT(upload, Not(HasSubstr(value)));
      EXPECT_THAT(a.patient, HasSubstr(value));
      EXPECT_THAT(b.patient, HasSubstr(value));
    }
  }
  EXPECT_EQ(received, AsSet({GeneratedInvoiceNumber(1), GeneratedInvoiceNumber(2), GeneratedInvoiceNumber(3)}));
  EXPECT_EQ(AsSet(practice_.NumbersIn(practice_.Work("archive"))), received);
  EXPECT_EQ(practice_.DuplicateLogIds(), std::set<std::string>(received.begin(), received.end()));
  EXPECT_THAT(practice_.NumbersIn(practice_.InvoiceDir()), IsEmpty());
  EXPECT_THAT(practice_.NumbersIn(practice_.Work("output")), IsEmpty());

  // The practice's response arrived whole and the gate was told so.
  EXPECT_EQ(ReadFile(practice_.ResponseDir() + "antwort-1.xml"), answer);
  EXPECT_FALSE(sim_.HasResponse("Z1234", "antwort-1.pdf"));
}

// Every third upload is refused, in turn by an XML-RPC fault, the gate's 503
// and a 4xx: each a definite answer. An invoice is either sent (archived,
// recorded, at the trust center) or still waiting in work "output"; the next
// run sends exactly the waiting ones.
TEST_F(PipelineTest, UploadsRefusedMidRunWaitForTheNextRunAndNoInvoiceGoesTwice) {
  practice_.PreloadToken();
  constexpr int kInvoices = 12;
  Numbers input;
  for (int n = 1; n <= kInvoices; ++n) {
    practice_.AddInvoice(n);
    input.insert(GeneratedInvoiceNumber(n));
  }
  sim_.SetControl(R"({"fault_cycle": ["xmlrpc_fault", "http503", "xmlrpc_fault"], "fault_every": 3,
                      "fault_methods": ["korvex.inputgate.write2"]})");

  Engine engine;
  ASSERT_TRUE(engine.Run(Processing::Auto));

  const std::vector<std::string> first = UploadedNumbers(sim_);
  const Numbers sent = AsSet(first);
  const Numbers waiting = AsSet(practice_.NumbersIn(practice_.Work("output")));
  EXPECT_EQ(first.size(), sent.size()) << "no invoice arrived twice";
  EXPECT_EQ(sent.size(), 8u);
  EXPECT_EQ(waiting.size(), 4u);
  EXPECT_EQ(AsSet(practice_.NumbersIn(practice_.Work("archive"))), sent);
  EXPECT_THAT(practice_.HeldNumbers(), IsEmpty());
  const std::set<std::string> recorded = practice_.DuplicateLogIds();
  for (const std::string& number : input) {
    SCOPED_TRACE(number);
    EXPECT_EQ(sent.count(number) + waiting.count(number), 1u) << "sent once or waiting, never both";
    EXPECT_EQ(recorded.count(number), sent.count(number));
  }
  // The waiting files are exactly the ones reported as not transmitted.
  std::set<std::string> reportedFailed;
  for (const Report& r : engine.Sink().Reports()) {
    if (r.origin == moPSender && r.code == 17) reportedFailed.insert(r.fileName);
  }
  std::set<std::string> waitingFiles;
  for (const auto& entry : fs::directory_iterator(practice_.Work("output"))) {
    if (entry.path().filename().string().front() != '.') waitingFiles.insert(entry.path().filename().string());
  }
  EXPECT_EQ(reportedFailed, waitingFiles);

  sim_.SetControl("{}");
  const size_t reportsBefore = engine.Sink().Reports().size();
  ASSERT_TRUE(engine.Run(Processing::Auto));

  const std::vector<std::string> all = UploadedNumbers(sim_);
  ASSERT_GE(all.size(), first.size());
  EXPECT_EQ(AsSet(std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(first.size()), all.end())),
            waiting);
  EXPECT_EQ(AsSet(all), input);
  EXPECT_THAT(practice_.NumbersIn(practice_.Work("output")), IsEmpty());
  EXPECT_EQ(AsSet(practice_.NumbersIn(practice_.Work("archive"))), input);
  EXPECT_EQ(practice_.DuplicateLogIds().size(), input.size());
  const std::vector<Report> reports = engine.Sink().Reports();
  for (size_t i = reportsBefore; i < reports.size(); ++i) {
    EXPECT_LT(reports[i].level, mlError) << reports[i].fileName << ": " << reports[i].message;
  }
}

// An upload whose answer is lost (the gate stored it and closed the
// connection, or the gateway answered 500 after passing it on) is held for
// the practice; the run's other invoices wait and go with the next run, which
// never sends the held one. Exported again by the practice, it goes.
void ExpectALostAnswerHoldsItsInvoice(TrustCenterSim& sim, Practice& practice, const std::string& fault,
                                      bool storedByTheFault) {
  practice.PreloadToken();
  constexpr int kInvoices = 6;
  Numbers input;
  for (int n = 1; n <= kInvoices; ++n) {
    practice.AddInvoice(n);
    input.insert(GeneratedInvoiceNumber(n));
  }
  // The third upload loses its answer.
  sim.SetControl(R"({"fault": ")" + fault + R"(", "fault_every": 3, "fault_methods": ["korvex.inputgate.write2"]})");

  Engine engine;
  ASSERT_TRUE(engine.Run(Processing::Auto));

  const std::vector<std::string> held = practice.HeldNumbers();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(practice.NumbersIn(practice.Work("output")).size(), 3u) << "not tried after the lost answer";
  const std::vector<Report> reports = engine.Sink().Reports();
  EXPECT_TRUE(std::any_of(reports.begin(), reports.end(), [](const Report& r) {
    return r.origin == moPSender && r.level == mlError && r.code == 18 && r.message == Text(65);
  }));

  sim.SetControl("{}");
  ASSERT_TRUE(engine.Run(Processing::Auto));
  ASSERT_TRUE(engine.Run(Processing::Auto));

  std::map<std::string, int> copies;
  for (const std::string& number : UploadedNumbers(sim)) ++copies[number];
  for (const std::string& number : input) {
    EXPECT_EQ(copies[number], number == held[0] ? (storedByTheFault ? 1 : 0) : 1) << number;
  }
  EXPECT_THAT(practice.NumbersIn(practice.Work("output")), IsEmpty());
  EXPECT_EQ(practice.HeldNumbers(), held) << "held until the practice removes the file";

  // The practice asked the trust center and exports it again: it goes.
  const int n = std::stoi(held[0].substr(held[0].rfind('-') + 1));
  practice.AddInvoice(n);
  ASSERT_TRUE(engine.Run(Processing::Auto));
  copies.clear();
  for (const std::string& number : UploadedNumbers(sim)) ++copies[number];
  EXPECT_EQ(copies[held[0]], storedByTheFault ? 2 : 1);
}

TEST_F(PipelineTest, AnUploadStoredByTheGateWhoseConnectionDroppedIsHeldNotSentAgain) {
  ExpectALostAnswerHoldsItsInvoice(sim_, practice_, "stored_drop", true);
}

TEST_F(PipelineTest, AnUploadAnsweredByTheGatewaysInternalErrorIsHeldNotSentAgain) {
  ExpectALostAnswerHoldsItsInvoice(sim_, practice_, "http500", false);
}

// A run keeps one TLS connection to the trust center however many invoices
// it sends; a trust center that closes connections after every second request
// still gets every invoice, each exactly once.
TEST_F(PipelineTest, ARunKeepsOneConnectionAndSendsEachInvoiceOnceWhenTheServerClosesIt) {
  practice_.PreloadToken();
  const struct {
    const char* control;
    int first;
    int maxConnections;
  } runs[] = {
      {"{}", 1, 3},  // the configuration download, its documents and all gate calls: one connection
      {R"({"close_after": 2})", 51, 100},
  };
  size_t uploadsBefore = 0;
  for (const auto& run : runs) {
    SCOPED_TRACE(run.control);
    sim_.SetControl(run.control);
    Numbers input;
    for (int n = run.first; n < run.first + 50; ++n) {
      practice_.AddInvoice(n);
      input.insert(GeneratedInvoiceNumber(n));
    }
    const int connectionsBefore = sim_.HttpsConnections();

    Engine engine;
    ASSERT_TRUE(engine.Run(Processing::Auto));

    EXPECT_LE(sim_.HttpsConnections() - connectionsBefore, run.maxConnections);
    const std::vector<std::string> uploads = UploadedNumbers(sim_);
    ASSERT_GE(uploads.size(), uploadsBefore);
    EXPECT_EQ(AsSet(std::vector<std::string>(uploads.begin() + static_cast<std::ptrdiff_t>(uploadsBefore), uploads.end())),
              input);
    uploadsBefore = uploads.size();
    EXPECT_THAT(practice_.NumbersIn(practice_.Work("output")), IsEmpty());
    EXPECT_THAT(engine.Sink().Errors(), IsEmpty());
  }
}

// A trust center whose session names a gate on another host (its certificate
// from the same CA, so TLS alone would let it pass) gets no invoice and no
// token: the run refuses the session, names the gate to the practice (in the
// session log and to the clients) and the invoices wait.
TEST_F(PipelineTest, ASessionNamingAnotherHostGetsNoInvoiceAndNoTokenAndThePracticeHearsWhichGate) {
  practice_.PreloadToken();
  for (int n = 1; n <= 2; ++n) practice_.AddInvoice(n);
  sim_.SetControl(R"({"session_host": "other.localhost"})");

  Engine engine;
  ASSERT_TRUE(engine.Run(Processing::Auto));

  EXPECT_THAT(UploadedNumbers(sim_), IsEmpty());
  for (const belmor::testing::SimRequest& request : sim_.Requests()) {
    EXPECT_THAT(request.host, Not(HasSubstr("other.localhost"))) << request.path;
  }
  EXPECT_EQ(practice_.NumbersIn(practice_.Work("output")).size(), 2u);
  const std::string gate = "other.localhost:" + std::to_string(sim_.HttpsPort());
  const std::string refused = FormatMessageText(Text(73), {gate});
  int reported = 0;
  for (const Report& r : engine.Sink().Reports()) {
    if (r.origin == moPSender && r.level == mlError && r.code == 16 && r.message == refused) ++reported;
  }
  EXPECT_GE(reported, 1) << refused;
  std::string sessionLog;
  for (const auto& entry : fs::directory_iterator(practice_.Work("logs"))) sessionLog += ReadFile(entry.path());
  EXPECT_THAT(sessionLog, HasSubstr(gate));
  EXPECT_THAT(sessionLog, HasSubstr("Verbindung abgelehnt"));
}

// Files of the practice root that no run may write: anything but the work
// area's own files and the delivered responses.
std::vector<std::string> StrayFiles(const Practice& practice) {
  static const char* const kAllowed[] = {"work/logs/", "work/korvex.log", "work/korvex.pending", "work/korvex.received",
                                         "work/responses/", "work/responses-archive/", "Antworten/"};
  std::vector<std::string> stray;
  for (const auto& entry : fs::recursive_directory_iterator(practice.Root())) {
    if (!entry.is_regular_file()) continue;
    const std::string relative = fs::relative(entry.path(), practice.Root()).string();
    if (std::none_of(std::begin(kAllowed), std::end(kAllowed),
                     [&](const char* allowed) { return relative.rfind(allowed, 0) == 0; })) {
      stray.push_back(relative);
    }
  }
  return stray;
}

// The gate names its responses; a name that climbs out of the response
// directory or is absolute must never place a file elsewhere. It is stored as
// responses/x.xml, or reported as not received (message 53); with this trust
// center, which refuses to read such names, it is always the latter.
TEST_F(PipelineTest, ResponseNamesFromTheGateNeverPlaceAFileOutsideTheWorkArea) {
  practice_.PreloadToken();
  const std::string good = Response("R-GEN-000007");
  const std::string bad = Response("climbing");
  const struct {
    const char* what;
    std::vector<std::string> names;
    bool served;  // the trust center holds files named x and x.pdf
  } cases[] = {
      {"after a good name, files at hand", {"ok.pdf", "../../x", "/etc/x"}, true},
      {"no such files", {"../../x", "/etc/x"}, false},
      {"absolute name first", {"/etc/x", "../../x"}, true},
  };
  Engine engine;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const std::string name : {"x", "x.pdf"}) {
      if (c.served) sim_.AddResponse("Z1234", name, bad);
    }
    const bool withGood = std::find(c.names.begin(), c.names.end(), "ok.pdf") != c.names.end();
    if (withGood) sim_.AddResponse("Z1234", "ok.pdf", good);
    std::string list;
    for (const std::string& name : c.names) list += (list.empty() ? "\"" : ", \"") + name + "\"";
    sim_.SetControl("{\"response_names\": [" + list + "]}");
    const size_t reportsBefore = engine.Sink().Reports().size();
    const size_t requestsBefore = sim_.RequestLog().size();

    ASSERT_TRUE(engine.Run(Processing::Send));
    ASSERT_TRUE(engine.Run(Processing::Write));

    EXPECT_THAT(StrayFiles(practice_), IsEmpty());
    for (const std::string path : {"/etc/x", "/etc/x.xml"}) EXPECT_FALSE(fs::exists(path)) << path;
    for (const std::string& dir :
         {practice_.Work("responses"), practice_.Work("responses-archive"), practice_.ResponseDir()}) {
      for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "x.xml" || name == "ok.xml") << entry.path();
      }
    }
    const std::vector<Report> all = engine.Sink().Reports();
    const std::vector<Report> reports(all.begin() + static_cast<std::ptrdiff_t>(reportsBefore), all.end());
    const bool notReceived = std::any_of(reports.begin(), reports.end(), [](const Report& r) {
      return r.origin == moPDownloader && r.level >= mlWarning && r.message == Text(53);
    });
    if (fs::exists(practice_.ResponseDir() + "x.xml")) {
      EXPECT_EQ(ReadFile(practice_.ResponseDir() + "x.xml"), bad);
    } else {
      EXPECT_TRUE(notReceived);
    }
    // What was not stored was not confirmed either: the trust center keeps it.
    if (c.served) {
      EXPECT_TRUE(sim_.HasResponse("Z1234", "x"));
      EXPECT_TRUE(sim_.HasResponse("Z1234", "x.pdf"));
    }
    const std::vector<std::string> log = sim_.RequestLog();
    for (size_t i = requestsBefore; i < log.size(); ++i) {
      const LoggedRequest r = ParseLoggedRequest(log[i]);
      if (r.rpcMethod != "korvex.responsegate.read") continue;
      const std::vector<RpcValue>& params = r.rpcParams.AsArray();
      ASSERT_EQ(params.size(), 4u);
      const std::string name = params[2].AsString();
      if (name == "ok.pdf") continue;
      EXPECT_FALSE(params[3].AsBoolean()) << "confirmed " << name;
    }
    if (withGood) {
      EXPECT_EQ(ReadFile(practice_.ResponseDir() + "ok.xml"), good);
      EXPECT_FALSE(sim_.HasResponse("Z1234", "ok.pdf"));
    }
    for (const auto& entry : fs::directory_iterator(practice_.ResponseDir())) fs::remove(entry.path());
  }
}

// A newer client version is offered. Updates come from the package manager,
// so nothing is fetched or started: when the user agrees, the trust center's
// page opens in the browser, and only an https page on a configured host.
TEST_F(PipelineTest, NewerVersionOpensItsPageOnlyWhenTheUserAgreesAndTheHostIsConfigured) {
  practice_.PreloadToken();
  const std::string port = std::to_string(sim_.HttpsPort());
  const std::string page = "https://localhost:" + port + "/download/kxp-setup.exe";
  const std::string info = "Korvex Ordiva 2024 <neu> & besser";
  TempDir scripts;
  const std::string opened = scripts.Sub("opened");
  const std::string asked = scripts.Sub("asked");
  // The "browser" records what it is given; a login page (there should be
  // none: the token is stored) goes on to the stand-in so nothing hangs.
  WriteScript(scripts.Sub("browser"), "echo \"$1\" >>'" + opened + "'\n" +
                                          "case \"$1\" in http*) exec '" + TrustCenterSim::BrowserCommand() +
                                          "' \"$1\";; esac\n");
  ScopedEnv browser("KORVEX_BROWSER", scripts.Sub("browser"));

  Engine engine;
  auto requestsFor = [&](const std::string& part) {
    const std::vector<LoggedRequest> requests = Requests(sim_);
    return std::count_if(requests.begin(), requests.end(),
                         [&](const LoggedRequest& r) { return r.path.find(part) != std::string::npos; });
  };
  const struct {
    int answer;  // exit status of the question: 0 is Yes
    std::string url;
  } cases[] = {
      {1, page},
      {0, "https://downloads.other.localhost:" + port + "/kxp-setup.exe"},
      {0, sim_.BaseUrl() + "/download/kxp-setup.exe"},  // not https
      {0, page},                                          // the one page that opens, last
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.answer) + " " + c.url);
    sim_.SetControl(R"({"new_version": {"currentVersion": "20240101", "url": ")" + c.url +
                    R"(", "info": "Korvex Ordiva 2024 <neu> & besser"}})");
    WriteScript(scripts.Sub("confirm"), "printf '%s' \"$1\" >'" + asked + "'\nexit " + std::to_string(c.answer) + "\n");
    ScopedEnv confirm("KORVEX_CONFIRM", scripts.Sub("confirm"));
    fs::remove(asked);

    ASSERT_TRUE(RunWithSomeoneAtTheScreen(engine, Processing::Send));

    ASSERT_TRUE(fs::exists(asked));
    EXPECT_EQ(ReadFile(asked), Text(2) + "\r\n\r\n" + info);
    EXPECT_EQ(engine.Get()->GetUpdateAvailable(), 1);
    EXPECT_EQ(engine.Get()->GetUpdateMsg(), info);
    EXPECT_EQ(requestsFor("kxp-setup"), 0);
    EXPECT_FALSE(fs::exists(practice_.Work("kxp-setup.exe")));
  }
  // The browser command runs in the background; the refused offers ran
  // before, so had one reached it, it would be in the file too. The file
  // exists before the shell has written its line: wait for the line.
  EXPECT_TRUE(Eventually([&] { return fs::exists(opened) && ReadFile(opened) == page + "\n"; }));
  EXPECT_EQ(fs::exists(opened) ? ReadFile(opened) : "(none)", page + "\n");
}

// Nothing waits for a person who is not there: a run of a client without
// someone at the screen (a scheduler's, a billing program's) never asks; a
// question nobody answers is No and the run goes on; Cancel ends the
// question at once.
TEST_F(PipelineTest, TheUpdateQuestionNeverHoldsARun) {
  practice_.PreloadToken();
  const std::string port = std::to_string(sim_.HttpsPort());
  sim_.SetControl(R"({"new_version": {"currentVersion": "20240101", "url": "https://localhost:)" + port +
                  R"(/download/kxp-setup.exe", "info": "Korvex Ordiva 2024"}})");
  TempDir scripts;
  const std::string asked = scripts.Sub("asked");
  const std::string opened = scripts.Sub("opened");
  // Asked, it tells so and then waits for an answer that never comes; were
  // it allowed to end by itself, it would say Yes.
  WriteScript(scripts.Sub("confirm"), "echo asked >'" + asked + "'\nsleep 600\nexit 0\n");
  WriteScript(scripts.Sub("browser"), "echo \"$1\" >>'" + opened + "'\n");
  ScopedEnv confirm("KORVEX_CONFIRM", scripts.Sub("confirm"));
  ScopedEnv browser("KORVEX_BROWSER", scripts.Sub("browser"));
  Engine engine;

  ASSERT_TRUE(engine.Run(Processing::Send));
  EXPECT_FALSE(fs::exists(asked)) << "asked in a run of a client with nobody at the screen";
  EXPECT_EQ(engine.Get()->GetUpdateAvailable(), 1);
  EXPECT_EQ(engine.Get()->GetUpdateMsg(), "Korvex Ordiva 2024");

  // The monitor's run asks; the user cancels the run while the question waits.
  std::jthread canceller([&] {
    if (Eventually([&] { return fs::exists(asked); }, std::chrono::seconds(60))) engine.Get()->Cancel();
  });
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(RunWithSomeoneAtTheScreen(engine, Processing::Send));
  const auto took = std::chrono::steady_clock::now() - start;
  canceller.join();
  EXPECT_TRUE(fs::exists(asked));
  // Well before the question's own time limit of two minutes.
  EXPECT_LT(took, std::chrono::seconds(90));
  EXPECT_FALSE(fs::exists(opened));
}

// Reports in the middle of a run probe the step lock with a holder of their
// own: a probe that gets it has found the lock free while the run goes on.
class LockProbe : public IKorvexSystemLogger {
 public:
  void Log(int32_t level, int32_t, int32_t origin, int32_t code, const std::string&,
           const std::string& message) override {
    if (level >= mlError && code == 1) failedSteps.push_back(origin);
    if (probe_.Acquire()) freeAt.push_back(message);
  }
  std::vector<std::string> freeAt;
  std::vector<int32_t> failedSteps;

 private:
  StepSemaphore probe_{"kxStSem"};
};

// Runs are serialised by the step lock: a call is refused while another holder
// has it, an Auto run keeps it from its first step to its last, also past a
// step that failed, and gives it back when it ends.
TEST_F(PipelineTest, StepLockRefusesASecondRunAndIsHeldUntilTheRunEnds) {
  practice_.PreloadToken();
  Engine engine;
  StepSemaphore other("kxStSem");

  StepSemaphore::Lease held = other.Acquire();
  ASSERT_TRUE(held);
  RunState::CancelFlag() = true;
  RunState::SetSingleFileMode(true, "rechnung-0001.xml");
  for (Processing processing : {Processing::Auto, Processing::Send, Processing::Write}) {
    EXPECT_FALSE(BeginProcessing(*engine.Get(), processing)) << ProcessingName(processing);
  }
  // A refused call changes nothing.
  EXPECT_TRUE(RunState::CancelFlag());
  EXPECT_TRUE(RunState::IsSingleFileMode());
  EXPECT_EQ(RunState::SingleFileName(), "rechnung-0001.xml");
  held = StepSemaphore::Lease();

  const struct {
    const char* what;
    Processing processing;
    bool readFails;  // the invoice directory is gone
  } cases[] = {
      {"Auto, every step succeeds", Processing::Auto, false},
      {"Auto, the read step fails", Processing::Auto, true},
      {"Read, which fails", Processing::Read, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ++n;
    if (c.readFails) {
      fs::remove_all(practice_.InvoiceDir());
      // Left over from an earlier run: the later steps still have work.
      WriteFile(practice_.Work("input/") + Practice::InvoiceFileName(n), GeneratedInvoice(n));
    } else {
      fs::create_directories(practice_.InvoiceDir());
      practice_.AddInvoice(n);
    }
    const size_t uploadsBefore = sim_.Uploads().size();
    auto probe = std::make_shared<LockProbe>();
    engine.Get()->GetLogger()->SetEventSink(probe);

    RunLease lease = BeginProcessing(*engine.Get(), c.processing);
    ASSERT_TRUE(lease);
    RunProcessing(engine.Get(), c.processing, std::move(lease));

    EXPECT_EQ(probe->failedSteps, c.readFails ? std::vector<int32_t>{moPReader} : std::vector<int32_t>{});
    if (c.processing == Processing::Auto) {
      EXPECT_THAT(probe->freeAt, IsEmpty());
      EXPECT_EQ(sim_.Uploads().size(), uploadsBefore + 1);
    }
    EXPECT_TRUE(other.IsGreen()) << "the lock is given back when the run ends";
  }
}

// A client that tries to start a run on every report it hears, as a monitor
// reacting to a step's end report would: while a run is active, every such
// call must be refused and change nothing.
class EagerClient : public IKorvexSystemLogger {
 public:
  EagerClient(Korvex& engine, Processing processing) : engine_(engine), processing_(processing) {}

  void Log(int32_t level, int32_t, int32_t origin, int32_t code, const std::string& fileName,
           const std::string& message) override {
    ++reports;
    if (BeginProcessing(engine_, processing_, Practice::InvoiceFileName(1))) grantedAt.push_back(message);
    if (onReport) onReport(level, origin, code, fileName);
  }

  int reports = 0;
  std::vector<std::string> grantedAt;
  std::function<void(int32_t level, int32_t origin, int32_t code, const std::string& fileName)> onReport;

 private:
  Korvex& engine_;
  Processing processing_;
};

// One run of every kind, each with work to do, and a Send cancelled after its
// first invoice: no report of the running call lets a second run begin, not
// the end report of a step, nor the cancel, nor the response download after
// it; right after the call has returned, the next one is granted.
TEST_F(PipelineTest, NoReportOfARunningCallLetsASecondRunBegin) {
  practice_.PreloadToken();
  Engine engine;
  const std::string outputDir = practice_.Work("output");
  // Of the day, known once the first report was written.
  std::string archive;
  const struct {
    const char* what;
    Processing processing;
    std::string fileName;
    std::function<void()> prepare;
    bool cancelAfterFirstFile;
    std::function<void()> check;
  } cases[] = {
      {"Read", Processing::Read, "", [&] { practice_.AddInvoice(1); }, false,
       [&] { EXPECT_EQ(practice_.NumbersIn(practice_.Work("input")).size(), 1u); }},
      {"Check", Processing::Check, "", [] {}, false,
       [&] { EXPECT_EQ(practice_.NumbersIn(practice_.Work("valid")).size(), 1u); }},
      {"Anonymize", Processing::Anonymize, "", [] {}, false,
       [&] { EXPECT_EQ(practice_.NumbersIn(outputDir).size(), 1u); }},
      {"Send", Processing::Send, "", [&] { sim_.AddResponse("Z1234", "antwort-1.pdf", Response("R-GEN-000001")); },
       false,
       [&] {
         EXPECT_EQ(UploadedNumbers(sim_), std::vector<std::string>{GeneratedInvoiceNumber(1)});
         EXPECT_TRUE(fs::exists(practice_.Work("responses/antwort-1.xml")));
       }},
      {"Write", Processing::Write, "",
       [&] {
         // What a kill in the middle of an earlier Write left: its temporaries
         // in each directory it writes to.
         archive = engine.Get()->GetClientConfig()->GetPathResponsesArchive().ToString();
         ASSERT_FALSE(engine.Get()->GetCurrentDay().empty());
         fs::create_directories(archive);
         for (const std::string& dir : {practice_.Work("responses/"), practice_.ResponseDir(), archive}) {
           WriteFile(dir + ".kx-tmp-99-1", Response("R-GEN-000099"));
         }
       },
       false,
       [&] {
         EXPECT_TRUE(fs::exists(practice_.ResponseDir() + "antwort-1.xml"));
         for (const std::string& dir : {practice_.Work("responses/"), practice_.ResponseDir(), archive}) {
           EXPECT_FALSE(fs::exists(dir + ".kx-tmp-99-1")) << dir;
         }
       }},
      {"Auto", Processing::Auto, "", [&] { practice_.AddInvoice(2); }, false,
       [&] { EXPECT_EQ(UploadedNumbers(sim_).size(), 2u); }},
      {"AutoOne", Processing::AutoOne, Practice::InvoiceFileName(3),
       [&] {
         practice_.AddInvoice(3);
         practice_.AddInvoice(4);
       },
       false,
       [&] {
         EXPECT_EQ(UploadedNumbers(sim_).back(), GeneratedInvoiceNumber(3));
         EXPECT_EQ(practice_.NumbersIn(practice_.InvoiceDir()), std::vector<std::string>{GeneratedInvoiceNumber(4)});
       }},
      {"Send, cancelled after its first invoice", Processing::Send, "",
       [&] {
         for (int n = 5; n <= 7; ++n) practice_.AddInvoice(n);
         for (Processing p : {Processing::Read, Processing::Check, Processing::Anonymize}) ASSERT_TRUE(engine.Run(p));
         // With invoice 4, which AutoOne left in the invoice directory.
         ASSERT_EQ(practice_.NumbersIn(outputDir).size(), 4u);
       },
       true,
       [&] {
         EXPECT_EQ(UploadedNumbers(sim_).size(), 4u);
         EXPECT_EQ(practice_.NumbersIn(outputDir).size(), 3u);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.prepare();
    auto client = std::make_shared<EagerClient>(*engine.Get(), c.processing);
    bool cancelled = false;
    if (c.cancelAfterFirstFile) {
      client->onReport = [&](int32_t level, int32_t origin, int32_t, const std::string& fileName) {
        if (!cancelled && origin == moPSender && level == mlInfo && !fileName.empty()) {
          engine.Get()->Cancel();
          cancelled = true;
        }
      };
    }
    engine.Get()->GetLogger()->SetEventSink(client);

    RunLease lease = BeginProcessing(*engine.Get(), c.processing, c.fileName);
    ASSERT_TRUE(lease);
    RunProcessing(engine.Get(), c.processing, std::move(lease));

    EXPECT_GT(client->reports, 3);
    EXPECT_THAT(client->grantedAt, IsEmpty());
    if (c.cancelAfterFirstFile) {
      EXPECT_TRUE(cancelled);
      // No refused call cleared the cancel of the run.
      EXPECT_TRUE(RunState::CancelFlag());
    }
    EXPECT_TRUE(BeginProcessing(*engine.Get(), c.processing, c.fileName)) << "free once the call returned";
    c.check();
  }

  // The work area the runs made holds patient data: the user's alone.
  for (const std::string& dir : {practice_.Work(), practice_.Work("input"), practice_.Work("valid"), outputDir,
                                 practice_.Work("err"), engine.Get()->GetClientConfig()->GetPathError().ToString(),
                                 practice_.Work("responses"), practice_.Work("logs")}) {
    EXPECT_EQ(fs::status(dir).permissions(), fs::perms::owner_all) << dir;
  }
}

// A work directory changed (as a client's put does it) takes the duplicate
// log along, whether a run came between the change and the next start of the
// engine (the run carries it) or not (the start finds the change recorded):
// an invoice sent before and exported again under another name after a
// restart is refused as a duplicate and nothing is uploaded. The new work
// directory, there already or new, is usable at once, a new one the user's
// alone; a folder removed later is made again when a step starts. The old
// area keeps its log.
TEST(WorkDirectoryChangeTest, AnInvoiceSentBeforeTheChangeIsNotSentAgainAfterARestart) {
  const struct {
    const char* what;
    bool madeBefore;
    bool runBeforeRestart;
  } cases[] = {
      {"a work directory made beforehand, a run before the restart", true, true},
      {"a new work directory, the restart right after the change", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TrustCenterSim sim;
    Practice practice(sim);
    practice.PreloadToken();
    const std::string moved = practice.Root() + "/neu/Korvex/";
    const char* const folders[] = {"input", "valid", "output", "err", "archive", "responses", "responses-archive",
                                   "logs"};
    std::vector<std::string> sent = {GeneratedInvoiceNumber(1)};
    std::string oldLog;
    {
      Engine engine;
      practice.AddInvoice(1);
      ASSERT_TRUE(engine.Run(Processing::Auto));
      ASSERT_EQ(UploadedNumbers(sim), sent);
      if (c.madeBefore) {
        for (const char* folder : folders) fs::create_directories(moved + folder);
      }
      engine.Get()->GetClientConfig()->set_path_work(common::Path(moved, true));
      if (!c.madeBefore) {
        EXPECT_EQ(fs::status(moved).permissions(), fs::perms::owner_all);
        for (const char* folder : folders) {
          EXPECT_EQ(fs::status(moved + folder).permissions(), fs::perms::owner_all) << folder;
        }
      }
      if (c.runBeforeRestart) {
        practice.AddInvoice(2);
        ASSERT_TRUE(engine.Run(Processing::Auto));
        sent.push_back(GeneratedInvoiceNumber(2));
        EXPECT_EQ(UploadedNumbers(sim), sent);
        EXPECT_TRUE(engine.Sink().WithCode(7).empty()) << "the new work directory was taken for invalid";
      }
      oldLog = ReadFile(practice.Work("korvex.log"));
    }

    Engine restarted;
    WriteFile(practice.InvoiceDir() + "nochmals.xml", GeneratedInvoice(1));
    ASSERT_TRUE(restarted.Run(Processing::Auto));

    EXPECT_EQ(UploadedNumbers(sim), sent);
    const std::vector<Report> duplicates = restarted.Sink().WithCode(12);
    ASSERT_EQ(duplicates.size(), 1u) << ::testing::PrintToString(restarted.Sink().Errors());
    EXPECT_EQ(duplicates[0].fileName, "nochmals.xml");
    EXPECT_EQ(duplicates[0].message, Text(23));
    EXPECT_EQ(ReadFile(practice.Work("korvex.log")), oldLog);
    EXPECT_EQ(ReadFile(practice.AppData("korvex.workbase")), moved + "\n");

    fs::remove_all(moved + "input");
    practice.AddInvoice(3);
    ASSERT_TRUE(restarted.Run(Processing::Auto));
    EXPECT_EQ(UploadedNumbers(sim).back(), GeneratedInvoiceNumber(3));
    EXPECT_EQ(fs::status(moved + "input").permissions(), fs::perms::owner_all);
  }
}

// Single-file mode takes the file this run read: with an older invoice of the
// same name waiting in work input, the read step writes the new one under a
// free name and the later steps send exactly that one; the older one waits on.
TEST_F(PipelineTest, AutoOneSendsTheInvoiceItReadNotAnOlderOneOfTheSameName) {
  practice_.PreloadToken();
  Engine engine;
  const std::string name = Practice::InvoiceFileName(1);
  WriteFile(practice_.Work("input/") + name, GeneratedInvoice(7));
  practice_.AddInvoice(1);

  RunLease lease = BeginProcessing(*engine.Get(), Processing::AutoOne, name);
  ASSERT_TRUE(lease);
  RunProcessing(engine.Get(), Processing::AutoOne, std::move(lease));

  EXPECT_EQ(UploadedNumbers(sim_), std::vector<std::string>{GeneratedInvoiceNumber(1)})
      << ::testing::PrintToString(engine.Sink().Errors());
  EXPECT_EQ(practice_.NumbersIn(practice_.Work("input")), std::vector<std::string>{GeneratedInvoiceNumber(7)});
  EXPECT_TRUE(fs::exists(practice_.Work("input/") + name));
  EXPECT_TRUE(practice_.NumbersIn(practice_.InvoiceDir()).empty());
}

// A file of the run that goes no further in one step is not replaced in the
// later ones by a file of the same name waiting there from before.
TEST_F(PipelineTest, AutoOneWhoseInvoiceIsRefusedSendsNothingElse) {
  practice_.PreloadToken();
  Engine engine;
  practice_.AddInvoice(1);
  ASSERT_TRUE(engine.Run(Processing::Auto));
  const std::string name = Practice::InvoiceFileName(2);
  // Invoice 1 again, under the name of an older invoice ready to send.
  WriteFile(practice_.InvoiceDir() + name, GeneratedInvoice(1));
  WriteFile(practice_.Work("valid/") + name, GeneratedInvoice(2));

  RunLease lease = BeginProcessing(*engine.Get(), Processing::AutoOne, name);
  ASSERT_TRUE(lease);
  RunProcessing(engine.Get(), Processing::AutoOne, std::move(lease));

  EXPECT_EQ(engine.Sink().WithCode(12).size(), 1u) << ::testing::PrintToString(engine.Sink().Errors());
  EXPECT_EQ(UploadedNumbers(sim_), std::vector<std::string>{GeneratedInvoiceNumber(1)});
  EXPECT_EQ(practice_.NumbersIn(practice_.Work("valid")), std::vector<std::string>{GeneratedInvoiceNumber(2)});
}

}  // namespace
}  // namespace belmor::korvex::e2e
