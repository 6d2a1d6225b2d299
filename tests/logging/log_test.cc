#include "logging/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace belmor::log {
namespace {

using belmor::testing::ReadFile;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;

// Keeps the written lines in memory.
class MemoryLogger : public BaseLogger {
 public:
  bool Write(const LogData& data) override {
    lines.push_back(data.stream.str());
    return true;
  }
  std::vector<std::string> lines;
};

std::string Compose(const std::string& tag, int level, const std::string& text) {
  auto memory = std::make_shared<MemoryLogger>();
  { LogMessage("" + tag, "/src/engine/korvex.cc", 42, level, memory).Stream() << text; }
  return memory->lines.at(0);
}

TEST(LogMessageTest, HeaderCarriesTimeTagLevelAndSourcePlace) {
  std::string line = Compose("", DEBUG, "[Korvex::Init] [start]");
  std::regex form(R"(\[\d\d\.\d\d\.\d\d [^\]]+\] {12}DEBUG - 0 korvex\.cc\(42\): \[Korvex::Init\] \[start\]\n)");
  EXPECT_TRUE(std::regex_match(line, form)) << line;

  // A tag longer than its field is not cut; a Windows-style path still yields its base name.
  auto memory = std::make_shared<MemoryLogger>();
  { LogMessage("KorvexLogger::Log", "C:\\src\\log.cpp", 7, 9, memory).Stream() << "x\n"; }
  EXPECT_NE(memory->lines.at(0).find("] KorvexLogger::Log OTHER - 0 log.cpp(7): x\n"), std::string::npos)
      << memory->lines.at(0);
  EXPECT_EQ(memory->lines.at(0).back(), '\n');
  EXPECT_EQ(memory->lines.at(0).find("\n\n"), std::string::npos);
}

TEST(LogMessageTest, LevelNames) {
  const std::pair<int, const char*> cases[] = {{TRACE, "TRACE"}, {DEBUG, "DEBUG"}, {INFO, "INFO"},
                                               {WARN, "WARN"},   {ERROR, "ERROR"}, {FATAL, "FATAL"},
                                               {-1, "OTHER"},    {6, "OTHER"}};
  for (const auto& [level, name] : cases) EXPECT_STREQ(LevelName(level), name);
}

TEST(LogMessageTest, PrintfCutsLongResultsTo1020CharactersAndDots) {
  const struct {
    size_t length;
    std::string expected;
  } cases[] = {
      {2000, std::string(1020, 'a') + "..."},
      {1024, std::string(1020, 'a') + "..."},
      {1023, std::string(1023, 'a')},  // the longest text that fits the buffer
  };
  for (const auto& c : cases) {
    auto memory = std::make_shared<MemoryLogger>();
    std::string text(c.length, 'a');
    { LogMessage("", "f.cc", 1, INFO, memory).Printf("%s", text.c_str()); }
    const std::string& line = memory->lines.at(0);
    std::string body = line.substr(line.find("): ") + 3);
    EXPECT_EQ(body, c.expected + "\n") << c.length;
  }
}

struct Counted {
  int* formatted;
};
std::ostream& operator<<(std::ostream& out, const Counted& c) {
  ++*c.formatted;
  return out << "counted";
}

TEST(FilteringLoggerTest, DropsLinesBelowItsLevelWithoutFormattingThem) {
  auto memory = std::make_shared<MemoryLogger>();
  auto filter = std::make_shared<FilteringLogger>(INFO, memory);
  InstallLogger(filter);
  int formatted = 0;
  KX_LOG(DEBUG) << Counted{&formatted};
  KX_LOG(FATAL) << Counted{&formatted};
  {
    LogMessage debug("", "f.cc", 1, DEBUG, filter);
    EXPECT_TRUE(debug.suppressed());
    EXPECT_TRUE(debug.Printf("%d", 4).Flush());
  }
  { LogMessage("", "f.cc", 3, INFO, filter).Printf("%d", 5); }
  InstallLogger(nullptr);
  EXPECT_EQ(formatted, 1);
  ASSERT_EQ(memory->lines.size(), 2u);
  EXPECT_NE(memory->lines[0].find("FATAL - 0 log_test.cc("), std::string::npos);
  EXPECT_NE(memory->lines[1].find("): 5\n"), std::string::npos);

  // Lines that reach Write directly are filtered too.
  LogData trace;
  trace.level = TRACE;
  EXPECT_TRUE(filter->Write(trace));
  EXPECT_EQ(memory->lines.size(), 2u);
}

TEST(CurrentLoggerTest, StartsAsVoidAndTakesTheInstalledLogger) {
  EXPECT_NE(dynamic_cast<VoidLogger*>(CurrentLogger().get()), nullptr);
  EXPECT_TRUE(LogMessage("", "f.cc", 1, FATAL).suppressed());
  auto memory = std::make_shared<MemoryLogger>();
  InstallLogger(memory);
  KX_LOG(WARN) << "through the macro";
  InstallLogger(nullptr);
  ASSERT_EQ(memory->lines.size(), 1u);
  EXPECT_NE(memory->lines[0].find("WARN  - 0 log_test.cc("), std::string::npos) << memory->lines[0];
  EXPECT_NE(dynamic_cast<VoidLogger*>(CurrentLogger().get()), nullptr);
}

void WriteLine(BaseLogger& logger, const std::string& text) {
  LogData data;
  data.stream << text;
  logger.Write(data);
}

TEST(FileLoggerTest, AppendsOrTruncatesAndFlushesEveryLine) {
  TempDir dir;
  const std::string path = dir.Sub("debug.log");
  WriteFile(path, "old\n");
  {
    FileLogger appending(path, true);
    WriteLine(appending, "one\n");
    EXPECT_EQ(ReadFile(path), "old\none\n");  // on disk before the logger ends
  }
  FileLogger truncating(path, false);
  WriteLine(truncating, "two\n");
  EXPECT_EQ(ReadFile(path), "two\n");
}

TEST(FileLoggerTest, UnopenableFileLosesLinesButAnswersTrue) {
  TempDir dir;
  FileLogger logger(dir.Sub("missing/dir/debug.log"), true);
  LogData data;
  data.stream << "lost\n";
  EXPECT_TRUE(logger.Write(data));
  EXPECT_FALSE(std::filesystem::exists(dir.Sub("missing")));
}

TEST(FileLoggerTest, LinesOfManyThreadsStayWhole) {
  TempDir dir;
  const std::string path = dir.Sub("debug.log");
  // Rotation on, with a limit the test never reaches, so the rotating logger's
  // write path is the one under test as well.
  auto logger = std::make_shared<SizeRotateFileLogger>(path, 1ull << 40, 5, false);
  const int kThreads = 4, kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        LogMessage("", "t.cc", t, INFO, logger).Stream()
            << "thread " << t << " line " << i << " " << std::string(200 + t * 50, char('a' + t));
      }
    });
  }
  for (auto& th : threads) th.join();
  std::string text = ReadFile(path);
  std::regex form(R"(\[[^\]]+\] {12}INFO  - 0 t\.cc\((\d)\): thread (\d) line \d+ ([a-d]+))");
  size_t count = 0, start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    std::string line = text.substr(start, end - start);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, form)) << line.substr(0, 120);
    EXPECT_EQ(m[1], m[2]);
    int t = std::stoi(m[2]);
    EXPECT_EQ(m[3], std::string(200 + t * 50, char('a' + t)));
    ++count;
    start = end + 1;
  }
  EXPECT_EQ(count, static_cast<size_t>(kThreads * kLines));
}

TEST(SizeRotateFileLoggerTest, KeepsFiveFilesNewestFirstAndLeavesForeignFilesAlone) {
  TempDir dir;
  const std::string path = dir.Sub("korvex.log");
  WriteFile(path + ".old", "foreign");
  WriteFile(path + ".4x", "foreign too");
  WriteFile(path + ".4", "oldest, to be dropped");
  WriteFile(path + ".0", "was newest");
  SizeRotateFileLogger logger(path, 100, 5, true);

  // Each line is 60 bytes: every second line pushes the file past 100 bytes.
  auto line = [](int i) { return "line " + std::to_string(i) + std::string(60 - 7 - std::to_string(i).size(), '.') + "\n"; };
  WriteLine(logger, line(1));
  EXPECT_FALSE(std::filesystem::exists(path + ".1"));
  WriteLine(logger, line(2));  // first rotation
  EXPECT_EQ(ReadFile(path + ".0"), line(1) + line(2));
  EXPECT_EQ(ReadFile(path + ".1"), "was newest");
  EXPECT_FALSE(std::filesystem::exists(path + ".4"));  // dropped
  EXPECT_EQ(ReadFile(path), "");

  for (int i = 3; i <= 12; ++i) WriteLine(logger, line(i));  // five more rotations
  EXPECT_EQ(ReadFile(path + ".0"), line(11) + line(12));
  EXPECT_EQ(ReadFile(path + ".1"), line(9) + line(10));
  EXPECT_EQ(ReadFile(path + ".4"), line(3) + line(4));
  EXPECT_FALSE(std::filesystem::exists(path + ".5"));
  EXPECT_EQ(ReadFile(path + ".old"), "foreign");
  EXPECT_EQ(ReadFile(path + ".4x"), "foreign too");
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 8u);  // live file, .0 to .4, and the two foreign ones
}

}  // namespace
}  // namespace belmor::log
