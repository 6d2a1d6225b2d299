#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ctl.h"
#include "support/temp_dir.h"

namespace belmor::korvexctl {
namespace {

using belmor::testing::TempDir;
using belmor::testing::WriteFile;

TEST(KorvexctlCommandLine, RunWordsNameTheirMethodAndOptionsGoAnywhere) {
  const struct {
    std::vector<std::string> argv;
    std::string method;
    bool wait;
    bool json;
    std::vector<std::string> args;
    bool queue = false;
    std::optional<int> timeout = std::nullopt;
  } cases[] = {
      {{"auto"}, "Auto", false, false, {}},
      {{"auto", "--wait"}, "Auto", true, false, {}},
      {{"--json", "-w", "read"}, "Read", true, true, {}},
      {{"check"}, "Check", false, false, {}},
      {{"anonymize", "--json"}, "Anonymize", false, true, {}},
      {{"send"}, "Send", false, false, {}},
      {{"write", "--wait"}, "Write", true, false, {}},
      {{"autoone", "a.xml", "--wait"}, "AutoOne", true, false, {"a.xml"}},
      // A file whose name looks like an option.
      {{"autoone", "--", "-odd.xml"}, "AutoOne", false, false, {"-odd.xml"}},
      {{"auto", "--wait", "--queue"}, "Auto", true, false, {}, true},
      {{"-q", "autoone", "a.xml"}, "AutoOne", false, false, {"a.xml"}, true},
      {{"auto", "--wait", "--queue", "--timeout", "3600"}, "Auto", true, false, {}, true, 3600},
      {{"--timeout=5", "autoone", "a.xml"}, "AutoOne", false, false, {"a.xml"}, false, 5},
      // The number after --timeout is its value, not a file.
      {{"autoone", "--timeout", "7", "b.xml"}, "AutoOne", false, false, {"b.xml"}, false, 7},
  };
  for (const auto& c : cases) {
    const ParseResult result = ParseCommandLine(c.argv);
    ASSERT_TRUE(result.command) << c.argv.front() << ": " << result.error;
    EXPECT_EQ(result.command->verb, Verb::kRun);
    EXPECT_EQ(result.command->method, c.method);
    EXPECT_EQ(result.command->wait, c.wait) << c.method;
    EXPECT_EQ(result.command->json, c.json) << c.method;
    EXPECT_EQ(result.command->queue, c.queue) << c.method;
    EXPECT_EQ(result.command->args, c.args) << c.method;
    EXPECT_EQ(result.command->timeoutSeconds, c.timeout) << c.method;
  }
}

TEST(KorvexctlCommandLine, SettingsAndOtherCommands) {
  const struct {
    std::vector<std::string> argv;
    Verb verb;
    std::vector<std::string> args;
  } cases[] = {
      {{"get"}, Verb::kGet, {}},
      {{"get", "workDirectory"}, Verb::kGet, {"workDirectory"}},
      {{"set", "debug", "yes"}, Verb::kSet, {"debug", "yes"}},
      {{"centers"}, Verb::kCenters, {}},
      {{"logins"}, Verb::kLogins, {}},
      {{"watch"}, Verb::kWatch, {}},
      {{"cancel"}, Verb::kCancel, {}},
      {{"status", "--json"}, Verb::kStatus, {}},
      {{"--help"}, Verb::kHelp, {}},
      {{"status", "-h"}, Verb::kHelp, {}},
      {{"--version"}, Verb::kVersion, {}},
  };
  for (const auto& c : cases) {
    const ParseResult result = ParseCommandLine(c.argv);
    ASSERT_TRUE(result.command) << c.argv.front() << ": " << result.error;
    EXPECT_EQ(result.command->verb, c.verb) << c.argv.front();
    EXPECT_EQ(result.command->args, c.args) << c.argv.front();
  }
}

TEST(KorvexctlCommandLine, WrongCommandLinesAreRefusedWithAReason) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--json"},
      {"frobnicate"},
      {"Auto"},  // the words are lower case, as in every such tool
      {"auto", "extra"},
      {"autoone"},
      {"autoone", "a.xml", "b.xml"},
      {"set", "debug"},
      {"set", "debug", "true", "more"},
      {"get", "a", "b"},
      {"status", "now"},
      {"get", "--wait"},  // nothing to wait for
      {"--queue", "status"},  // nothing to queue
      {"auto", "--frob"},
      {"auto", "--timeout"},
      {"auto", "--timeout", "0"},
      {"auto", "--timeout", "-5"},
      {"auto", "--timeout", "1.5"},
      {"auto", "--timeout=soon"},
      {"auto", "--timeout="},
      {"auto", "--timeout", "99999999"},
      {"status", "--timeout", "5"},  // nothing to time out
  };
  for (const auto& argv : cases) {
    const ParseResult result = ParseCommandLine(argv);
    EXPECT_FALSE(result.command) << (argv.empty() ? "<none>" : argv.front());
    EXPECT_FALSE(result.error.empty());
  }
}

TEST(KorvexctlCommandLine, HelpNamesEveryExitStatus) {
  const std::string usage = UsageText();
  for (int code : {kExitOk, kExitFailed, kExitUsage, kExitBusy, kExitUnreachable, kExitWentAway, kExitTimedOut}) {
    EXPECT_NE(usage.find("  " + std::to_string(code) + "  "), std::string::npos) << code;
  }
  // The exit statuses are a promise to scripts: distinct and stable.
  EXPECT_EQ(kExitBusy, 3);
  EXPECT_EQ(kExitUnreachable, 4);
  EXPECT_EQ(kExitWentAway, 5);
  EXPECT_EQ(kExitTimedOut, 6);
}

// A failed call: whether the server was reached (it answered CreateInstance
// as creator) and who owns its name after the failure decide before the
// error does.
TEST(KorvexctlFailures, ReachedThenGoneIsWentAwayNeverReachedIsUnreachable) {
  const std::string noReply = "org.freedesktop.DBus.Error.NoReply";
  const std::string busy = "ch.belmor.Korvex.Error.Busy";
  const struct {
    const char* what;
    std::string error;
    std::string creator;
    std::string ownerNow;
    int status;
  } cases[] = {
      // The run call waited when the server died: the bus answers NoReply.
      {"died during the run call", noReply, ":1.7", "", kExitWentAway},
      {"replaced by another server", noReply, ":1.7", ":1.9", kExitWentAway},
      {"its object gone with it", "org.freedesktop.DBus.Error.ServiceUnknown", ":1.7", "", kExitWentAway},
      {"the bus itself gone", "org.freedesktop.DBus.Error.Disconnected", ":1.7", "", kExitWentAway},
      {"answered, then died", busy, ":1.7", "", kExitWentAway},
      // Never reached: nothing answered CreateInstance.
      {"nothing answered CreateInstance", noReply, "", "", kExitUnreachable},
      {"not activatable", "org.freedesktop.DBus.Error.ServiceUnknown", "", "", kExitUnreachable},
      {"start failed", "org.freedesktop.DBus.Error.Spawn.ChildExited", "", "", kExitUnreachable},
      {"started, died before answering", noReply, "", ":1.9", kExitUnreachable},
      // Still there: the error is the server's own answer, or it does not answer.
      {"stopped, still owns the name", "org.freedesktop.DBus.Error.Timeout", ":1.7", ":1.7", kExitUnreachable},
      {"busy", busy, ":1.7", ":1.7", kExitBusy},
      {"refused setting", "ch.belmor.Korvex.Error.InvalidArg", ":1.7", ":1.7", kExitFailed},
      {"no such member", "org.freedesktop.DBus.Error.UnknownProperty", ":1.7", ":1.7", kExitFailed},
      {"a lookalike of a bus error", "org.freedesktop.DBus.Error.NoReplyX", "", "", kExitFailed},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FailureExitStatus(c.error, c.creator, c.ownerNow), c.status) << c.what;
  }
}

TEST(KorvexctlValues, BooleansAndHomeExpansion) {
  const struct {
    const char* text;
    std::optional<bool> value;
  } booleans[] = {{"true", true}, {"YES", true}, {"1", true},  {"False", false}, {"no", false},
                  {"0", false},   {"-1", {}},    {"", {}},     {"on", {}},       {"truex", {}}};
  for (const auto& b : booleans) EXPECT_EQ(ParseBool(b.text), b.value) << b.text;

  EXPECT_EQ(ExpandHome("~/Rechnungen-Arbeit", "/home/praxis"), "/home/praxis/Rechnungen-Arbeit");
  EXPECT_EQ(ExpandHome("~/x", "/home/praxis/"), "/home/praxis/x");
  EXPECT_EQ(ExpandHome("~", "/home/praxis"), "/home/praxis");
  EXPECT_EQ(ExpandHome("~other/x", "/home/praxis"), "~other/x");
  EXPECT_EQ(ExpandHome("/data/~/x", "/home/praxis"), "/data/~/x");
  EXPECT_EQ(ExpandHome("~/x", ""), "~/x");

  const struct {
    const char* text;
    const char* cwd;
    const char* sent;
  } directories[] = {
      {"Rechnungen", "/home/praxis", "/home/praxis/Rechnungen"},
      {"./in/../Rechnungen/", "/home/praxis/", "/home/praxis/./in/../Rechnungen/"},
      {"~/Rechnungen", "/srv", "/home/praxis/Rechnungen"},
      {"/srv/Rechnungen", "/home/praxis", "/srv/Rechnungen"},
      // Left for the server, which says why it refuses them.
      {"C:\\Rechnungen", "/home/praxis", "C:\\Rechnungen"},
      {"\\\\server\\share", "/home/praxis", "\\\\server\\share"},
      {"Rechnungen", "", "Rechnungen"},
      {"", "/home/praxis", ""},
  };
  for (const auto& d : directories)
    EXPECT_EQ(AbsoluteDirectory(d.text, "/home/praxis", d.cwd), d.sent) << d.text << " in " << d.cwd;
}

TEST(KorvexctlOutput, LinesReadLikeTheMonitorsMessageList) {
  const struct {
    Report report;
    const char* language;
    const char* line;
  } cases[] = {
      // A step's start and completion stand out; everything else is indented.
      {{1, 2, 0, 0, "", "Einlesen gestartet"}, "de", "INFO: Einlesen gestartet"},
      {{1, 2, 4, 1, "", "Senden/Empfangen abgeschlossen: 2 kopiert, 0 fehlerhafte Rechnungsdateien"},
       "de",
       "INFO: Senden/Empfangen abgeschlossen: 2 kopiert, 0 fehlerhafte Rechnungsdateien"},
      {{1, 2, 0, 2, "a.xml", "Datei erfolgreich kopiert"}, "de", "    INFO: a.xml: Datei erfolgreich kopiert"},
      {{2, 2, 1, 4, "", "Keine Datei gefunden"}, "de", "    WARNUNG: Keine Datei gefunden"},
      {{3, 2, 4, 17, "b.xml", "Übermittlung fehlgeschlagen"}, "de", "    FEHLER: b.xml: Übermittlung fehlgeschlagen"},
      // A failed step's completion is an error line, indented like any other.
      {{3, 2, 0, 1, "", "Einlesen abgeschlossen: 0 kopiert, 0 fehlerhafte Rechnungsdateien"},
       "de",
       "    FEHLER: Einlesen abgeschlossen: 0 kopiert, 0 fehlerhafte Rechnungsdateien"},
      {{4, 0, 0, 13, "", "Permission denied"}, "de", "    SYSTEM FATALER FEHLER: Permission denied"},
      {{2, 1, 4, 0, "", "ASAS läuft nicht..."}, "de", "    ASAS WARNUNG: ASAS läuft nicht..."},
      {{1, 3, 0, 4, "", "4 Dateien werden bearbeitet"}, "de", "    INFO: 4 Dateien werden bearbeitet"},
      {{0, 2, 4, 0, "c.xml", "Download for file started"}, "de", "    DEBUG: c.xml: Download for file started"},
      {{3, 2, 4, 17, "b.xml", "Transmission échouée"}, "fr", "    ERREUR: b.xml: Transmission échouée"},
      {{2, 2, 1, 4, "", "x"}, "fr", "    ATTENTION: x"},
      {{4, 2, 1, 7, "", "x"}, "fr", "    ERREUR FATALE: x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatReportLine(c.report, c.language, false), c.line);
  }
}

TEST(KorvexctlOutput, ColourMarksTheLevelWordOnlyOnATerminalWithoutNoColor) {
  const Report error{3, 2, 4, 17, "b.xml", "Übermittlung fehlgeschlagen"};
  const std::string coloured = FormatReportLine(error, "de", true);
  EXPECT_EQ(coloured, "    \033[1;31mFEHLER\033[0m: b.xml: Übermittlung fehlgeschlagen");
  EXPECT_EQ(FormatReportLine({2, 2, 1, 4, "", "x"}, "de", true), "    \033[33mWARNUNG\033[0m: x");

  EXPECT_TRUE(UseColour(true, nullptr));
  EXPECT_TRUE(UseColour(true, ""));  // NO_COLOR only counts when it has a value
  EXPECT_FALSE(UseColour(true, "1"));
  EXPECT_FALSE(UseColour(false, nullptr));
}

// A file name or a text may carry what a terminal takes for commands (a new
// window title, a cleared screen); the text output shows it instead.
TEST(KorvexctlOutput, ControlCharactersInNamesAndTextsAreShownNotObeyed) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"\x1b]0;owned\x07\x1b[2J.xml", "\\x1b]0;owned\\x07\\x1b[2J.xml"},
      {std::string("a\0b\tc\nd\re", 9), "a\\x00b\\x09c\\x0ad\\x0de"},
      {"del\x7f", "del\\x7f"},
      {"\xc2\x9b" "31m", "\\xc2\\x9b31m"},      // C1 CSI as UTF-8
      {"\x9b" "31m", "\\x9b31m"},                // C1 CSI as one byte
      {"C:\\Praxis\\x41.xml", "C:\\\\Praxis\\\\x41.xml"},  // reads back unambiguously
      // Letters stay: ü, €, an emoji, a Latin-1 ü on disk, U+00A0.
      {"R\xc3\xbc \xe2\x82\xac \xf0\x9f\x98\x80 \xfc \xc2\xa0", "R\xc3\xbc \xe2\x82\xac \xf0\x9f\x98\x80 \xfc \xc2\xa0"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeText(c.in), c.out) << c.out;

  // In a report line the names are escaped, korvexctl's own colour is not.
  const Report report{3, 2, 4, 17, "\x1b[2Jb.xml", "Fehler\x1b]0;x\x07"};
  EXPECT_EQ(FormatReportLine(report, "de", true), "    \033[1;31mFEHLER\033[0m: \\x1b[2Jb.xml: Fehler\\x1b]0;x\\x07");
}

TEST(KorvexctlOutput, JsonCarriesEveryFieldWithItsName) {
  const Report report{3, 2, 4, 17, "b \"x\".xml", "Übermittlung\tfehlgeschlagen\n"};
  EXPECT_EQ(ReportJson(report),
            "{\"level\":3,\"levelName\":\"mlError\",\"class\":2,\"className\":\"mcModule\","
            "\"origin\":4,\"originName\":\"moPSender\",\"code\":17,\"file\":\"b \\\"x\\\".xml\","
            "\"message\":\"Übermittlung\\tfehlgeschlagen\\n\"}");
  // Values outside the enumerations keep their number and have no name.
  EXPECT_EQ(ReportJson({7, 9, -1, 0, "", ""}),
            "{\"level\":7,\"levelName\":\"\",\"class\":9,\"className\":\"\",\"origin\":-1,"
            "\"originName\":\"\",\"code\":0,\"file\":\"\",\"message\":\"\"}");
  const struct {
    std::string in;
    std::string out;
  } names[] = {{"mlDebug", "mlDebug"}, {LevelName(4), "mlFatal"}, {ClassName(3), "mcCount"},
               {OriginName(0), "moPReader"}, {OriginName(8), "moPWriter"}, {OriginName(7), "moPDownloader"}};
  for (const auto& n : names) EXPECT_EQ(n.in, n.out);
}

TEST(KorvexctlOutput, JsonStringsAreAlwaysValidUtf8) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"\xc3\xbc", "\"\xc3\xbc\""},                 // ü kept
      {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},  // four bytes kept
      {"a\xfc" "b", "\"a\xef\xbf\xbd" "b\""},         // a Latin-1 file name on disk
      {"\xc3", "\"\xef\xbf\xbd\""},                  // cut short
      {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},   // overlong
      {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},  // surrogate
      {std::string("\x01\x1f\\", 3), "\"\\u0001\\u001f\\\\\""},
      // Every control character, DEL and C1 (U+009B is a terminal's CSI) too.
      {"\x1b]0;x\x07\x7f\xc2\x9b" "2J", "\"\\u001b]0;x\\u0007\\u007f\\u009b2J\""},
  };
  for (const auto& c : cases) EXPECT_EQ(JsonString(c.in), c.out);
}

TEST(KorvexctlRun, EndsAtTheCompletionOfTheLastStepOfItsMethod) {
  // The completion reports of an Auto run, in the order the steps make them.
  const std::vector<Report> autoRun = {
      {1, 2, 0, 0, "", "Einlesen gestartet"},
      {1, 2, 0, 1, "", "Einlesen abgeschlossen"},
      {1, 2, 1, 1, "", "Überprüfen abgeschlossen"},
      {1, 2, 2, 1, "", "Anonymisieren abgeschlossen"},
      {1, 2, 7, 1, "", "Empfang abgeschlossen"},  // the download, inside the send step
      {1, 2, 4, 1, "", "Senden/Empfangen abgeschlossen"},
  };
  const struct {
    const char* method;
    size_t endsAfter;  // index of the report that ends the run
  } cases[] = {{"Auto", 5}, {"AutoOne", 5}, {"Send", 5}, {"Read", 1}, {"Check", 2}, {"Anonymize", 3}};
  for (const auto& c : cases) {
    RunFollower follower(c.method);
    for (size_t i = 0; i < autoRun.size(); ++i) {
      follower.Add(autoRun[i]);
      EXPECT_EQ(follower.Finished(), i >= c.endsAfter) << c.method << " after report " << i;
    }
    EXPECT_EQ(follower.ExitStatus(), kExitOk) << c.method;
  }
  RunFollower write("Write");
  write.Add({1, 2, 8, 0, "", "Auslesen gestartet"});
  write.Add({1, 3, 8, 1, "", "1 Dateien werden bearbeitet"});  // a count of one is not the end
  EXPECT_FALSE(write.Finished());
  write.Add({1, 2, 8, 1, "", "Auslesen abgeschlossen"});
  EXPECT_TRUE(write.Finished());
}

TEST(KorvexctlRun, AnErrorAnywhereInTheRunFailsIt) {
  const struct {
    Report report;
    int status;
  } cases[] = {
      {{2, 2, 0, 4, "", "Keine Datei gefunden"}, kExitOk},  // a warning is no error
      {{3, 2, 4, 17, "b.xml", "Übermittlung fehlgeschlagen"}, kExitFailed},
      {{4, 2, 0, 7, "", "Basisverzeichnis ungültig"}, kExitFailed},
      {{3, 1, 4, 0, "", "ASAS"}, kExitFailed},
      {{9, 0, 0, 0, "", "odd level"}, kExitFailed},
  };
  for (const auto& c : cases) {
    RunFollower follower("Auto");
    follower.Add({1, 2, 0, 0, "", "Einlesen gestartet"});
    follower.Add(c.report);
    follower.Add({1, 2, 4, 1, "", "Senden/Empfangen abgeschlossen"});
    EXPECT_TRUE(follower.Finished());
    EXPECT_EQ(follower.ExitStatus(), c.status) << c.report.message;
  }
  // A failed step reports its completion as an error: the run ends, failed.
  RunFollower read("Read");
  read.Add({3, 2, 0, 1, "", "Einlesen abgeschlossen: 0 kopiert, 0 fehlerhafte Rechnungsdateien"});
  EXPECT_TRUE(read.Finished());
  EXPECT_EQ(read.ExitStatus(), kExitFailed);
  // Reports after the end belong to another run.
  read.Add({3, 2, 0, 1, "", "x"});
  RunFollower clean("Read");
  clean.Add({1, 2, 0, 1, "", "done"});
  clean.Add({3, 2, 0, 3, "x.xml", "later run"});
  EXPECT_EQ(clean.ExitStatus(), kExitOk);
}

TEST(KorvexctlStatus, CountsTheInvoicesAStepWouldTake) {
  TempDir dir;
  WriteFile(dir.Sub("a.xml"), "<a/>");
  WriteFile(dir.Sub("B.XML"), "<b/>");
  WriteFile(dir.Sub("c.pdf"), "%PDF");
  WriteFile(dir.Sub(".kx-tmp-d.xml"), "half");  // an unfinished write
  WriteFile(dir.Sub("sub.xml/inner.xml"), "<x/>");  // a directory is no invoice
  WriteFile(dir.Sub("xml"), "no extension");
  ASSERT_EQ(::symlink(dir.Sub("a.xml").c_str(), dir.Sub("link.xml").c_str()), 0);
  EXPECT_EQ(CountInvoiceFiles(dir.path()), 3);
  EXPECT_EQ(CountInvoiceFiles(dir.Sub("missing")), std::nullopt);
  EXPECT_EQ(CountInvoiceFiles(""), std::nullopt);
}

TEST(KorvexctlStatus, PlacesFollowTheWorkAreaLayout) {
  TempDir root;
  const std::string work = root.Sub("work");
  WriteFile(root.Sub("invoices/1.xml"), "x");
  WriteFile(root.Sub("invoices/2.xml"), "x");
  WriteFile(work + "/input/3.xml", "x");
  WriteFile(work + "/valid/4.xml", "x");
  WriteFile(work + "/output/5.xml", "x");
  WriteFile(work + "/output/6.xml", "x");
  WriteFile(work + "/err/2026-12-10/7.xml", "x");
  WriteFile(work + "/err/2026-12-09/old.xml", "yesterday's errors are not today's");
  WriteFile(work + "/responses/r.xml", "x");
  WriteFile(work + "/archive/2026-12-10/sent.xml", "archived, not waiting");
  // Held on an earlier day: it counts until the practice removes it.
  WriteFile(work + "/korvex.pending", "kxpj-1\r\nH|1|" + std::string(64, 'a') + "|old.xml|err/2026-12-09/old.xml\r\n");

  const std::vector<Place> places = WaitingPlaces(root.Sub("invoices"), work + "/", "2026-12-10");
  const std::vector<std::pair<std::string, std::optional<int>>> expected = {
      {"invoices", 2}, {"workInput", 1},  {"workValid", 1}, {"workOutput", 2},
      {"errorsToday", 1}, {"responses", 1}, {"unknown", 1}};
  ASSERT_EQ(places.size(), expected.size());
  for (size_t i = 0; i < places.size(); ++i) {
    EXPECT_EQ(places[i].key, expected[i].first);
    EXPECT_EQ(places[i].count, expected[i].second) << places[i].key;
  }
  EXPECT_EQ(places[1].path, work + "/input");
  EXPECT_EQ(places[4].path, work + "/err/2026-12-10");
  EXPECT_EQ(places[6].files, std::vector<std::string>{work + "/err/2026-12-09/old.xml"});

  // No work directory set: nothing to count there, and no path made up.
  for (const Place& place : WaitingPlaces("", "", "")) {
    EXPECT_EQ(place.count, std::nullopt) << place.key;
    EXPECT_EQ(place.path, "") << place.key;
  }
}

// The server's journal of uploads, written here by hand.
TEST(KorvexctlStatus, HeldInvoicesAreTheUploadsWhoseLatestRecordIsHeld) {
  const std::string a(64, 'a');
  const std::string b(64, 'b');
  const std::string c = "0123456789ABCDEF" + std::string(48, 'c');
  const std::string journal =
      "kxpj-1\r\n"
      "P|1765400000|" + a + "|praxis-1201.xml\r\n"
      "H|1765400060|" + a + "|praxis-1201.xml|err/2026-12-11/praxis-1201.xml\r\n"
      // Line ends of LF alone; a name with "|" and "%" in it.
      "P|1765400100|" + b + "|50%25%7Cx.xml\n"
      "H|1765400160|" + b + "|50%25%7Cx.xml|err/2026-12-11/50%25%7Cx.xml\n"
      // Held, then sent after all: its latest record decides.
      "H|1765400200|" + c + "|resent.xml|err/2026-12-10/resent.xml\r\n"
      "S|1765400300|" + c + "|resent.xml\r\n"
      // Skipped: a kind of a later version, and malformed lines.
      "X|1765400400|" + a + "|future.xml|err/x.xml\r\n"
      "H|soon|" + a + "|bad-time.xml|err/bad-time.xml\r\n"
      "H|1|abc|short-hash.xml|err/short-hash.xml\r\n"
      "H|1|" + a + "|no-path.xml\r\n"
      "H|1|" + a + "|up.xml|err/../../etc/passwd\r\n"
      "H|1|" + a + "|absolute.xml|/etc/passwd\r\n"
      "H|1|" + a + "|extra.xml|err/extra.xml|more\r\n"
      "\r\n"
      "garbage\r\n"
      // The same file held again by a second record is listed once.
      "H|1765400500|" + a + "|praxis-1201.xml|err/2026-12-11/praxis-1201.xml\r\n";
  EXPECT_EQ(HeldInPendingJournal(journal),
            (std::vector<std::string>{"err/2026-12-11/praxis-1201.xml", "err/2026-12-11/50%|x.xml"}));
  EXPECT_EQ(HeldInPendingJournal("kxpj-2\r\nH|1|" + a + "|x.xml|err/x.xml\r\n"), std::vector<std::string>{});
  EXPECT_EQ(HeldInPendingJournal(""), std::vector<std::string>{});

  // On disk, a held invoice counts while its file is there.
  TempDir work;
  WriteFile(work.Sub("korvex.pending"), journal);
  WriteFile(work.Sub("err/2026-12-11/50%|x.xml"), "<held/>");
  EXPECT_EQ(HeldInvoices(work.path() + "/"), std::vector<std::string>{work.Sub("err/2026-12-11/50%|x.xml")});

  // No journal: nothing was ever uploaded. A foreign one or none to read: unknown.
  TempDir fresh;
  EXPECT_EQ(HeldInvoices(fresh.path()), std::vector<std::string>{});
  WriteFile(fresh.Sub("korvex.pending"), "kxdl-1.1\r\n");
  EXPECT_EQ(HeldInvoices(fresh.path()), std::nullopt);
  EXPECT_EQ(HeldInvoices(""), std::nullopt);
}

TEST(KorvexctlStatus, TextShowsHeldFilesBelowTheirPlaceAndEscapesEveryName) {
  StatusInfo status;
  status.trustCenter = "TC\x1b]0;x\x07";
  status.hinLogin = "";
  status.runActive = false;
  status.session = "2026-12-11";
  status.outputDirectory = "/home/praxis/Antworten";
  status.places = {
      {"workOutput", "work output (to send)", "/w/output", 2, {}},
      {"errorsToday", "errors today", "/w/err/2026-12-11", std::nullopt, {}},
      {"unknown", "Outcome unknown (any day)", "/w/korvex.pending", 2,
       {"/w/err/2026-12-10/a.xml", "/w/err/2026-12-11/\x1b[2Jb.xml"}},
  };
  EXPECT_EQ(StatusText(status),
            "Trust center:  TC\\x1b]0;x\\x07\n"
            "HIN login:     (none)\n"
            "Run active:    no\n"
            "Responses to:  /home/praxis/Antworten\n"
            "Waiting files:\n"
            "  work output (to send)             2  /w/output\n"
            "  errors today                      -  /w/err/2026-12-11\n"
            "  Outcome unknown (any day)         2  /w/korvex.pending\n"
            "      /w/err/2026-12-10/a.xml\n"
            "      /w/err/2026-12-11/\\x1b[2Jb.xml\n");
  EXPECT_EQ(StatusJson(status),
            "{\"trustCenter\":\"TC\\u001b]0;x\\u0007\",\"hinLogin\":\"\",\"runActive\":false,"
            "\"session\":\"2026-12-11\",\"outputDirectory\":\"/home/praxis/Antworten\",\"places\":["
            "{\"place\":\"workOutput\",\"path\":\"/w/output\",\"count\":2},"
            "{\"place\":\"errorsToday\",\"path\":\"/w/err/2026-12-11\",\"count\":null},"
            "{\"place\":\"unknown\",\"path\":\"/w/korvex.pending\",\"count\":2,\"files\":["
            "\"/w/err/2026-12-10/a.xml\",\"/w/err/2026-12-11/\\u001b[2Jb.xml\"]}]}");
}

TEST(KorvexctlStatus, TheDayStampNamesTheLocalDay) {
  std::tm day{};
  day.tm_year = 2026 - 1900;
  day.tm_mon = 2;
  day.tm_mday = 5;
  day.tm_hour = 23;
  day.tm_min = 59;
  day.tm_isdst = -1;
  EXPECT_EQ(DayStamp(std::mktime(&day)), "2026-03-05");
}

std::string ProcLocks() {
  std::ifstream in("/proc/locks");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(KorvexctlStatus, SeesAHeldStepLockWithoutTakingIt) {
  TempDir dir;
  const std::string file = dir.Sub("kxStSem");
  WriteFile(file, "");
  WriteFile(dir.Sub("other"), "");
  EXPECT_EQ(FlockHeld(file, ProcLocks()), false);

  const int other = ::open(dir.Sub("other").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX), 0);
  EXPECT_EQ(FlockHeld(file, ProcLocks()), false);  // another file's lock

  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  EXPECT_EQ(FlockHeld(file, ProcLocks()), true);
  // Looking took nothing: another holder is still refused, not granted.
  const int second = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_NE(::flock(second, LOCK_EX | LOCK_NB), 0);
  ::close(second);
  ::close(fd);
  ::close(other);
  EXPECT_EQ(FlockHeld(file, ProcLocks()), false);
  // No run has ever taken the lock there.
  EXPECT_EQ(FlockHeld(dir.Sub("missing"), ProcLocks()), false);
}

}  // namespace
}  // namespace belmor::korvexctl
