#include "pipeline/duplicate_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "common/exception.h"
#include "common/path.h"
#include "config/client_config.h"
#include "engine/korvex.h"
#include "pipeline/simple_invoice.h"
#include "platform/scoped_env.h"
#include "support/file_size_limit.h"
#include "support/temp_dir.h"

namespace belmor::korvex {
namespace {

using belmor::testing::FileSizeLimit;
using belmor::testing::ReadFile;
using belmor::testing::ScopedEnv;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;

constexpr int64_t kThirtyDays = 2592000;
constexpr char kHeader[] = "kxdl-1.1\r\n";

// The values one entry line holds, in the order the tests find natural.
struct Values {
  std::string id;
  std::string amount = "125.40";
  std::string timestamp = "TS1";
  std::string ean = "7601000000000";
  std::string zsr = "Z123456";
  bool storno = false;
  std::string dateEnd = "2024-03-01";
  std::string esr = "ESR-1";
};

std::shared_ptr<SimpleInvoice> Invoice(const Values& v) {
  auto invoice = std::make_shared<SimpleInvoice>();
  invoice->SetID(v.id);
  invoice->SetAmount(v.amount);
  invoice->SetTimestamp(v.timestamp);
  invoice->SetEan(v.ean);
  invoice->SetZsr(v.zsr);
  invoice->SetStorno(v.storno);
  invoice->SetDateEnd(v.dateEnd);
  invoice->SetEsr(v.esr);
  return invoice;
}

// The line a full rewrite writes for an entry, built here independently of
// the class under test.
std::string Line(const Values& v, int64_t time) {
  return v.id + "|" + v.amount + "|" + std::to_string(time) + "|" + v.zsr + "|" + v.ean + "|" + v.timestamp + "|" +
         (v.storno ? "1" : "0") + "\r\n";
}

// The lines of a log file sorted by ID, equal IDs kept in file order: what a
// full rewrite makes of a file that holds the right lines.
std::string InIdOrder(const std::string& file) {
  if (!file.starts_with(kHeader)) return file;
  std::vector<std::string> lines;
  for (size_t at = sizeof kHeader - 1; at < file.size();) {
    const size_t end = file.find("\r\n", at);
    if (end == std::string::npos) return file;
    lines.push_back(file.substr(at, end + 2 - at));
    at = end + 2;
  }
  std::stable_sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
    return a.substr(0, a.find('|')) < b.substr(0, b.find('|'));
  });
  std::string text = kHeader;
  for (const std::string& line : lines) text += line;
  return text;
}

// What the system remembers of the invoices it sent: entries in the order
// they were added, and the file a full rewrite at a given time makes of them.
struct Model {
  struct Entry {
    Values values;
    int64_t time;
  };
  std::vector<Entry> entries;

  std::string File(int64_t now) const {
    std::vector<Entry> sorted = entries;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Entry& a, const Entry& b) { return a.values.id < b.values.id; });
    std::string text = kHeader;
    for (const Entry& e : sorted) {
      if (e.time > now - kThirtyDays) text += Line(e.values, e.time);
    }
    return text;
  }
  // What a reload of the file written at writtenAt keeps.
  void KeepWritten(int64_t writtenAt) {
    std::erase_if(entries, [&](const Entry& e) { return e.time <= writtenAt - kThirtyDays; });
  }
  // Entry lines in ID order, equal IDs in the order added, expired ones too.
  std::vector<std::string> Lines() const {
    std::vector<Entry> sorted = entries;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Entry& a, const Entry& b) { return a.values.id < b.values.id; });
    std::vector<std::string> lines;
    for (const Entry& e : sorted) lines.push_back(Line(e.values, e.time));
    return lines;
  }
};

// An entry as Load gave it.
struct Loaded {
  std::string id, amount;
  int64_t time;
  std::string zsr, ean, timestamp;
  bool storno;
  bool operator==(const Loaded&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const Loaded& l) {
    return out << l.id << "|" << l.amount << "|" << l.time << "|" << l.zsr << "|" << l.ean << "|" << l.timestamp
               << "|" << l.storno;
  }
};

Loaded Of(const DupLogEntry& e) {
  return {std::string(e.GetID()), std::string(e.GetAmount()), e.GetTime(), std::string(e.GetZsr()),
          std::string(e.GetEan()), std::string(e.GetTimestamp()), e.GetStorno()};
}

std::vector<Loaded> All(const DuplicateLog& log) {
  std::vector<Loaded> all;
  for (const DupLogEntry& e : log.Entries()) all.push_back(Of(e));
  return all;
}

// The entries as the lines a full rewrite writes, expired ones too.
std::vector<std::string> Lines(const DuplicateLog& log) {
  std::vector<std::string> lines;
  for (const DupLogEntry& e : log.Entries()) {
    lines.push_back(Line({.id = std::string(e.GetID()),
                          .amount = std::string(e.GetAmount()),
                          .timestamp = std::string(e.GetTimestamp()),
                          .ean = std::string(e.GetEan()),
                          .zsr = std::string(e.GetZsr()),
                          .storno = e.GetStorno()},
                         e.GetTime()));
  }
  return lines;
}

ino_t Inode(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_ino;
}

class DuplicateLogTest : public ::testing::Test {
 protected:
  std::unique_ptr<DuplicateLog> NewLog(const std::string& path) {
    auto log = std::make_unique<DuplicateLog>(path);
    log->SetClock([this] { return now_; });
    return log;
  }
  std::unique_ptr<DuplicateLog> NewLog() { return NewLog(path_); }

  TempDir dir_;
  std::string path_ = dir_.Sub("korvex.log");
  int64_t now_ = 1750000000;
};

TEST_F(DuplicateLogTest, DuplicateWhenTheSixComparedValuesAreEqual) {
  const Values stored{.id = "4711"};
  struct Case {
    const char* what;
    std::function<void(Values&)> change;
    bool duplicate;
  };
  const Case cases[] = {
      {"same invoice", [](Values&) {}, true},
      {"other DateEnd", [](Values& v) { v.dateEnd = "2024-04-01"; }, true},
      {"other esr", [](Values& v) { v.esr = "ESR-2"; }, true},
      {"other ID", [](Values& v) { v.id = "4712"; }, false},
      {"other Amount", [](Values& v) { v.amount = "125.41"; }, false},
      {"Amount with a blank", [](Values& v) { v.amount = "125.40 "; }, false},
      {"other Timestamp", [](Values& v) { v.timestamp = "TS2"; }, false},
      {"other ean", [](Values& v) { v.ean = "7601000000001"; }, false},
      {"other zsr", [](Values& v) { v.zsr = "Z654321"; }, false},
      {"storno", [](Values& v) { v.storno = true; }, false},
      {"ID of no entry, next to 4711", [](Values& v) { v.id = "4710a"; }, false},
  };

  // Another entry with the same ID comes first, so a match must be found
  // beyond the first entry of the ID; the neighbour shares every other value.
  auto log = NewLog();
  log->Add(Invoice({.id = "4711", .amount = "99.00"}));
  log->Add(Invoice(stored));
  log->Add(Invoice({.id = "4710"}));
  log->Add(Invoice({.id = "4800", .storno = true}));
  auto reloaded = NewLog();
  ASSERT_TRUE(reloaded->Load());

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Values query = stored;
    c.change(query);
    EXPECT_EQ(log->IsDuplicate(Invoice(query)), c.duplicate);
    // DateEnd and esr are not stored, so a reloaded log answers the same.
    EXPECT_EQ(reloaded->IsDuplicate(Invoice(query)), c.duplicate);
  }
  for (const DuplicateLog* l : {log.get(), reloaded.get()}) {
    EXPECT_TRUE(l->IsDuplicate(Invoice({.id = "4800", .storno = true})));
    EXPECT_FALSE(l->IsDuplicate(Invoice({.id = "4800", .storno = false})));
  }
  EXPECT_FALSE(log->IsDuplicate(nullptr));
}

TEST_F(DuplicateLogTest, StoresItsOwnCopyOfTheSummary) {
  auto log = NewLog();
  auto invoice = Invoice({.id = "4711"});
  log->Add(invoice);
  invoice->SetAmount("1.00");
  EXPECT_TRUE(log->IsDuplicate(Invoice({.id = "4711"})));
  EXPECT_EQ(ReadFile(path_), std::string(kHeader) + Line({.id = "4711"}, now_));
}

TEST_F(DuplicateLogTest, EntriesKeepValuesOfAnyLengthAndAnyByte) {
  const std::string nul("a\0b", 3);
  const std::vector<Values> stored = {
      {.id = "empty", .amount = "", .timestamp = "", .ean = "", .zsr = ""},
      // Equal once the values are joined: only their lengths tell them apart.
      {.id = nul, .amount = "c"},
      {.id = "a", .amount = std::string("b\0c", 3)},
      {.id = "127", .amount = std::string(127, 'x')},
      {.id = "128", .amount = std::string(128, 'x')},
      {.id = "16384", .timestamp = std::string(16384, 't'), .zsr = std::string(300, 'z')},
      {.id = std::string(70000, 'i'), .ean = std::string(200, '\xff'), .storno = true},
  };
  auto log = NewLog();
  for (const Values& v : stored) {
    log->Add(Invoice(v));
    const DupLogEntry entry(*Invoice(v), 42);
    EXPECT_EQ(Of(entry), (Loaded{v.id, v.amount, 42, v.zsr, v.ean, v.timestamp, v.storno}));
  }
  for (const Values& v : stored) {
    EXPECT_TRUE(log->IsDuplicate(Invoice(v))) << v.id.substr(0, 10);
    for (auto change : {&Values::amount, &Values::timestamp, &Values::ean, &Values::zsr}) {
      Values other = v;
      (other.*change) += '\0';
      EXPECT_FALSE(log->IsDuplicate(Invoice(other))) << v.id.substr(0, 10);
    }
  }
  EXPECT_FALSE(log->IsDuplicate(Invoice({.id = nul, .amount = std::string("b\0c", 3)})));
  EXPECT_FALSE(log->IsDuplicate(Invoice({.id = "127", .amount = std::string(128, 'x')})));
}

// The line format splits at "|", CR and LF and drops empty fields. Entries
// whose values hold these, or are empty, must still read back after a
// restart, or the invoice could be sent again.
TEST_F(DuplicateLogTest, ValuesTheLineFormatCannotHoldAsTheyAreReadBackAfterARestart) {
  const std::vector<Values> stored = {
      {.id = "empty values", .timestamp = "", .ean = "", .zsr = ""},
      {.id = "R-1|2", .amount = "1|0"},
      {.id = "\n  R-3\n", .timestamp = "2026-12-01\r\n"},
      {.id = "percent", .amount = "50%", .zsr = "%7C"},
      {.id = "%", .ean = "%%"},
  };
  auto log = NewLog();
  for (const Values& v : stored) log->Add(Invoice(v));
  const std::string file = ReadFile(path_);
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 1 + static_cast<long>(stored.size())) << file;

  auto restarted = NewLog();
  ASSERT_TRUE(restarted->Load());
  EXPECT_EQ(All(*restarted), All(*log));
  for (const Values& v : stored) EXPECT_TRUE(restarted->IsDuplicate(Invoice(v))) << v.id;
  EXPECT_FALSE(restarted->IsDuplicate(Invoice({.id = "percent", .amount = "50%", .zsr = "|"})));

  // Values without these characters are written as they always were, and a
  // "%" in an older file that starts no code stands for itself.
  WriteFile(path_, std::string(kHeader) + "A%B|10%|1750000000|Z|E|T|0\r\n");
  auto old = NewLog();
  ASSERT_TRUE(old->Load());
  EXPECT_TRUE(old->IsDuplicate(Invoice({.id = "A%B", .amount = "10%", .timestamp = "T", .ean = "E", .zsr = "Z"})));
  auto plain = NewLog(dir_.Sub("plain.log"));
  plain->Add(Invoice({.id = "plain"}));
  EXPECT_EQ(ReadFile(dir_.Sub("plain.log")), kHeader + Line({.id = "plain"}, now_));
}

TEST_F(DuplicateLogTest, EntriesOlderThanThirtyDaysStayInMemoryButAreNotWritten) {
  const Values old{.id = "4711"};
  const Values fresh{.id = "4712"};
  struct Case {
    int64_t age;
    bool written;
  };
  for (const Case c : {Case{kThirtyDays - 1, true}, Case{kThirtyDays, false}, Case{kThirtyDays + 1, false}}) {
    SCOPED_TRACE(c.age);
    const std::string path = dir_.Sub("age-" + std::to_string(c.age) + ".log");
    const int64_t added = now_;
    auto log = NewLog(path);
    log->Add(Invoice(old));
    now_ = added + c.age;

    EXPECT_TRUE(log->IsDuplicate(Invoice(old)));
    log->Add(Invoice(fresh));
    EXPECT_TRUE(log->IsDuplicate(Invoice(old)));
    EXPECT_EQ(ReadFile(path), kHeader + (c.written ? Line(old, added) : "") + Line(fresh, now_));

    auto reloaded = NewLog(path);
    ASSERT_TRUE(reloaded->Load());
    EXPECT_EQ(reloaded->IsDuplicate(Invoice(old)), c.written);
    now_ = added;
  }
}

TEST_F(DuplicateLogTest, LoadKeepsWellFormedLinesAndSkipsTheRest) {
  // One line per case, with its own ID; the header ends in LF to show that
  // both line ends are read.
  WriteFile(path_,
            "kxdl-1.1\n"
            "crlf|125.40|1709800000|Z1|E1|T1|0\r\n"
            "lf|7.00|1709800001|Z2|E2|T2|1\n"
            "||runs||of||1709800002|Z3|E3||T3|0|\r\r\n"
            "empty-amount||1709800000|Z1|E1|T1|0\r\n"
            "six|125.40|1709800000|Z1|E1|T1\r\n"
            "eight|125.40|1709800000|Z1|E1|T1|0|x\r\n"
            "letters|125.40|17098x0000|Z1|E1|T1|0\r\n"
            "negative|125.40|-1709800000|Z1|E1|T1|0\r\n"
            "signed|125.40|+1709800000|Z1|E1|T1|0\r\n"
            "too-large|125.40|99999999999999999999|Z1|E1|T1|0\r\n"
            "\r\n"
            "|||||||\r\n"
            "last|1.00|1709800003|Z4|E4|T4|0");
  auto log = NewLog();
  ASSERT_TRUE(log->Load());

  const std::vector<Loaded> expected = {
      {"crlf", "125.40", 1709800000, "Z1", "E1", "T1", false},
      {"last", "1.00", 1709800003, "Z4", "E4", "T4", false},
      {"lf", "7.00", 1709800001, "Z2", "E2", "T2", true},
      {"runs", "of", 1709800002, "Z3", "E3", "T3", false},
  };
  EXPECT_EQ(All(*log), expected);
}

// The files beside the log whose names start with "korvex.log.damaged-".
std::vector<std::string> DamagedCopies(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("korvex.log.damaged-")) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Local time in UTC for a scope, so that names made from the clock are known.
class UtcTime {
 public:
  UtcTime() { ::tzset(); }
  ~UtcTime() {
    tz_.reset();
    ::tzset();
  }

 private:
  std::optional<ScopedEnv> tz_{std::in_place, "TZ", "UTC"};
};

TEST_F(DuplicateLogTest, FileWithoutTheHeaderIsRejectedKeptAsideAndANewLogStarts) {
  UtcTime utc;
  const std::string entry = "4711|125.40|1709800000|Z1|E1|T1|0\r\n";
  struct Case {
    const char* what;
    std::optional<std::string> content;  // nullopt: no file
    bool accepted;
  };
  const Case cases[] = {
      {"no file", std::nullopt, false},
      {"empty file", "", false},
      {"older format", "kxdl-1.0\r\n" + entry, false},
      {"short header", "kxdl-1.\r\n" + entry, false},
      {"header on the second line", "\r\nkxdl-1.1\r\n" + entry, false},
      {"other case", "KXDL-1.1\r\n" + entry, false},
      {"header only", "kxdl-1.1", true},
      {"header with more text", "kxdl-1.1 korvex 5.0\r\n" + entry, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) std::filesystem::remove(e.path());
    if (c.content) WriteFile(path_, *c.content);
    auto log = NewLog();
    ASSERT_EQ(log->Load(), c.accepted);
    if (c.accepted) continue;

    EXPECT_TRUE(log->Entries().empty());
    log->Reset();
    EXPECT_EQ(ReadFile(path_), "");
    // Its lines may be the only record of invoices sent: kept byte for byte
    // under the time of the reset. Nothing to keep of a missing or empty file.
    if (c.content && !c.content->empty()) {
      ASSERT_EQ(DamagedCopies(dir_), std::vector<std::string>{"korvex.log.damaged-20250615-150640"});
      EXPECT_EQ(ReadFile(dir_.Sub("korvex.log.damaged-20250615-150640")), *c.content);
      struct stat info {};
      ASSERT_EQ(::stat(dir_.Sub("korvex.log.damaged-20250615-150640").c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 0777, 0600u);
    } else {
      EXPECT_EQ(DamagedCopies(dir_), std::vector<std::string>{});
    }
    // The first Add writes the header, and the new log reads back.
    EXPECT_TRUE(log->Add(Invoice({.id = "9"})));
    EXPECT_EQ(ReadFile(path_), kHeader + Line({.id = "9"}, now_));
    auto restarted = NewLog();
    ASSERT_TRUE(restarted->Load());
    EXPECT_TRUE(restarted->IsDuplicate(Invoice({.id = "9"})));
  }

  // A second damaged file within the same second does not replace the first copy.
  for (const char* content : {"garbage 1", "garbage 2"}) {
    WriteFile(path_, content);
    auto again = NewLog();
    ASSERT_FALSE(again->Load());
    again->Reset();
  }
  EXPECT_EQ(DamagedCopies(dir_),
            (std::vector<std::string>{"korvex.log.damaged-20250615-150640", "korvex.log.damaged-20250615-150640-1"}));
  EXPECT_EQ(ReadFile(dir_.Sub("korvex.log.damaged-20250615-150640")), "garbage 1");
  EXPECT_EQ(ReadFile(dir_.Sub("korvex.log.damaged-20250615-150640-1")), "garbage 2");
}

// A directory in which no name can be made or changed, while the files in it
// stay writable: read-only for a user, immutable for root (who ignores the
// permissions). Undone at the end of the scope.
class FrozenDirectory {
 public:
  explicit FrozenDirectory(const std::string& path) : path_(path) {
    if (::geteuid() != 0) {
      std::filesystem::permissions(path_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
      frozen_ = true;
      return;
    }
    fd_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    if (fd_ >= 0 && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
      flags |= FS_IMMUTABLE_FL;
      frozen_ = ::ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0;
    }
  }
  ~FrozenDirectory() {
    if (fd_ >= 0) {
      int flags = 0;
      if (frozen_ && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
        flags &= ~FS_IMMUTABLE_FL;
        ::ioctl(fd_, FS_IOC_SETFLAGS, &flags);
      }
      ::close(fd_);
    } else {
      std::filesystem::permissions(path_, std::filesystem::perms::owner_all);
    }
  }
  bool frozen() const { return frozen_; }

 private:
  std::string path_;
  int fd_ = -1;
  bool frozen_ = false;
};

// Without a place to keep it, the damaged file stays as it was rather than
// being emptied.
TEST_F(DuplicateLogTest, DamagedFileThatCannotBeKeptAsideIsLeftAlone) {
  const std::string content = "not a log\r\n4711|125.40|1709800000|Z1|E1|T1|0\r\n";
  WriteFile(path_, content);
  {
    FrozenDirectory frozen(dir_.path());
    if (!frozen.frozen()) GTEST_SKIP() << "the file system cannot make a directory immutable";
    auto log = NewLog();
    EXPECT_FALSE(log->Load());
    log->Reset();
    EXPECT_FALSE(log->Add(Invoice({.id = "9"})));
  }
  EXPECT_EQ(ReadFile(path_), content);
  EXPECT_EQ(DamagedCopies(dir_), std::vector<std::string>{});
}

TEST_F(DuplicateLogTest, LogFileIsTheUsersAlone) {
  const auto mode = [](const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777;
  };
  const ::mode_t umask = ::umask(0);
  auto log = NewLog();
  log->Reset();
  EXPECT_EQ(mode(path_), 0600u) << "reset";
  log->Add(Invoice({.id = "1"}));
  EXPECT_EQ(mode(path_), 0600u) << "rewrite";

  // A log copied in readable by everyone is made private when loaded, and
  // still appended to.
  std::filesystem::permissions(path_, std::filesystem::perms::all);
  const std::string file = ReadFile(path_);
  auto restarted = NewLog();
  ASSERT_TRUE(restarted->Load());
  EXPECT_EQ(mode(path_), 0600u) << "load";
  now_ += 5;
  restarted->Add(Invoice({.id = "2"}));
  EXPECT_EQ(ReadFile(path_), file + Line({.id = "2"}, now_));
  ::umask(umask);
}

// A keys stylesheet that finds no invoice ID gives an empty one for every
// invoice; if that were an identity, every such invoice after the first
// would be refused as a duplicate.
TEST_F(DuplicateLogTest, SummaryWithoutAnIdIsNeitherRecordedNorADuplicate) {
  auto log = NewLog();
  ASSERT_TRUE(log->Add(Invoice({.id = "4711"})));
  const std::string file = ReadFile(path_);
  for (const char* id : {"", " ", "\r\n\t "}) {
    SCOPED_TRACE(::testing::PrintToString(std::string(id)));
    EXPECT_TRUE(log->Add(Invoice({.id = id})));
    EXPECT_FALSE(log->IsDuplicate(Invoice({.id = id})));
    EXPECT_EQ(ReadFile(path_), file);
  }
  EXPECT_EQ(log->Entries().size(), 1u);

  // Nor does a line without an ID in the file make one.
  WriteFile(path_, file + "%|125.40|1709800000|Z123456|7601000000000|TS1|0\r\n");
  auto restarted = NewLog();
  ASSERT_TRUE(restarted->Load());
  EXPECT_FALSE(restarted->IsDuplicate(Invoice({.id = ""})));
  EXPECT_TRUE(restarted->IsDuplicate(Invoice({.id = "4711"})));
}

TEST_F(DuplicateLogTest, PartialLastLineFromACrashIsSkippedAndRewritten) {
  const Values kept{.id = "4711"};
  const Values next{.id = "4713"};
  struct Case {
    const char* tail;
    bool loaded;
  };
  const Case cases[] = {
      {"4712|125.40|17098", false},
      {"4712|125.40|1709800000|Z1|E1|T", false},
      {"4712|125.40|1709800000|Z1|E1|T1|", false},
      {"4712|125.40|1709800000|Z1|E1|T1|0\r", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    WriteFile(path_, kHeader + Line(kept, now_) + c.tail);
    auto log = NewLog();
    ASSERT_TRUE(log->Load());
    EXPECT_EQ(log->Entries().size(), c.loaded ? 2u : 1u);
    EXPECT_TRUE(log->IsDuplicate(Invoice(kept)));

    // The next line must not be glued onto the partial one. A loaded 4712 is
    // far older than 30 days and so is not written back.
    log->Add(Invoice(next));
    EXPECT_EQ(ReadFile(path_), kHeader + Line(kept, now_) + Line(next, now_));
  }
}

// Whatever the IDs and the clock do, each Add either appends its line to a
// file that holds what a rewrite would write (in any order), or writes the
// file whole in ID order; a restarted log knows exactly what the file held.
TEST_F(DuplicateLogTest, AnySequenceOfAddsLeavesTheFileARewriteWouldHold) {
  std::mt19937 random(20240307);
  auto pick = [&](int below) { return static_cast<int>(random() % static_cast<unsigned>(below)); };
  auto id = [](int n) {
    std::string text = std::to_string(n);
    return "R" + std::string(6 - text.size(), '0') + text;
  };

  Model model;
  auto log = NewLog();
  ASSERT_FALSE(log->Load());
  log->Reset();
  int highest = 1000;
  int64_t lastWrite = now_;
  int appends = 0;
  int outOfOrderAppends = 0;
  for (int step = 0; step < 600; ++step) {
    const int clock = pick(100);
    if (clock < 4) {
      now_ += kThirtyDays + pick(5 * 86400);
    } else if (clock < 6) {
      // Someone sets the system clock back.
      now_ -= kThirtyDays + pick(10 * 86400);
    } else {
      now_ += pick(3 * 86400);
    }
    if (step > 0 && pick(100) < 4) {
      // A restart: what the file held is all the next process knows.
      model.KeepWritten(lastWrite);
      log = NewLog();
      ASSERT_TRUE(log->Load());
      ASSERT_EQ(Lines(*log), model.Lines()) << "step " << step;
    }

    const int kind = pick(100);
    Values values;
    values.amount = std::to_string(pick(100000)) + ".00";
    values.storno = pick(10) == 0;
    if (kind < 60) {
      values.id = id(++highest);
    } else if (kind < 80) {
      values.id = id(highest);
    } else {
      values.id = id(pick(highest + 1));
    }
    const std::string before = ReadFile(path_);
    const bool append = InIdOrder(before) == model.File(now_);
    log->Add(Invoice(values));
    model.entries.push_back({values, now_});
    lastWrite = now_;
    const std::string expected = append ? before + Line(values, now_) : model.File(now_);
    ASSERT_EQ(ReadFile(path_), expected) << "step " << step << (append ? ", append" : ", rewrite");
    appends += append;
    outOfOrderAppends += append && InIdOrder(expected) != expected;
  }
  // The sequence reaches every kind of write.
  EXPECT_GT(appends, 100);
  EXPECT_GT(outOfOrderAppends, 10);
  EXPECT_GT(600 - appends, 10);
}

TEST_F(DuplicateLogTest, AddAppendsWheneverTheFileHoldsWhatARewriteWould) {
  const Values first{.id = "4711"};
  const Values second{.id = "4712"};
  struct Case {
    const char* what;
    std::string id;
    int64_t later;
    bool appended;
  };
  const Case cases[] = {
      {"greater ID", "5000", 60, true},
      {"equal ID", "4712", 60, true},
      {"smaller ID", "4710", 60, true},
      {"greater ID after the first entry expired", "5000", kThirtyDays, false},
      {"smaller ID after the first entry expired", "4710", kThirtyDays, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir_.Sub(std::string(c.what) + ".log");
    const int64_t start = now_;
    auto log = NewLog(path);
    log->Add(Invoice(first));
    now_ += 10;
    log->Add(Invoice(second));
    const ino_t before = Inode(path);
    now_ = start + c.later;
    const Values added{.id = c.id};
    log->Add(Invoice(added));
    EXPECT_EQ(Inode(path) == before, c.appended);
    if (c.appended) {
      EXPECT_EQ(ReadFile(path), kHeader + Line(first, start) + Line(second, start + 10) + Line(added, now_));
    } else {
      // The rewrite is in ID order.
      EXPECT_EQ(ReadFile(path), InIdOrder(kHeader + Line(second, start + 10) + Line(added, now_)));
    }
    now_ = start;
  }
}

TEST_F(DuplicateLogTest, AppendsInAnyOrderLoadBackAndAreAppendedToAfterARestart) {
  std::mt19937 random(4711);
  std::vector<Values> added;
  for (int n = 0; n < 40; ++n) {
    // Few IDs, so several entries share one.
    added.push_back({.id = "R" + std::to_string(100 + random() % 25), .amount = std::to_string(n) + ".00"});
  }
  auto log = NewLog();
  log->Add(Invoice(added[0]));
  const ino_t inode = Inode(path_);
  std::string file = ReadFile(path_);
  for (size_t n = 1; n < added.size(); ++n) {
    now_ += 7;
    log->Add(Invoice(added[n]));
    // Bytes only ever grow: each Add appended its line.
    const std::string grown = ReadFile(path_);
    ASSERT_EQ(grown, file + Line(added[n], now_)) << n;
    file = grown;
  }
  ASSERT_NE(InIdOrder(file), file) << "the IDs should have come out of order";

  auto reloaded = NewLog();
  ASSERT_TRUE(reloaded->Load());
  EXPECT_EQ(All(*reloaded), All(*log));
  for (const Values& v : added) EXPECT_TRUE(reloaded->IsDuplicate(Invoice(v))) << v.id << " " << v.amount;

  // The restarted log goes on appending to the same file.
  now_ += 7;
  reloaded->Add(Invoice({.id = "A1"}));
  EXPECT_EQ(ReadFile(path_), file + Line({.id = "A1"}, now_));
  EXPECT_EQ(Inode(path_), inode);
}

TEST_F(DuplicateLogTest, FileThatIsNotExactlyItsEntriesIsRewrittenOnceInIdOrder) {
  const Values a{.id = "4711"};
  const Values b{.id = "4712"};
  const Values c{.id = "4713"};
  const Values next{.id = "4700"};
  const int64_t young = now_ - 100;
  const int64_t expired = now_ - kThirtyDays;
  const std::string lfLine = Line(a, young).substr(0, Line(a, young).size() - 2) + "\n";
  const std::string all = Line(c, young) + Line(a, young) + Line(b, young);
  const std::string withoutA = Line(c, young) + Line(b, young);
  // Lines out of ID order throughout; only the flaw decides.
  struct Case {
    const char* what;
    std::string content;
    bool rewritten;
    std::string kept;  // the lines a rewrite keeps
  };
  const Case cases[] = {
      {"every line as written", kHeader + all, false, all},
      {"an expired line", kHeader + Line(c, young) + Line(a, expired) + Line(b, young), true, withoutA},
      {"an LF line", kHeader + Line(c, young) + lfLine + Line(b, young), true, all},
      {"an LF header", "kxdl-1.1\n" + all, true, all},
      {"a malformed line", kHeader + Line(c, young) + "4711||1709800000|Z1|E1|T1|0\r\n" + Line(b, young), true,
       withoutA},
      {"runs of separators", kHeader + Line(c, young) + "4711||" + Line(a, young).substr(5) + Line(b, young), true,
       all},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    WriteFile(path_, k.content);
    auto log = NewLog();
    ASSERT_TRUE(log->Load());
    const ino_t inode = Inode(path_);
    log->Add(Invoice(next));
    const std::string once = ReadFile(path_);
    if (k.rewritten) {
      EXPECT_EQ(once, InIdOrder(kHeader + k.kept + Line(next, now_)));
      EXPECT_NE(Inode(path_), inode);
    } else {
      EXPECT_EQ(once, k.content + Line(next, now_));
      EXPECT_EQ(Inode(path_), inode);
    }
    // The rewrite leaves a file in sync: the next Add appends.
    now_ += 5;
    log->Add(Invoice(a));
    EXPECT_EQ(ReadFile(path_), once + Line(a, now_));
    now_ -= 5;
  }
}

TEST_F(DuplicateLogTest, EntriesOfOneIdAddedOutOfOrderAreAllFoundInTheOrderAdded) {
  // 4711 comes back between other IDs; each time another value differs.
  const std::vector<Values> added = {
      {.id = "4711", .amount = "1.00"},
      {.id = "4800"},
      {.id = "4711", .amount = "2.00"},
      {.id = "4700"},
      {.id = "4711", .amount = "1.00", .storno = true},
      {.id = "47110"},
      {.id = "4711", .amount = "1.00", .timestamp = "TS2"},
  };
  auto log = NewLog();
  for (const Values& v : added) {
    log->Add(Invoice(v));
    now_ += 1;
  }
  auto reloaded = NewLog();
  ASSERT_TRUE(reloaded->Load());

  for (const DuplicateLog* l : {log.get(), reloaded.get()}) {
    for (const Values& v : added) EXPECT_TRUE(l->IsDuplicate(Invoice(v))) << v.id << " " << v.amount;
    EXPECT_FALSE(l->IsDuplicate(Invoice({.id = "4711", .amount = "2.00", .storno = true})));
    EXPECT_FALSE(l->IsDuplicate(Invoice({.id = "4711", .amount = "3.00"})));
    EXPECT_FALSE(l->IsDuplicate(Invoice({.id = "471", .amount = "1.00"})));

    std::vector<std::string> order;
    for (const DupLogEntry& e : l->Entries()) {
      order.push_back(std::string(e.GetID()) + " " + std::string(e.GetAmount()) + (e.GetStorno() ? " s" : "") + " " +
                      std::string(e.GetTimestamp()));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"4700 125.40 TS1", "4711 1.00 TS1", "4711 2.00 TS1",
                                               "4711 1.00 s TS1", "4711 1.00 TS2", "47110 125.40 TS1",
                                               "4800 125.40 TS1"}));
  }
}

TEST_F(DuplicateLogTest, FileChangedBySomeoneElseIsRewrittenNotAppendedTo) {
  auto log = NewLog();
  log->Add(Invoice({.id = "1"}));

  // A second process with its own log on the same file appends to it.
  auto other = NewLog();
  ASSERT_TRUE(other->Load());
  now_ += 5;
  other->Add(Invoice({.id = "2"}));
  ASSERT_EQ(ReadFile(path_), kHeader + Line({.id = "1"}, now_ - 5) + Line({.id = "2"}, now_));

  // Each process writes what it knows, as a full rewrite would.
  now_ += 5;
  log->Add(Invoice({.id = "3"}));
  EXPECT_EQ(ReadFile(path_), kHeader + Line({.id = "1"}, now_ - 10) + Line({.id = "3"}, now_));
}

// A full disk stops the append in the middle of its line, and the rewrite
// that follows.
TEST_F(DuplicateLogTest, AddThatCannotWriteItsLineAnswersFalseAndTheNextAddWritesIt) {
  auto log = NewLog();
  ASSERT_TRUE(log->Add(Invoice({.id = "1"})));
  const std::string file = ReadFile(path_);
  const int64_t first = now_;
  now_ += 5;
  {
    FileSizeLimit full(file.size() + 10);
    EXPECT_FALSE(log->Add(Invoice({.id = "2"})));
  }
  // The partial line is cut back, and no temporary is left.
  EXPECT_EQ(ReadFile(path_), file);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);
  now_ += 5;
  EXPECT_TRUE(log->Add(Invoice({.id = "3"})));
  EXPECT_EQ(ReadFile(path_), kHeader + Line({.id = "1"}, first) + Line({.id = "2"}, first + 5) +
                                 Line({.id = "3"}, first + 10));
}

TEST_F(DuplicateLogTest, FailedSaveKeepsTheLogDirtyUntilAWriteSucceeds) {
  auto log = NewLog();
  EXPECT_TRUE(log->Add(Invoice({.id = "1"})));
  const int64_t first = now_;

  // A directory where the file should be: neither append nor rewrite works.
  std::filesystem::remove(path_);
  std::filesystem::create_directory(path_);
  now_ += 5;
  EXPECT_FALSE(log->Add(Invoice({.id = "2"})));
  EXPECT_TRUE(log->IsDuplicate(Invoice({.id = "2"})));
  EXPECT_FALSE(log->Save());
  EXPECT_TRUE(std::filesystem::is_directory(path_));
  // Only complete logs are ever left behind, never temporary files.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);

  std::filesystem::remove(path_);
  EXPECT_TRUE(log->Save());
  EXPECT_EQ(ReadFile(path_), kHeader + Line({.id = "1"}, first) + Line({.id = "2"}, first + 5));
  now_ += 5;
  EXPECT_TRUE(log->Add(Invoice({.id = "3"})));
  EXPECT_EQ(ReadFile(path_), kHeader + Line({.id = "1"}, first) + Line({.id = "2"}, first + 5) +
                                 Line({.id = "3"}, first + 10));

  // A failed write is retried by the next Add as well, not only by Save.
  std::filesystem::remove(path_);
  std::filesystem::create_directory(path_);
  now_ += 5;
  EXPECT_FALSE(log->Add(Invoice({.id = "4"})));
  std::filesystem::remove(path_);
  now_ += 5;
  EXPECT_TRUE(log->Add(Invoice({.id = "5"})));
  auto restarted = NewLog();
  ASSERT_TRUE(restarted->Load());
  EXPECT_TRUE(restarted->IsDuplicate(Invoice({.id = "4"})));
  EXPECT_TRUE(restarted->IsDuplicate(Invoice({.id = "5"})));
}

// The log of a work area left behind merged into the new one: what it lacks
// comes in, an entry both hold keeps the later time (it stays as long as
// either would keep it), an expired one is known in memory but not written.
TEST_F(DuplicateLogTest, MergeTakesInWhatItLacksAndKeepsTheLaterTimeOfWhatBothHold) {
  auto other = NewLog(dir_.Sub("old/korvex.log"));
  std::filesystem::create_directories(dir_.Sub("old"));
  ASSERT_FALSE(other->Load());
  auto log = NewLog();
  ASSERT_FALSE(log->Load());
  now_ -= 100;
  log->Add(Invoice({.id = "A"}));
  log->Add(Invoice({.id = "B"}));
  other->SetClock([this] { return now_ - kThirtyDays; });
  other->Add(Invoice({.id = "Expired"}));
  now_ += 90;
  other->SetClock([this] { return now_; });
  other->Add(Invoice({.id = "B"}));
  other->Add(Invoice({.id = "A", .storno = true}));
  other->Add(Invoice({.id = "C"}));
  now_ += 10;

  ASSERT_TRUE(log->Merge(*other));

  for (const char* id : {"A", "B", "C", "Expired"}) EXPECT_TRUE(log->IsDuplicate(Invoice({.id = id}))) << id;
  EXPECT_TRUE(log->IsDuplicate(Invoice({.id = "A", .storno = true})));
  const std::string expected = std::string(kHeader) + Line({.id = "A"}, now_ - 100) +
                               Line({.id = "A", .storno = true}, now_ - 10) + Line({.id = "B"}, now_ - 10) +
                               Line({.id = "C"}, now_ - 10);
  EXPECT_EQ(ReadFile(path_), expected);
  // Merging again changes nothing.
  ASSERT_TRUE(log->Merge(*other));
  EXPECT_EQ(ReadFile(path_), expected);
  auto restarted = NewLog();
  ASSERT_TRUE(restarted->Load());
  EXPECT_TRUE(restarted->IsDuplicate(Invoice({.id = "C"})));
}

// --- engine start-up -----------------------------------------------------------------

TEST(DuplicateLogEngineTest, InitOpensTheWorkDirectorysLog) {
  const std::string entry = Line({.id = "4711"}, std::time(nullptr));
  struct Case {
    const char* what;
    std::optional<std::string> content;
    bool knowsEntry;
  };
  const Case cases[] = {
      {"no file", std::nullopt, false},
      {"a log", kHeader + entry, true},
      {"a foreign file", "kxdl-1.0\r\n" + entry, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ScopedEnv configHome("XDG_CONFIG_HOME", dir.Sub("config"));
    ScopedEnv documents("XDG_DOCUMENTS_DIR", dir.Sub("docs"));
    const std::string shipped = std::string(KORVEX_SOURCE_DIR) + "/testing/trustcenter/config/";
    WriteFile(dir.Sub("program/korvex.xml"), ReadFile(shipped + "korvex.xml"));
    WriteFile(dir.Sub("program/korvex.xsd"), ReadFile(shipped + "korvex.xsd"));
    const std::string path = dir.Sub("docs/Korvex-Ordiva/korvex.log");
    if (c.content) WriteFile(path, *c.content);

    auto engine = std::make_shared<Korvex>();
    engine->SetResourcePath(common::Path(dir.Sub("program/"), true));
    engine->SetClientConfig(MakeClientConfig(engine));
    engine->Init();

    const auto& log = engine->GetDuplicateLog();
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->Path(), path);
    EXPECT_EQ(log->IsDuplicate(Invoice({.id = "4711"})), c.knowsEntry);
    EXPECT_EQ(ReadFile(path), c.knowsEntry ? kHeader + entry : "");

    log->Add(Invoice({.id = "4712"}));
    EXPECT_EQ(ReadFile(path).substr(0, 10), kHeader);
  }
}

// The settings named another work base between two starts (korvex.ini edited
// by hand): the start carries the duplicate log, the journal and the list of
// received responses of the work base recorded in "korvex.workbase" into the
// new work area, leaves the old files as they are and records the new base.
// An earlier base that cannot be found now (a drive not mounted) stays
// recorded, so a later start carries it still.
TEST(DuplicateLogEngineTest, AStartCarriesTheAreaOfTheWorkBaseRecordedBefore) {
  const std::string sha(64, 'a');
  const int64_t now = std::time(nullptr);
  struct Case {
    const char* what;
    std::optional<std::string> recorded;  // relative to the test's directory
    bool oldAreaThere;
    bool carried;
    std::string recordAfter;
  };
  const Case cases[] = {
      {"recorded old base", "old/", true, true, "new/"},
      {"nothing recorded yet", std::nullopt, true, false, "new/"},
      {"the same base recorded", "new/", true, false, "new/"},
      {"the old base gone", "old/", false, false, "old/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ScopedEnv configHome("XDG_CONFIG_HOME", dir.Sub("config"));
    ScopedEnv documents("XDG_DOCUMENTS_DIR", dir.Sub("docs"));
    const std::string shipped = std::string(KORVEX_SOURCE_DIR) + "/testing/trustcenter/config/";
    WriteFile(dir.Sub("program/korvex.xml"), ReadFile(shipped + "korvex.xml"));
    WriteFile(dir.Sub("program/korvex.xsd"), ReadFile(shipped + "korvex.xsd"));
    const std::string appData = dir.Sub("config/Belmor/korvex-ordiva/");
    WriteFile(appData + "korvex.ini", "[globals]\nworkDir=" + dir.Sub("new/") + "\n");
    if (c.recorded) WriteFile(appData + "korvex.workbase", dir.Sub(*c.recorded) + "\n");
    const std::string oldLog = kHeader + Line({.id = "4711"}, now - 60);
    const std::string oldJournal = "kxpj-1\r\nP|" + std::to_string(now) + "|" + sha + "|begun.xml\r\nD|" +
                                   std::to_string(now) + "|" + sha + "|done.xml\r\n";
    const std::string oldReceived = "kxrl-1\r\n" + std::to_string(now - 60) + "|" + sha + "|antwort.pdf\r\n";
    if (c.oldAreaThere) {
      WriteFile(dir.Sub("old/korvex.log"), oldLog);
      WriteFile(dir.Sub("old/korvex.pending"), oldJournal);
      WriteFile(dir.Sub("old/korvex.received"), oldReceived);
    }
    WriteFile(dir.Sub("new/korvex.log"), kHeader + Line({.id = "4712"}, now - 30));

    auto engine = std::make_shared<Korvex>();
    engine->SetResourcePath(common::Path(dir.Sub("program/"), true));
    engine->SetClientConfig(MakeClientConfig(engine));
    try {
      engine->Init();
    } catch (const common::Exception& e) {
      FAIL() << e.ChainText();
    }

    const auto& log = engine->GetDuplicateLog();
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->Path(), dir.Sub("new/korvex.log"));
    EXPECT_TRUE(log->IsDuplicate(Invoice({.id = "4712"})));
    EXPECT_EQ(log->IsDuplicate(Invoice({.id = "4711"})), c.carried);
    DuplicateLog reread(dir.Sub("new/korvex.log"));
    ASSERT_TRUE(reread.Load());
    EXPECT_EQ(reread.IsDuplicate(Invoice({.id = "4711"})), c.carried);
    EXPECT_EQ(std::filesystem::exists(dir.Sub("new/korvex.pending")), c.carried);
    if (c.carried) {
      EXPECT_EQ(ReadFile(dir.Sub("new/korvex.pending")),
                "kxpj-1\r\nP|" + std::to_string(now) + "|" + sha + "|begun.xml\r\n");
      EXPECT_EQ(ReadFile(dir.Sub("new/korvex.received")), oldReceived);
    }
    if (c.oldAreaThere) {
      EXPECT_EQ(ReadFile(dir.Sub("old/korvex.log")), oldLog);
      EXPECT_EQ(ReadFile(dir.Sub("old/korvex.pending")), oldJournal);
      EXPECT_EQ(ReadFile(dir.Sub("old/korvex.received")), oldReceived);
    }
    EXPECT_EQ(ReadFile(appData + "korvex.workbase"), dir.Sub(c.recordAfter) + "\n");
  }
}

}  // namespace
}  // namespace belmor::korvex
