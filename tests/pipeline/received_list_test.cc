#include "pipeline/received_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "pipeline/pending_journal.h"
#include "support/temp_dir.h"

namespace belmor::korvex {
namespace {

using belmor::testing::ReadFile;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;

constexpr std::time_t kDay = 86400;
constexpr std::time_t kStart = 1765400000;

std::string Sha(const std::string& bytes) { return PendingJournal::Sha256Hex(bytes); }

// A response counts as received by its gate name and its bytes together,
// also for the next process, which reads the list from the file.
TEST(ReceivedListTest, AResponseIsKnownByItsNameAndBytesAcrossARestart) {
  TempDir dir;
  const std::string path = dir.Sub(ReceivedList::kFileName);
  {
    ReceivedList list(path);
    list.Load();
    // Names the gate may give: the separators of the file's lines too.
    list.Add("antwort-1.pdf", Sha("eins"));
    list.Add("odd|name\r\n%.pdf", Sha("zwei"));
  }
  ReceivedList list(path);
  list.Load();
  const struct {
    const char* name;
    const char* bytes;
    bool known;
  } cases[] = {
      {"antwort-1.pdf", "eins", true},
      {"odd|name\r\n%.pdf", "zwei", true},
      // The same name with other bytes is another response, and so are the
      // same bytes under another name.
      {"antwort-1.pdf", "eins, korrigiert", false},
      {"antwort-2.pdf", "eins", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(list.Contains(c.name, Sha(c.bytes)), c.known) << c.name << " " << c.bytes;
  }
  EXPECT_EQ(ReadFile(path).substr(0, 8), "kxrl-1\r\n");
}

// Entries are kept for 30 days: older ones no longer match and are left out
// when the list is written.
TEST(ReceivedListTest, EntriesOlderThanThirtyDaysAreForgotten) {
  TempDir dir;
  const std::string path = dir.Sub(ReceivedList::kFileName);
  std::time_t now = kStart;
  ReceivedList list(path, [&] { return now; });
  list.Add("alt.pdf", Sha("alt"));
  now += 10 * kDay;
  list.Add("mittel.pdf", Sha("mittel"));
  now = kStart + 30 * kDay - 1;
  EXPECT_TRUE(list.Contains("alt.pdf", Sha("alt")));
  now = kStart + 30 * kDay;
  EXPECT_FALSE(list.Contains("alt.pdf", Sha("alt")));
  list.Add("neu.pdf", Sha("neu"));
  EXPECT_EQ(ReadFile(path), "kxrl-1\r\n" + std::to_string(kStart + 10 * kDay) + "|" + Sha("mittel") +
                                "|mittel.pdf\r\n" + std::to_string(now) + "|" + Sha("neu") + "|neu.pdf\r\n");
}

// What a crash or another program left in the file never stops a run: lines
// that are not entries, and a last line without its end, are skipped; a file
// that is no list is an empty one.
TEST(ReceivedListTest, DamagedLinesAndForeignFilesReadAsNothingKnown) {
  TempDir dir;
  const std::string path = dir.Sub(ReceivedList::kFileName);
  const std::string good = std::to_string(kStart) + "|" + Sha("gut") + "|gut.pdf";
  WriteFile(path, "kxrl-1\n" + good + "\n" + "garbage\n" + "12|" + Sha("x") + "\n" + "x|" + Sha("y") + "|y.pdf\n" +
                      std::to_string(kStart) + "|" + Sha("halb") + "|halb.pdf");
  ReceivedList list(path, [] { return kStart; });
  list.Load();
  ASSERT_EQ(list.Entries().size(), 1u);
  EXPECT_TRUE(list.Contains("gut.pdf", Sha("gut")));
  EXPECT_FALSE(list.Contains("halb.pdf", Sha("halb")));

  WriteFile(path, "kxdl-1.1\r\n" + good + "\r\n");
  list.Load();
  EXPECT_TRUE(list.Entries().empty());
}

// A response stored just before a crash kept it off the list is found by its
// bytes under the name it was stored as, or a free name beside it.
TEST(ReceivedListTest, ACopyIsFoundUnderItsNameOrAFreeNameBesideIt) {
  TempDir dir;
  WriteFile(dir.Sub("r1.xml"), "andere");
  WriteFile(dir.Sub("r1.1.xml"), "antwort");
  WriteFile(dir.Sub("r2.xml"), "antwort, länger");
  EXPECT_TRUE(ReceivedList::HoldsCopy(dir.path(), "r1.xml", "antwort"));
  EXPECT_TRUE(ReceivedList::HoldsCopy(dir.path() + "/", "r1.xml", "andere"));
  EXPECT_FALSE(ReceivedList::HoldsCopy(dir.path(), "r1.xml", "dritte"));
  EXPECT_FALSE(ReceivedList::HoldsCopy(dir.path(), "r2.xml", "antwort"));
  EXPECT_FALSE(ReceivedList::HoldsCopy(dir.path(), "r3.xml", "antwort"));
  EXPECT_FALSE(ReceivedList::HoldsCopy(dir.Sub("fehlt"), "r1.xml", "antwort"));
}

// A work base that moved takes the responses of the old area's list along,
// so a response the gate offers again is confirmed, not stored twice.
TEST(ReceivedListTest, MergeTakesInTheYoungEntriesItLacksWithTheLaterTime) {
  TempDir dir;
  std::time_t now = kStart;
  const auto clock = [&now] { return now; };
  std::filesystem::create_directories(dir.Sub("old"));
  std::filesystem::create_directories(dir.Sub("new"));
  ReceivedList old(dir.Sub("old/") + ReceivedList::kFileName, clock);
  old.Add("expired.pdf", Sha("alt"));
  now += 20 * kDay;
  old.Add("both.pdf", Sha("beide"));
  old.Add("old-only.pdf", Sha("alt-nur"));
  now += 11 * kDay;  // expired.pdf is 31 days old now
  ReceivedList mine(dir.Sub("new/") + ReceivedList::kFileName, clock);
  mine.Add("mine.pdf", Sha("neu"));
  // Seen here before the old area got it: the old area's later time counts.
  ReceivedList before(dir.Sub("new/") + ReceivedList::kFileName, [] { return kStart + 15 * kDay; });
  before.Load();
  before.Add("both.pdf", Sha("beide"));
  mine.Load();

  mine.Merge(old);

  ReceivedList reread(mine.path(), clock);
  reread.Load();
  std::vector<std::string> entries;
  for (const auto& e : reread.Entries()) entries.push_back(e.name + " " + std::to_string((e.time - kStart) / kDay));
  EXPECT_THAT(entries, ::testing::UnorderedElementsAre("mine.pdf 31", "both.pdf 20", "old-only.pdf 20"));
  EXPECT_FALSE(reread.Contains("expired.pdf", Sha("alt")));
  EXPECT_TRUE(reread.Contains("old-only.pdf", Sha("alt-nur")));
}

}  // namespace
}  // namespace belmor::korvex
