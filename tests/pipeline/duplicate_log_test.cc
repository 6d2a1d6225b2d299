#include "pipeline/duplicate_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "common/path.h"
#include "config/client_config.h"
#include "engine/korvex.h"
#include "pipeline/simple_invoice.h"
#include "platform/scoped_env.h"
#include "support/temp_dir.h"

namespace belmor::korvex {
namespace {

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

  std::vector<Loaded> loaded;
  for (const auto& [id, e] : log->Entries()) {
    const SimpleInvoice& i = *e.invoice;
    EXPECT_EQ(id, i.GetID());
    loaded.push_back({i.GetID(), i.GetAmount(), e.time, i.GetZsr(), i.GetEan(), i.GetTimestamp(), i.GetStorno()});
  }
  const std::vector<Loaded> expected = {
      {"crlf", "125.40", 1709800000, "Z1", "E1", "T1", false},
      {"last", "1.00", 1709800003, "Z4", "E4", "T4", false},
      {"lf", "7.00", 1709800001, "Z2", "E2", "T2", true},
      {"runs", "of", 1709800002, "Z3", "E3", "T3", false},
  };
  EXPECT_EQ(loaded, expected);
}

TEST_F(DuplicateLogTest, FileWithoutTheHeaderIsRejectedAndEmptied) {
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
    std::filesystem::remove(path_);
    if (c.content) WriteFile(path_, *c.content);
    auto log = NewLog();
    ASSERT_EQ(log->Load(), c.accepted);
    if (c.accepted) continue;

    EXPECT_TRUE(log->Entries().empty());
    log->Reset();
    EXPECT_EQ(ReadFile(path_), "");
    // The first Add writes the header.
    log->Add(Invoice({.id = "9"}));
    EXPECT_EQ(ReadFile(path_), kHeader + Line({.id = "9"}, now_));
  }
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

TEST_F(DuplicateLogTest, AnySequenceOfAddsLeavesTheFullRewriteOnDisk) {
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
      ASSERT_EQ(log->Entries().size(), model.entries.size()) << "step " << step;
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
    log->Add(Invoice(values));
    model.entries.push_back({values, now_});
    lastWrite = now_;
    ASSERT_EQ(ReadFile(path_), model.File(now_)) << "step " << step;
  }
}

TEST_F(DuplicateLogTest, AddAppendsOnlyWhenTheResultEqualsARewrite) {
  struct Case {
    const char* what;
    std::string id;
    int64_t later;
    bool sameFile;
  };
  const Case cases[] = {
      {"greater ID", "5000", 60, true},
      {"equal ID", "4712", 60, true},
      {"smaller ID", "4710", 60, false},
      {"greater ID after the first entry expired", "5000", kThirtyDays, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir_.Sub(std::string(c.what) + ".log");
    const int64_t start = now_;
    auto log = NewLog(path);
    log->Add(Invoice({.id = "4711"}));
    now_ += 10;
    log->Add(Invoice({.id = "4712"}));
    const ino_t before = Inode(path);
    now_ = start + c.later;
    log->Add(Invoice({.id = c.id}));
    EXPECT_EQ(Inode(path) == before, c.sameFile);
    now_ = start;
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

TEST_F(DuplicateLogTest, FailedSaveKeepsTheLogDirtyUntilAWriteSucceeds) {
  auto log = NewLog();
  log->Add(Invoice({.id = "1"}));
  const int64_t first = now_;

  // A directory where the file should be: neither append nor rewrite works.
  std::filesystem::remove(path_);
  std::filesystem::create_directory(path_);
  now_ += 5;
  log->Add(Invoice({.id = "2"}));
  EXPECT_TRUE(log->IsDuplicate(Invoice({.id = "2"})));
  EXPECT_FALSE(log->Save());
  EXPECT_TRUE(std::filesystem::is_directory(path_));
  // Only complete logs are ever left behind, never temporary files.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);

  std::filesystem::remove(path_);
  EXPECT_TRUE(log->Save());
  EXPECT_EQ(ReadFile(path_), kHeader + Line({.id = "1"}, first) + Line({.id = "2"}, first + 5));
  now_ += 5;
  log->Add(Invoice({.id = "3"}));
  EXPECT_EQ(ReadFile(path_), kHeader + Line({.id = "1"}, first) + Line({.id = "2"}, first + 5) +
                                 Line({.id = "3"}, first + 10));
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
    engine->SetClientConfig(std::make_shared<ClientConfig>(engine));
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

}  // namespace
}  // namespace belmor::korvex
