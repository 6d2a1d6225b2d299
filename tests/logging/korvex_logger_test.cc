#include "logging/korvex_logger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <latch>
#include <map>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "common/encoding.h"
#include "config/client_config.h"
#include "engine/korvex.h"
#include "support/file_mode.h"
#include "support/temp_dir.h"

namespace belmor::korvex {
namespace {

using belmor::testing::ModeOf;
using belmor::testing::ReadFile;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;

struct Event {
  int32_t level, mclass, origin, code;
  std::string fileName, message;
  bool operator==(const Event&) const = default;
};

class RecordingSink : public IKorvexSystemLogger {
 public:
  void Log(int32_t level, int32_t mclass, int32_t origin, int32_t code, const std::string& fileName,
           const std::string& message) override {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back({level, mclass, origin, code, fileName, message});
  }
  std::mutex mutex;
  std::vector<Event> events;
};

// Seconds since 1970 of a local wall-clock time, so the day under test does
// not depend on the time zone the suite runs in.
std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

// Every KorvexLogger installs its debug chain for the whole process; the
// next test must find the logger it started with.
class KeepCurrentDebugLogger {
 public:
  ~KeepCurrentDebugLogger() { log::InstallLogger(previous_); }

 private:
  std::shared_ptr<log::BaseLogger> previous_ = log::CurrentLogger();
};

std::string Header() { return "KXP: " + common::Utf8ToLatin1(ClientDescription()) + "\r\n"; }

// A logger on a fresh work area, its engine, a sink and a clock the test sets.
class KorvexLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.Sub("app"));
    logger_ = MakeLogger();
  }

  std::shared_ptr<KorvexLogger> MakeLogger() {
    KorvexLogger::Settings settings{[this] { return debug_.load(); },
                                    [this] { return common::Path(dir_.Sub("work/logs"), true); },
                                    common::Path(dir_.Sub("app"), true)};
    auto logger = std::make_shared<KorvexLogger>(log::INFO, WithEngineHooks(std::move(settings), engine_));
    logger->SetClock([this] { return now_.load(); });
    logger->SetEventSink(sink_);
    return logger;
  }

  std::string SessionFile(const std::string& day) const { return ReadFile(dir_.Sub("work/logs/" + day + ".log")); }
  bool SessionFileExists(const std::string& day) const {
    return std::filesystem::exists(dir_.Sub("work/logs/" + day + ".log"));
  }
  std::string DebugLog() const { return ReadFile(dir_.Sub("app/korvex.log")); }
  std::string Stamp() const { return std::to_string(static_cast<uint32_t>(now_.load())); }

  KeepCurrentDebugLogger keep_;
  TempDir dir_;
  std::shared_ptr<Korvex> engine_ = std::make_shared<Korvex>();
  std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>();
  std::atomic<bool> debug_{false};
  std::atomic<std::time_t> now_{LocalTime(2024, 3, 7, 14, 30, 0)};
  std::shared_ptr<KorvexLogger> logger_;
};

TEST_F(KorvexLoggerTest, WritesHeaderThenOneLatin1LinePerReportWithCrLf) {
  logger_->Log(mlInfo, mcModule, moPSender, 2, "rechnung|7.xml", "Datei \xC3\xBC" "bermittelt");
  logger_->Log(mlError, mcSystem, moPReader, -2147024891, "", "caf\xE9");  // Latin-1 message, negative code
  logger_->Log(mlWarning, mcAsas, moIGChecker, 0, "a.xml", "Preis 5 \xE2\x82\xAC, \xC3\xA0 payer");
  logger_->Log(mlFatal, mcModule, moPChecker, 10, "evil.xml\r\n1|4|2|1|0||forged", "x\n");

  const std::string t = Stamp();
  EXPECT_EQ(SessionFile("2024-03-07"),
            Header() +
                t + "|1|2|4|2|rechnung_7.xml|Datei \xFC" "bermittelt\r\n" +
                t + "|3|0|0|2147942405||caf\xE9\r\n" +
                t + "|2|1|6|0|a.xml|Preis 5 , \xE0 payer\r\n" +  // what Latin-1 cannot hold is dropped
                t + "|4|2|1|10|evil.xml  1_4_2_1_0__forged|x \r\n");
  EXPECT_EQ(engine_->GetCurrentDay(), "2024-03-07");
  EXPECT_EQ(logger_->GetSessionPath().ToString(), dir_.Sub("work/logs/2024-03-07.log"));
}

TEST_F(KorvexLoggerTest, EchoesTheUnconvertedLineIntoTheDebugLogAtFatal) {
  logger_->Log(mlInfo, mcModule, moPSender, 2, "r.xml", "Datei \xC3\xBC" "bermittelt");
  EXPECT_NE(DebugLog().find("KorvexLogger::Log FATAL - 0 korvex_logger.cc("), std::string::npos) << DebugLog();
  EXPECT_NE(DebugLog().find("): " + Stamp() + "|1|2|4|2|r.xml|Datei \xC3\xBC" "bermittelt\n"), std::string::npos)
      << DebugLog();
}

TEST_F(KorvexLoggerTest, ConstructionInstallsTheFilteredDebugChain) {
  EXPECT_EQ(log::CurrentLogger(), logger_->GetDebugLogger());
  EXPECT_EQ(logger_->GetDebugLogPath().ToString(), dir_.Sub("app/korvex.log"));
  KX_LOG(DEBUG) << "below the minimum";
  KX_LOG(INFO) << "at the minimum";
  EXPECT_EQ(DebugLog().find("below the minimum"), std::string::npos);
  EXPECT_NE(DebugLog().find("at the minimum"), std::string::npos);
}

TEST_F(KorvexLoggerTest, FirstReportOfANewDayOpensThatDaysFileWithItsHeader) {
  now_ = LocalTime(2024, 3, 7, 23, 59, 59);
  logger_->Log(mlInfo, mcModule, moPReader, 0, "", "vorher");
  const std::string before = Stamp();
  now_ = LocalTime(2024, 3, 8, 0, 0, 1);
  logger_->Log(mlInfo, mcModule, moPReader, 0, "", "nachher");
  logger_->Log(mlInfo, mcModule, moPReader, 1, "", "noch einmal");

  EXPECT_EQ(SessionFile("2024-03-07"), Header() + before + "|1|2|0|0||vorher\r\n");
  const std::string newDay = Header() + Stamp() + "|1|2|0|0||nachher\r\n" + Stamp() + "|1|2|0|1||noch einmal\r\n";
  EXPECT_EQ(SessionFile("2024-03-08"), newDay);
  EXPECT_EQ(engine_->GetCurrentDay(), "2024-03-08");

  // Another process appending to the day's file announces itself with its own header.
  auto second = MakeLogger();
  second->Log(mlInfo, mcModule, moPReader, 2, "", "zweiter");
  EXPECT_EQ(SessionFile("2024-03-08"), newDay + Header() + Stamp() + "|1|2|0|2||zweiter\r\n");
}

TEST_F(KorvexLoggerTest, DebugReportsAreRecordedOnlyInDebugMode) {
  for (bool debug : {false, true}) {
    SCOPED_TRACE(debug);
    debug_ = debug;
    const std::string text = debug ? "sichtbar" : "verborgen";
    logger_->Log(mlDebug, mcModule, moPChecker, 30, "", text);

    const bool inFile =
        SessionFileExists("2024-03-07") && SessionFile("2024-03-07").find(text) != std::string::npos;
    EXPECT_EQ(inFile, debug);
    EXPECT_EQ(DebugLog().find("||" + text) != std::string::npos, debug);
    EXPECT_EQ(sink_->events.size(), debug ? 1u : 0u);
  }
  EXPECT_EQ(engine_->GetCurrentDay(), "2024-03-07");
}

TEST_F(KorvexLoggerTest, DownloaderAndWriterReportsReachTheSinkOnlyWithResponseMessages) {
  const struct {
    int32_t origin;
    bool responseMessages;
    bool forwarded;
  } cases[] = {
      {moPReader, false, true},      {moIGChecker, false, true},    {moPDownloader, false, false},
      {moPWriter, false, false},     {moPDownloader, true, true},   {moPWriter, true, true},
      {9, false, false},  // beyond the enumeration: treated like the response origins
  };
  int code = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "origin " << c.origin << " enabled " << c.responseMessages);
    engine_->SetResponseMessagesEnabled(c.responseMessages);
    sink_->events.clear();
    ++code;  // tells this case's line from the others
    logger_->Log(mlInfo, mcModule, c.origin, code, "antwort.xml", "Datei empfangen");

    const std::vector<Event> expected = {{mlInfo, mcModule, c.origin, code, "antwort.xml", "Datei empfangen"}};
    EXPECT_EQ(sink_->events, c.forwarded ? expected : std::vector<Event>{});
    const std::string line = "|1|2|" + std::to_string(c.origin) + "|" + std::to_string(code) + "|antwort.xml|";
    EXPECT_NE(SessionFile("2024-03-07").find(line), std::string::npos);
  }
}

TEST_F(KorvexLoggerTest, UnopenableSessionFileLosesTheLineButNotTheEchoOrEvent) {
  // A plain file where the logs directory belongs.
  WriteFile(dir_.Sub("work/logs"), "not a directory");
  logger_->Log(mlError, mcModule, moPSender, 16, "", "Keine Verbindung");

  EXPECT_TRUE(logger_->GetSessionPath().IsEmpty());
  EXPECT_EQ(engine_->GetCurrentDay(), "2024-03-07");
  EXPECT_NE(DebugLog().find("[KorvexLogger::Log][failed to create session log]["), std::string::npos);
  EXPECT_NE(DebugLog().find("||Keine Verbindung"), std::string::npos);
  ASSERT_EQ(sink_->events.size(), 1u);
  EXPECT_EQ(sink_->events[0].message, "Keine Verbindung");

  // Once the obstacle is gone the next report opens the file.
  std::filesystem::remove(dir_.Sub("work/logs"));
  logger_->Log(mlInfo, mcModule, moPSender, 0, "", "wieder da");
  EXPECT_EQ(SessionFile("2024-03-07"), Header() + Stamp() + "|1|2|4|0||wieder da\r\n");
}

TEST_F(KorvexLoggerTest, LongLinesAreCutTo1023BytesWithoutSplittingACharacter) {
  const std::string prefix = Stamp() + "|1|2|0|0||";
  // Leaves an odd number of bytes for the two-byte characters, so the cut
  // falls inside one.
  const std::string pad((1023 - prefix.size()) % 2 == 0 ? 1 : 0, 'b');
  std::string umlauts;
  for (int i = 0; i < 1000; ++i) umlauts += "\xC3\xBC";
  const struct {
    std::string message;
    std::string stored;  // the report line in the file, without CR LF
  } cases[] = {
      {std::string(2000, 'a'), prefix + std::string(1023 - prefix.size(), 'a')},
      {pad + umlauts, prefix + pad + std::string((1023 - prefix.size() - pad.size()) / 2, '\xFC')},
  };
  for (const auto& c : cases) {
    // A fresh logger and directory: each case gets a file of its own.
    std::filesystem::remove_all(dir_.Sub("work/logs"));
    auto logger = MakeLogger();
    logger->Log(mlInfo, mcModule, moPReader, 0, "", c.message);
    EXPECT_EQ(SessionFile("2024-03-07"), Header() + c.stored + "\r\n");
  }
}

TEST_F(KorvexLoggerTest, RecordsAreLoggedWithTheirNormalisedValues) {
  logger_->Log(std::make_shared<LogRecord>(7, 9, 12, 404, "r.xml", "vom Gate"));
  logger_->Log(std::shared_ptr<LogRecord>());
  const std::vector<Event> expected = {{mlError, mcSystem, moPReader, 404, "r.xml", "vom Gate"}};
  EXPECT_EQ(sink_->events, expected);
  EXPECT_EQ(SessionFile("2024-03-07"), Header() + Stamp() + "|3|0|0|404|r.xml|vom Gate\r\n");
}

TEST_F(KorvexLoggerTest, GateFileNamesKeepTheLineFormat) {
  // What a gate may send as a file name; the session file must still hold
  // one line of seven "|"-fields per report, the name in the sixth.
  const struct {
    const char* name;
    const char* field;
  } cases[] = {
      {"a|b.xml", "a_b.xml"},
      {"||", "__"},
      {"r.xml\r\n1700000000|4|2|1|0|x.xml|Datei \xC3\xBC" "bermittelt",
       "r.xml  1700000000_4_2_1_0_x.xml_Datei \xFC" "bermittelt"},
      {"line\nbreak.pdf", "line break.pdf"},
  };
  std::string expected = Header();
  for (const auto& c : cases) {
    logger_->Log(std::make_shared<LogRecord>(mlWarning, mcModule, moIGChecker, 7, c.name, "vom Gate"));
    expected += Stamp() + "|2|2|6|7|" + c.field + "|vom Gate\r\n";
  }
  const std::string file = SessionFile("2024-03-07");
  EXPECT_EQ(file, expected);
  std::istringstream lines(file);
  std::string line;
  std::getline(lines, line);  // the header
  while (std::getline(lines, line)) EXPECT_EQ(std::count(line.begin(), line.end(), '|'), 6) << line;
  // The automation client gets the name as the gate sent it.
  ASSERT_EQ(sink_->events.size(), std::size(cases));
  EXPECT_EQ(sink_->events[0].fileName, "a|b.xml");
}

TEST_F(KorvexLoggerTest, SessionLogsAreTheUsersAloneWhateverTheUmask) {
  const mode_t previous = ::umask(0);
  logger_->Log(mlInfo, mcModule, moPSender, 2, "muster-hans-1970.xml", "Datei \xC3\xBC" "bermittelt");
  // A day's file left open to others by an older version is closed to them.
  WriteFile(dir_.Sub("work/logs/2024-03-08.log"), "");
  ::chmod(dir_.Sub("work/logs/2024-03-08.log").c_str(), 0644);
  now_ = LocalTime(2024, 3, 8, 9, 0, 0);
  logger_->Log(mlInfo, mcModule, moPSender, 2, "b.xml", "x");
  ::umask(previous);
  EXPECT_EQ(ModeOf(dir_.Sub("work/logs")), 0700u);
  EXPECT_EQ(ModeOf(dir_.Sub("work/logs/2024-03-07.log")), 0600u);
  EXPECT_EQ(ModeOf(dir_.Sub("work/logs/2024-03-08.log")), 0600u);
  EXPECT_EQ(ModeOf(dir_.Sub("app/korvex.log")), 0600u);
}

// The engine's own construction: paths and the debug switch come from its
// ClientConfig, and a change of the switch counts from the next report.
TEST(KorvexLoggerEngineTest, FollowsTheEnginesClientConfig) {
  KeepCurrentDebugLogger keep;
  TempDir dir;
  auto engine = std::make_shared<Korvex>();
  EXPECT_THROW(SessionLoggerSettings(engine), common::ApplicationException);

  auto config = MakeClientConfig(engine);
  engine->SetClientConfig(config);
  config->set_path_work(common::Path(dir.Sub("work"), true));
  config->SetDebug(false);
  auto logger = std::make_shared<KorvexLogger>(log::INFO, SessionLoggerSettings(engine));
  common::Path debugLog = config->GetPathAppData();
  debugLog.SetFileName("korvex.log");
  EXPECT_EQ(logger->GetDebugLogPath(), debugLog);

  logger->Log(mlDebug, mcModule, moPReader, 30, "", "verborgen");
  config->SetDebug(true);
  logger->Log(mlDebug, mcModule, moPReader, 30, "", "sichtbar");

  common::Path session = config->GetPathLogs();
  session.SetFileName(engine->GetCurrentDay() + ".log");
  EXPECT_EQ(logger->GetSessionPath(), session);
  const std::string file = ReadFile(session.ToString());
  EXPECT_EQ(file.find("verborgen"), std::string::npos);
  EXPECT_NE(file.find("|0|2|0|30||sichtbar\r\n"), std::string::npos);
}

TEST(LogRecordTest, SettersForceValuesIntoTheEnumerations) {
  const struct {
    int32_t in;
    int32_t level, mclass, origin;
  } cases[] = {
      {-1, 3, 0, 0}, {0, 0, 0, 0}, {1, 1, 1, 1}, {2, 2, 2, 2}, {3, 3, 3, 3},
      {4, 4, 0, 4},  {5, 3, 0, 5}, {7, 3, 0, 7}, {8, 3, 0, 8}, {9, 3, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    LogRecord record;
    record.SetLevel(c.in);
    record.SetClass(c.in);
    record.SetOrigin(c.in);
    EXPECT_EQ(record.Level(), c.level);
    EXPECT_EQ(record.Class(), c.mclass);
    EXPECT_EQ(record.Origin(), c.origin);

    LogRecord built(c.in, c.in, c.in, c.in, "f", "m");
    EXPECT_EQ(built.Level(), c.level);
    EXPECT_EQ(built.Class(), c.mclass);
    EXPECT_EQ(built.Origin(), c.origin);
    EXPECT_EQ(built.Code(), c.in);
  }
}

// A sink may itself report, e.g. when forwarding fails; that must not deadlock.
TEST_F(KorvexLoggerTest, SinkMayReportInTurn) {
  struct ReportingSink : IKorvexSystemLogger {
    std::weak_ptr<KorvexLogger> logger;
    int calls = 0;
    void Log(int32_t, int32_t, int32_t, int32_t, const std::string&, const std::string&) override {
      if (++calls == 1) logger.lock()->Log(mlWarning, mcSystem, moPReader, 5, "", "aus der Senke");
    }
  };
  auto sink = std::make_shared<ReportingSink>();
  sink->logger = logger_;
  logger_->SetEventSink(sink);
  logger_->Log(mlInfo, mcModule, moPReader, 0, "", "erste");
  EXPECT_EQ(sink->calls, 2);
  EXPECT_EQ(SessionFile("2024-03-07"),
            Header() + Stamp() + "|1|2|0|0||erste\r\n" + Stamp() + "|2|0|0|5||aus der Senke\r\n");
}

// Each day the threads are let go together, so they race for opening the new file.
TEST_F(KorvexLoggerTest, ConcurrentReportsGiveWholeLinesAndOneHeader) {
  constexpr int kThreads = 4;
  constexpr int kReports = 150;
  for (int day = 7; day <= 9; ++day) {
    SCOPED_TRACE(day);
    now_ = LocalTime(2024, 3, day, 12, 0, 0);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([this, t, &start] {
        start.arrive_and_wait();
        for (int i = 0; i < kReports; ++i) {
          logger_->Log(mlInfo, mcModule, moPSender, i, "thread" + std::to_string(t) + ".xml",
                       "Datei \xC3\xBC" "bermittelt " + std::string(static_cast<size_t>(i % 50), 'x'));
        }
      });
    }
    for (auto& thread : threads) thread.join();

    const std::string file = SessionFile("2024-03-0" + std::to_string(day));
    ASSERT_EQ(file.rfind(Header(), 0), 0u);
    std::istringstream rest(file.substr(Header().size()));
    const std::regex form(Stamp() + R"(\|1\|2\|4\|(\d+)\|thread(\d)\.xml\|Datei )" "\xFC" "bermittelt (x*)\r");
    std::map<int, int> perThread;
    std::string line;
    int count = 0;
    while (std::getline(rest, line)) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, form)) << line;
      EXPECT_EQ(m[3].length(), std::stoi(m[1]) % 50) << line;
      ++perThread[std::stoi(m[2])];
      ++count;
    }
    EXPECT_EQ(count, kThreads * kReports);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(perThread[t], kReports) << t;
  }
  EXPECT_EQ(sink_->events.size(), static_cast<size_t>(3 * kThreads * kReports));
}

}  // namespace
}  // namespace belmor::korvex
