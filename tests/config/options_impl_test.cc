#include "config/options_impl.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <thread>

#include "support/temp_dir.h"

namespace belmor::korvex {
namespace {

using belmor::testing::ReadFile;
using belmor::testing::TempDir;
using belmor::testing::WriteFile;

// The value a look-up of key answers, or nullopt when it raises "not found".
std::optional<std::string> Lookup(const IniOptions& options, const std::string& key) {
  try {
    return options.GetString(key);
  } catch (const OptionNotFoundException&) {
    return std::nullopt;
  }
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class IniOptionsTest : public ::testing::Test {
 protected:
  std::string Ini() const { return dir_.Sub("korvex.ini"); }
  IniOptions LoadedFrom(const std::string& text) {
    WriteFile(Ini(), text);
    return IniOptions(common::Path(Ini()));
  }

  TempDir dir_;
};

TEST_F(IniOptionsTest, ReadsLinesByTheFileRules) {
  const struct {
    const char* what;
    const char* file;
    const char* key;
    std::optional<std::string> value;
  } cases[] = {
      {"pair before any section is ignored", "debug=1\n[globals]\n", "debug", std::nullopt},
      {"pair under any named section is global", "[elsewhere]\ndebug=2\n", "debug", "2"},
      {"comment cut, trailing blank kept", "[globals]\narchive=0 # keep them\n", "archive", "0 "},
      {"comment line skipped", "[globals]\n# archive=1\n", "archive", std::nullopt},
      {"key and value exactly as written", "[globals]\n key = a=b \n", " key ", " a=b "},
      {"line without = is ignored", "[globals]\narchive\n", "archive", std::nullopt},
      {"[ without ] empties the section", "[globals]\n[broken\narchive=1\n", "archive", std::nullopt},
      {"empty section name", "[]\narchive=1\n", "archive", std::nullopt},
      {"section name ends at first ]", "[a]b]\narchive=1\n", "archive", "1"},
      {"empty value counts as absent", "[globals]\nhinLogin=\n", "hinLogin", std::nullopt},
      {"later line overwrites earlier", "[a]\nx=1\n[b]\nx=2\n", "x", "2"},
      {"last line without line feed", "[globals]\nx=1", "x", "1"},
      {"carriage returns of a Windows file", "[globals]\r\nx=1\r\n", "x", "1"},
      {"empty key", "[globals]\n=v\n", "", "v"},
  };
  for (const auto& c : cases) {
    IniOptions options = LoadedFrom(c.file);
    EXPECT_EQ(Lookup(options, c.key), c.value) << c.what;
    for (const auto& [section, entries] : options.sections()) EXPECT_EQ(section, "globals") << c.what;
  }
}

TEST_F(IniOptionsTest, TypedLookUpsFollowTheIntegerRule) {
  const struct {
    const char* value;
    int number;
  } cases[] = {
      {"0", 0},       {"1", 1},          {"2", 2},     {"-7", -7},       {"+5", 5},
      {"  42abc", 42}, {"\t3", 3},       {"yes", 0},   {"true", 0},      {"+-5", 0},
      {"0 ", 0},      {"-", 0},          {"2147483647", 2147483647},
  };
  IniOptions options{common::Path(Ini())};
  for (const auto& c : cases) {
    options.Set("k", std::string(c.value));
    EXPECT_EQ(options.GetInt("k"), c.number) << c.value;
    EXPECT_EQ(options.GetBool("k"), c.number != 0) << c.value;
    EXPECT_EQ(options.Get<int>("k"), c.number) << c.value;
  }
}

TEST_F(IniOptionsTest, MissingAndUnparsableKeysRaiseWithTheKey) {
  IniOptions options{common::Path(Ini())};
  options.Set("empty", std::string());
  options.Set("huge", std::string("99999999999"));

  for (const char* key : {"absent", "empty"}) {
    try {
      options.GetBool(key);
      FAIL() << key;
    } catch (const common::RuntimeException& e) {
      EXPECT_NE(dynamic_cast<const OptionNotFoundException*>(&e), nullptr);
      EXPECT_EQ(e.Message(), std::string("option not found: ") + key);
      EXPECT_STREQ(e.Description(), "Option not found exception");
    }
  }
  for (const char* key : {"huge"}) {
    try {
      options.GetInt(key);
      FAIL() << key;
    } catch (const OptionNotFoundException& e) {
      EXPECT_EQ(e.Message(), std::string("option is unparsable: ") + key);
    }
  }
  // Text look-ups do not convert, so a big number is still a value.
  EXPECT_EQ(options.GetString("huge"), "99999999999");
}

TEST_F(IniOptionsTest, SetStoresTypedValuesAsText) {
  IniOptions options{common::Path(Ini())};
  options.Set("t", true);
  options.Set("f", false);
  options.Set("n", -12);
  // A string literal must not turn into the bool "1".
  options.Set("s", "text");
  EXPECT_EQ(options.GetString("t"), "1");
  EXPECT_EQ(options.GetString("f"), "0");
  EXPECT_EQ(options.GetString("n"), "-12");
  EXPECT_EQ(options.GetString("s"), "text");
}

TEST_F(IniOptionsTest, OverlongLineIsSkippedAndKeptByARewrite) {
  const std::string longest = "k=" + std::string(IniOptions::kMaxLineLength - 2, 'v');
  IniOptions accepted = LoadedFrom("[globals]\n" + longest + "\r\nafter=1\n");
  EXPECT_EQ(Lookup(accepted, "k"), longest.substr(2));
  EXPECT_EQ(Lookup(accepted, "after"), "1");
  EXPECT_TRUE(accepted.kept().empty());

  const std::string over = longest + "v";
  const struct {
    const char* what;
    std::string file;
    std::string line;
  } cases[] = {
      {"one over", "[globals]\nbefore=1\n" + over + "\nafter=1\n", over},
      {"one over, CR LF", "[globals]\r\nbefore=1\r\n" + over + "\r\nafter=1\r\n", over + "\r"},
      {"far over", "[globals]\nbefore=1\nk=" + std::string(5000, 'v') + "\nafter=1\n", "k=" + std::string(5000, 'v')},
      {"over, last line without line feed", "[globals]\nbefore=1\nafter=1\n" + longest + "vv", longest + "vv"},
      {"over, first line", "k" + std::string(2000, '=') + "\n[globals]\nbefore=1\nafter=1\n", "k" + std::string(2000, '=')},
      {"a long comment", "[globals]\nbefore=1\n# " + std::string(1100, 'c') + "\nafter=1\n", "# " + std::string(1100, 'c')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    IniOptions cut = LoadedFrom(c.file);
    EXPECT_EQ(Lookup(cut, "before"), "1");
    EXPECT_EQ(Lookup(cut, "k"), std::nullopt);
    EXPECT_EQ(Lookup(cut, "after"), "1");
    EXPECT_FALSE(cut.LoadedInPart());
    std::string reason;
    EXPECT_TRUE(cut.CanSave(&reason)) << reason;
    // The change is stored and the line that could not be taken stays, as
    // it stood and still not taken.
    cut.Set("new", "2");
    ASSERT_TRUE(cut.save());
    EXPECT_THAT(ReadFile(Ini()), ::testing::HasSubstr(c.line + "\n"));
    IniOptions reread{common::Path(Ini())};
    EXPECT_EQ(Lookup(reread, "new"), "2");
    EXPECT_EQ(Lookup(reread, "before"), "1");
    EXPECT_EQ(Lookup(reread, "after"), "1");
    EXPECT_EQ(Lookup(reread, "k"), std::nullopt);
    EXPECT_EQ(reread.kept(), std::vector<std::string>{c.line});
  }
}

// Whatever the reader skips is written back as it stood, stays skipped when
// read again, and a second rewrite changes nothing: the file neither loses
// nor gathers lines however often the server saves.
TEST_F(IniOptionsTest, SkippedLinesAreWrittenBackAsTheyStoodAndStaySkipped) {
  const struct {
    const char* what;
    std::string file;
    std::vector<std::string> kept;
  } cases[] = {
      {"comment lines, blank lines dropped", "# Praxis Muster\n\n[globals]\n   \n  # Rechnungen\narchive=1\n",
       {"# Praxis Muster", "  # Rechnungen"}},
      {"a line without =", "[globals]\nnot a setting\narchive=1\n", {"not a setting"}},
      {"a pair before the first header", "debug=1\n[globals]\narchive=1\n", {"debug=1"}},
      {"pairs after a broken header", "[globals]\narchive=1\n[broken\ndebug=1\n[]\nhinLogin=x\n",
       {"[broken", "debug=1", "[]", "hinLogin=x"}},
      {"Windows line ends", "# note\r\n[globals]\r\narchive=1\r\n", {"# note\r"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    IniOptions options = LoadedFrom(c.file);
    EXPECT_EQ(options.kept(), c.kept);
    const IniOptions::Sections before = options.sections();
    ASSERT_TRUE(options.save());
    const std::string once = ReadFile(Ini());
    IniOptions reread{common::Path(Ini())};
    EXPECT_EQ(reread.sections(), before) << once;
    EXPECT_EQ(reread.kept(), c.kept) << once;
    ASSERT_TRUE(reread.save());
    EXPECT_EQ(ReadFile(Ini()), once);
  }
}

TEST_F(IniOptionsTest, UnreadableFileIsNeverRewritten) {
  // A directory opens but cannot be read: the settings are unknown, not absent.
  std::filesystem::create_directory(Ini());
  IniOptions unreadable{common::Path(Ini())};
  EXPECT_TRUE(unreadable.LoadedInPart());
  std::string reason;
  EXPECT_FALSE(unreadable.CanSave(&reason));
  EXPECT_THAT(reason, ::testing::HasSubstr("could not be read"));
  unreadable.Set("x", "1");
  EXPECT_FALSE(unreadable.save());
  EXPECT_TRUE(std::filesystem::is_directory(Ini()));
  // A missing file is simply a first start.
  IniOptions missing{common::Path(dir_.Sub("absent.ini"))};
  EXPECT_FALSE(missing.LoadedInPart());
  missing.Set("x", "1");
  EXPECT_TRUE(missing.save());
}

TEST_F(IniOptionsTest, LoadAddsAndOverwritesButNeverClears) {
  IniOptions options{common::Path(Ini())};
  options.Set("mine", std::string("1"));
  options.Set("shared", std::string("old"));
  WriteFile(Ini(), "[globals]\nshared=new\ntheirs=2\n");
  options.Load();
  EXPECT_EQ(Lookup(options, "mine"), "1");
  EXPECT_EQ(Lookup(options, "shared"), "new");
  EXPECT_EQ(Lookup(options, "theirs"), "2");
}

TEST_F(IniOptionsTest, SaveRewritesTheWholeFileSorted) {
  IniOptions options = LoadedFrom("[custom]\nzeta=z\nunknown=kept # note\n# hand-written\n\nalpha=a\n");
  options.Set("Beta", std::string("B"));
  ASSERT_TRUE(options.save());
  // Keys sort byte-wise, so upper case comes first; the comment line goes
  // before the section, a comment after a pair goes.
  EXPECT_EQ(ReadFile(Ini()), "# hand-written\n[globals]\nBeta=B\nalpha=a\nunknown=kept \nzeta=z\n\n");
  IniOptions reread{common::Path(Ini())};
  EXPECT_EQ(reread.sections(), options.sections());
}

TEST_F(IniOptionsTest, FailedSaveIsReportedAndLeavesNoTrace) {
  // A directory where the file belongs makes the final rename fail.
  IniOptions blocked{common::Path(Ini())};
  std::filesystem::create_directory(Ini());
  blocked.Set("x", "1");
  EXPECT_FALSE(blocked.save());
  EXPECT_TRUE(std::filesystem::is_directory(Ini()));
  EXPECT_EQ(FilesIn(dir_.path()), std::vector<std::string>{"korvex.ini"});

  IniOptions nowhere{common::Path(dir_.Sub("missing/korvex.ini"))};
  nowhere.Set("x", "1");
  EXPECT_FALSE(nowhere.save());
}

// A change is refused before it is made when no save could store it; as
// root, whom modes do not stop, the directory must really be missing or in
// the way.
TEST_F(IniOptionsTest, CanSaveTellsWhetherASaveCouldStoreTheSettings) {
  const struct {
    const char* what;
    std::function<void()> prepare;
    const char* file;
    bool can;
  } cases[] = {
      {"file read in full", [&] { WriteFile(Ini(), "[globals]\na=1\n"); }, "korvex.ini", true},
      {"no file yet", [] {}, "korvex.ini", true},
      {"file with an overlong line", [&] { WriteFile(Ini(), "[globals]\nx=" + std::string(1100, 'x') + "\n"); },
       "korvex.ini", true},
      {"file that cannot be read", [&] { std::filesystem::create_directory(Ini()); }, "korvex.ini", false},
      {"directory missing", [] {}, "missing/korvex.ini", false},
      {"a file where the directory belongs", [&] { WriteFile(dir_.Sub("plain"), "x"); }, "plain/korvex.ini", false},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(Ini());
    c.prepare();
    IniOptions options{common::Path(dir_.Sub(c.file))};
    std::string reason;
    EXPECT_EQ(options.CanSave(&reason), c.can) << c.what;
    EXPECT_EQ(reason.empty(), c.can) << c.what << ": " << reason;
    // What CanSave promises, save keeps.
    options.Set("b", "2");
    if (c.can) {
      EXPECT_TRUE(options.save()) << c.what;
    }
  }
}

// Version n of a big settings file: every key holds the same value.
void SetVersion(IniOptions& options, int n) {
  const std::string value = std::to_string(n) + std::string(900, 'p');
  for (int key = 0; key < 300; ++key) options.Set("k" + std::to_string(1000 + key), value);
}

// Whether the file holds one complete version.
bool HoldsOneCompleteVersion(const IniOptions& options) {
  const auto globals = options.sections().find("globals");
  if (globals == options.sections().end() || globals->second.size() != 300) return false;
  for (const auto& [key, value] : globals->second) {
    if (value != globals->second.begin()->second) return false;
  }
  return true;
}

// A process killed while it saves must leave one complete version of the
// file: either the one before that save or the one after.
TEST_F(IniOptionsTest, KilledSaveNeverLeavesATruncatedFile) {
  {
    IniOptions first{common::Path(Ini())};
    SetVersion(first, 0);
    ASSERT_TRUE(first.save());
  }
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> delay_us(0, 4000);
  for (int round = 0; round < 25; ++round) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      IniOptions options{common::Path(Ini())};
      for (int n = 1;; ++n) {
        SetVersion(options, n);
        options.save();
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);

    IniOptions seen{common::Path(Ini())};
    ASSERT_TRUE(HoldsOneCompleteVersion(seen)) << "round " << round;
  }
}

}  // namespace
}  // namespace belmor::korvex
