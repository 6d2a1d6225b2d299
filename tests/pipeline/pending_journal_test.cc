#include "pipeline/pending_journal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace belmor::korvex {
namespace {

using belmor::testing::ReadFile;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;
using State = PendingJournal::State;

const std::string kShaA(64, 'a');
const std::string kShaB(64, 'b');

PendingJournal::Entry Make(State state, const std::string& sha, const std::string& name, const std::string& held = "") {
  PendingJournal::Entry entry;
  entry.state = state;
  entry.time = 1765400000;
  entry.sha256 = sha;
  entry.name = name;
  entry.held = held;
  return entry;
}

// "state name held" of each entry, for readable comparisons.
std::vector<std::string> Summary(const std::vector<PendingJournal::Entry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) out.push_back(std::string(1, static_cast<char>(e.state)) + " " + e.name + " " + e.held);
  return out;
}

TEST(PendingJournalTest, TheLatestRecordOfEachUploadCountsAndNamesSurviveTheirSeparators) {
  TempDir dir;
  PendingJournal journal(dir.Sub("korvex.pending"));
  const std::string odd = "a|b%7C\r\nc.xml";
  journal.Append(Make(State::kPending, kShaA, odd));
  journal.Append(Make(State::kPending, kShaB, "b.xml"));
  journal.Append(Make(State::kHeld, kShaA, odd, "err/2026-12-11/" + odd));
  journal.Append(Make(State::kSent, kShaB, "b.xml"));
  // The same name with other bytes is another upload.
  journal.Append(Make(State::kPending, kShaB, odd));

  EXPECT_THAT(Summary(journal.Read()),
              ::testing::ElementsAre("H " + odd + " err/2026-12-11/" + odd, "S b.xml ", "P " + odd + " "));
  const std::string text = ReadFile(dir.Sub("korvex.pending"));
  EXPECT_EQ(text.substr(0, 8), "kxpj-1\r\n");
  EXPECT_EQ(text.find("a|b"), std::string::npos) << "a separator in a name is escaped";
  struct stat info {};
  ASSERT_EQ(::stat(dir.Sub("korvex.pending").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(PendingJournalTest, WhatIsNotAWholeRecordIsSkipped) {
  const std::string good = "P|1765400000|" + kShaA + "|a.xml\r\n";
  const struct Case {
    const char* what;
    std::string text;
    std::vector<std::string> expected;
  } cases[] = {
      {"missing header", good, {}},
      {"another header", "kxpj-2\r\n" + good, {}},
      {"lines with LF only", "kxpj-1\n" + good.substr(0, good.size() - 2) + "\n", {"P a.xml "}},
      // A crash while a line was appended leaves it without its end.
      {"torn last line", "kxpj-1\r\n" + good + "S|1765400001|" + kShaA + "|a.x", {"P a.xml "}},
      {"unknown kind", "kxpj-1\r\nX|1|" + kShaA + "|a.xml\r\n" + good, {"P a.xml "}},
      {"short hash", "kxpj-1\r\nS|1|abc|a.xml\r\n" + good, {"P a.xml "}},
      {"time not a number", "kxpj-1\r\nS|soon|" + kShaA + "|a.xml\r\n" + good, {"P a.xml "}},
      {"held without a path", "kxpj-1\r\n" + good + "H|1|" + kShaA + "|a.xml\r\n", {"P a.xml "}},
      {"broken escape", "kxpj-1\r\n" + good + "S|1|" + kShaA + "|a%7\r\n", {"P a.xml "}},
      {"empty name", "kxpj-1\r\nP|1|" + kShaA + "|\r\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    WriteFile(dir.Sub("korvex.pending"), c.text);
    EXPECT_EQ(Summary(PendingJournal(dir.Sub("korvex.pending")).Read()), c.expected);
  }
}

TEST(PendingJournalTest, RewriteKeepsExactlyWhatItIsGiven) {
  TempDir dir;
  PendingJournal journal(dir.Sub("korvex.pending"));
  journal.Append(Make(State::kPending, kShaA, "a.xml"));
  journal.Append(Make(State::kHeld, kShaB, "b.xml", "err/2026-12-10/b.xml"));

  journal.Rewrite({Make(State::kHeld, kShaB, "b.xml", "err/2026-12-10/b.xml")});

  EXPECT_EQ(ReadFile(dir.Sub("korvex.pending")), "kxpj-1\r\nH|1765400000|" + kShaB + "|b.xml|err/2026-12-10/b.xml\r\n");
  journal.Append(Make(State::kPending, kShaA, "c.xml"));
  EXPECT_THAT(Summary(journal.Read()), ::testing::ElementsAre("H b.xml err/2026-12-10/b.xml", "P c.xml "));
}

TEST(PendingJournalTest, Sha256OfKnownText) {
  EXPECT_EQ(PendingJournal::Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// A work base that moved: the uploads begun or taken by the gate come along,
// so the very file brought into the new area is never sent again; a held one
// only with its file; finished ones stay behind; of one upload in both the
// later record counts; the old journal is left as it was.
TEST(PendingJournalTest, MergeFromAnOldWorkAreaCarriesWhatStillMatters) {
  TempDir dir;
  const std::string oldWork = dir.Sub("old/");
  const std::string newWork = dir.Sub("new/");
  std::filesystem::create_directories(oldWork);
  std::filesystem::create_directories(newWork);
  std::filesystem::create_directories(dir.Sub("finished/"));
  PendingJournal old(oldWork + PendingJournal::kFileName);
  PendingJournal mine(newWork + PendingJournal::kFileName);
  WriteFile(newWork + "err/2026-12-01/copied.xml", "held invoice");
  auto at = [](PendingJournal::Entry entry, int64_t time) {
    entry.time = time;
    return entry;
  };
  old.Rewrite({Make(State::kPending, kShaA, "begun.xml"), Make(State::kSent, kShaA, "taken.xml"),
               Make(State::kDone, kShaA, "done.xml"), Make(State::kHeld, kShaA, "copied.xml", "err/2026-12-01/copied.xml"),
               Make(State::kHeld, kShaA, "left.xml", "err/2026-12-01/left.xml"),
               at(Make(State::kSent, kShaB, "both.xml"), 1765400100),
               at(Make(State::kPending, kShaB, "older.xml"), 1765400000)});
  const std::string oldText = ReadFile(old.path());
  mine.Rewrite({at(Make(State::kPending, kShaB, "both.xml"), 1765400050),
                at(Make(State::kSent, kShaB, "older.xml"), 1765400200)});

  mine.MergeFrom(old, newWork);

  EXPECT_THAT(Summary(mine.Read()),
              ::testing::ElementsAre("S both.xml ", "S older.xml ", "P begun.xml ", "S taken.xml ",
                                     "H copied.xml err/2026-12-01/copied.xml"));
  EXPECT_EQ(ReadFile(old.path()), oldText);

  // Nothing to carry: no journal appears in a work area that never sent.
  PendingJournal empty(dir.Sub("fresh/") + PendingJournal::kFileName);
  PendingJournal finished(dir.Sub("finished/") + PendingJournal::kFileName);
  finished.Rewrite({Make(State::kDone, kShaA, "done.xml")});
  empty.MergeFrom(finished, dir.Sub("fresh/"));
  EXPECT_FALSE(std::filesystem::exists(empty.path()));
}

}  // namespace
}  // namespace belmor::korvex
