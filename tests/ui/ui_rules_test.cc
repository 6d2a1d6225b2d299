// The monitor's rules for reports, without a server: how the progress bar
// counts, how a report reads in the message list, when the run buttons lock,
// and the string table's languages.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDateTime>
#include <vector>

#include "logging/report.h"
#include "platform/scoped_env.h"
#include "ui/activity_monitor.h"
#include "ui/list_box_event_receiver.h"
#include "ui/prog_bar.h"
#include "ui/session_log_lines.h"
#include "ui/strings.h"

namespace belmor::korvex::ui {
namespace {

using belmor::testing::ScopedEnv;

Report Module(int32_t level, int32_t origin, int32_t code, const QString& file = QString()) {
  return Report{level, mcModule, origin, code, file, "text"};
}
Report Count(int32_t origin, int32_t files) { return Report{mlInfo, mcCount, origin, files, QString(), "n"}; }

TEST(ProgBarCounts, EachFileCountsOnceAndNeverBeyondTheAnnouncement) {
  ProgBarCounts bar;
  bar.Handle(Module(mlInfo, moPChecker, 0));
  bar.Handle(Count(moPChecker, 4));
  const struct {
    const char* file;
    int done;
  } steps[] = {
      {"a.xml", 1}, {"a.xml", 1},                // the same file twice in a row counts once
      {"b.xml", 2}, {"a.xml", 3},                // after another name it counts again
      {"", 3},                                   // a report without a file does not count
      {"c.xml", 4}, {"d.xml", 4}, {"e.xml", 4},  // 4 announced, 6 reported
  };
  for (const auto& step : steps) {
    bar.Handle(Module(mlInfo, moPChecker, 2, step.file));
    EXPECT_EQ(bar.At(1).done, step.done) << step.file;
    EXPECT_EQ(bar.At(1).total, 4);
  }
  bar.Handle(Module(mlInfo, moPChecker, 1));
  EXPECT_EQ(bar.At(1).done, 1);
  EXPECT_EQ(bar.At(1).total, 1);
  // Debug reports and origins without a segment change nothing.
  EXPECT_EQ(bar.Handle(Module(mlDebug, moPChecker, 0)), ProgBarCounts::Repaint::None);
  EXPECT_EQ(bar.Handle(Module(mlInfo, moPDownloader, 0)), ProgBarCounts::Repaint::None);
  EXPECT_EQ(bar.Current(), 1);
}

TEST(ProgBarCounts, AnErrorMarksTheWorkingStepUntilItStartsAgain) {
  ProgBarCounts bar;
  bar.Handle(Module(mlInfo, moPSender, 0));
  // The error of a response download (its own origin) marks the send step,
  // the one that works.
  bar.Handle(Module(mlError, moPDownloader, 17, "answer.xml"));
  EXPECT_TRUE(bar.At(3).failed);
  EXPECT_FALSE(bar.At(0).failed);
  bar.Handle(Module(mlInfo, moPSender, 1));
  EXPECT_TRUE(bar.At(3).failed);
  bar.Handle(Module(mlInfo, moPSender, 0));
  EXPECT_FALSE(bar.At(3).failed);
  EXPECT_EQ(bar.At(3).done, 0);
  EXPECT_EQ(bar.At(3).total, 1);
}

TEST(ProgBarCounts, ACountStartsItsStepAndEveryLaterOneAfresh) {
  ProgBarCounts bar;
  for (int32_t origin : {moPReader, moPChecker, moPAnonymizer, moPSender, moPWriter}) {
    bar.Handle(Module(mlInfo, origin, 0));
    bar.Handle(Module(mlFatal, origin, 9));
    bar.Handle(Module(mlInfo, origin, 1));
  }
  bar.Handle(Count(moPChecker, 7));
  EXPECT_EQ(bar.At(0).done, 1);
  EXPECT_TRUE(bar.At(0).failed);
  EXPECT_EQ(bar.At(1).total, 7);
  for (int segment = 1; segment < 5; ++segment) {
    EXPECT_EQ(bar.At(segment).done, 0);
    EXPECT_FALSE(bar.At(segment).failed);
    if (segment > 1) {
      EXPECT_EQ(bar.At(segment).total, 0);
    }
  }
  // A count from the read step clears the whole bar.
  bar.Handle(Count(moPReader, 3));
  EXPECT_EQ(bar.At(0).done, 0);
  EXPECT_FALSE(bar.At(0).failed);
  EXPECT_EQ(bar.At(1).total, 0);
}

TEST(ProgBarCounts, TheCountOfInvoicesLeftWaitingDoesNotReopenItsStep) {
  ProgBarCounts bar;
  bar.Handle(Module(mlInfo, moPSender, 0));
  bar.Handle(Count(moPSender, 3));
  bar.Handle(Module(mlError, moPSender, 16));
  bar.Handle(Module(mlInfo, moPSender, 1));
  // After the step's end: the invoices it left for the next run.
  EXPECT_EQ(bar.Handle(Count(moPSender, 3)), ProgBarCounts::Repaint::None);
  EXPECT_EQ(bar.At(3).done, 1);
  EXPECT_EQ(bar.At(3).total, 1);
  EXPECT_TRUE(bar.At(3).failed);
  // The next send step's announcement counts again.
  bar.Handle(Module(mlInfo, moPSender, 0));
  bar.Handle(Count(moPSender, 2));
  EXPECT_EQ(bar.At(3).done, 0);
  EXPECT_EQ(bar.At(3).total, 2);
}

TEST(MessageLine, ReadsLikeTheMonitorsList) {
  SetLanguage(Language::German);
  const struct {
    Report report;
    const char* line;  // nullptr: no line
  } cases[] = {
      {{mlInfo, mcModule, moPReader, 0, "", "Einlesen gestartet"}, "Einlesen gestartet"},
      {{mlInfo, mcModule, moPReader, 1, "", "Einlesen abgeschlossen"}, "Einlesen abgeschlossen"},
      {{mlInfo, mcModule, moPReader, 2, "a.xml", "Datei kopiert"}, "    a.xml: Datei kopiert"},
      {{mlWarning, mcModule, moPReader, 0, "", "Start"}, "    WARNUNG: Start"},
      {{mlError, mcModule, moPSender, 12, "a.xml", "Doppelte Rechnung"}, "    FEHLER: a.xml: Doppelte Rechnung"},
      {{mlFatal, mcModule, moPSender, 1, "", "Abbruch"}, "    FATALER FEHLER: Abbruch"},
      {{mlError, mcSystem, moPSender, 5, "", "Zugriff verweigert"}, "    SYSTEM FEHLER: Zugriff verweigert"},
      {{mlInfo, mcAsas, moPSender, 0, "", "Login"}, nullptr},
      {{mlDebug, mcAsas, moPSender, 0, "", "Login"}, nullptr},
      {{mlWarning, mcAsas, moPSender, 0, "", "Login bald ungültig"}, "    ASAS WARNUNG: Login bald ungültig"},
      {{mlInfo, mcCount, moPReader, 5, "", "5 Dateien"}, nullptr},
      {{mlInfo, 7, moPReader, 0, "", "Anderes"}, "    Anderes"},
  };
  for (const auto& c : cases) {
    const std::optional<QString> line = MessageLine(c.report);
    if (!c.line) {
      EXPECT_FALSE(line.has_value()) << c.report.message.toStdString();
    } else {
      ASSERT_TRUE(line.has_value()) << c.line;
      EXPECT_EQ(line->toStdString(), c.line);
    }
  }
  SetLanguage(Language::French);
  EXPECT_EQ(MessageLine({mlError, mcModule, moPSender, 12, "a.xml", "Facture double"})->toStdString(),
            "    ERREUR: a.xml: Facture double");
  EXPECT_EQ(MessageLine({mlWarning, mcAsas, moPSender, 0, "", "x"})->toStdString(), "    ASAS ATTENTION: x");
  SetLanguage(Language::German);
}

TEST(ActivityMonitor, AStepLocksTheButtonsAndAnAutoRunKeepsThemLockedToTheSendStep) {
  KorvexEventsHandler events;
  std::vector<bool> calls;
  ActivityMonitor monitor(events, [&](bool enable) { calls.push_back(enable); });
  events.Dispatch(Module(mlInfo, moPReader, 0));
  events.Dispatch(Module(mlInfo, moPReader, 2, "a.xml"));
  events.Dispatch(Module(mlInfo, moPReader, 1));
  EXPECT_EQ(calls, (std::vector<bool>{false, true}));

  calls.clear();
  monitor.Await(moPSender);
  for (int32_t origin : {moPReader, moPChecker, moPAnonymizer}) {
    events.Dispatch(Module(mlInfo, origin, 0));
    events.Dispatch(Module(mlInfo, origin, 1));
  }
  events.Dispatch(Module(mlInfo, moPSender, 0));
  // The send step announcing one file: a count, not its completion.
  events.Dispatch(Count(moPSender, 1));
  EXPECT_TRUE(calls.empty());
  events.Dispatch(Module(mlInfo, moPSender, 1));
  EXPECT_EQ(calls, (std::vector<bool>{true}));
  EXPECT_EQ(monitor.Awaited(), -1);
}

TEST(KorvexEventsHandler, TheReceiverHookedLastHearsFirst) {
  KorvexEventsHandler events;
  std::vector<int> order;
  struct Recorder : EventReceiver {
    Recorder(KorvexEventsHandler& h, std::vector<int>& o, int n) : EventReceiver(h), order(o), id(n) {}
    void OnEvent(const Report&) override { order.push_back(id); }
    std::vector<int>& order;
    int id;
  };
  Recorder list(events, order, 1);
  {
    Recorder bar(events, order, 2);
    Recorder activity(events, order, 3);
    events.Dispatch(Report{});
  }
  events.Dispatch(Report{});
  EXPECT_EQ(order, (std::vector<int>{3, 2, 1, 1}));
}

TEST(SessionLogLine, FieldsBecomeTheViewersWordsTheSameInEveryLanguage) {
  const QString clock = QDateTime::fromSecsSinceEpoch(1796900000).time().toString("hh:mm:ss");
  const struct {
    const char* line;
    const char* file;  // the viewer's invoice, "" for a whole log
    const char* shown;  // nullptr: not shown
  } cases[] = {
      {"1796900000|1|2|0|2|a.xml|Datei kopiert\r\n", "", " READ MODU INFO a.xml: Datei kopiert"},
      {"1796900000|4|0|8|9|a.xml|Ende", "a.xml", " WRIT SYST FATALER FEHLER a.xml: Ende"},
      {"1796900000|7|5|9|0|a.xml|x", "", " ???? ???? ???? a.xml: x"},
      {"1796900000abc|3x|1|3|0|a.xml|x\r\n", "", " ENCR ASAS FEHLER a.xml: x"},
      {"1796900000|2|2|5|0|a.xml|erster|zweiter\r\n", "", " IGRE MODU WARNUNG a.xml: erster"},
      {"1796900000|1|2|6|0|\xfc.xml|\xfc" "bermittelt\r\n", "", " IGCH MODU INFO \u00fc.xml: \u00fcbermittelt"},
      {"1796900000|1|2|0|1||Einlesen abgeschlossen\r\n", "", nullptr},
      {"KXP: Korvex Ordiva V 5.0.3 / Debian\r\n", "", nullptr},
      {"1796900000|1|2|0|2|b.xml|Datei kopiert\r\n", "a.xml", nullptr},
      {"1796900000|1|2|0|2|a.xml.bak|Datei kopiert\r\n", "a.xml", nullptr},
  };
  SetLanguage(Language::French);
  for (const auto& c : cases) {
    const std::optional<QString> shown = SessionLogLine(QByteArray(c.line), QString::fromUtf8(c.file));
    if (!c.shown) {
      EXPECT_FALSE(shown.has_value()) << c.line;
    } else {
      ASSERT_TRUE(shown.has_value()) << c.line;
      EXPECT_EQ(shown->toStdString(), (clock + QString::fromUtf8(c.shown)).toStdString());
    }
  }
  SetLanguage(Language::German);
}

TEST(Strings, FrenchForAFrenchLocaleGermanOtherwise) {
  const struct {
    const char* all;
    const char* messages;
    const char* lang;
    Language expected;
  } cases[] = {
      {"", "", "fr_CH.UTF-8", Language::French},
      {"", "", "de_CH.UTF-8", Language::German},
      {"", "fr_FR.UTF-8", "de_CH", Language::French},
      {"de_CH", "fr_FR", "fr_FR", Language::German},
      {"", "", "", Language::German},
      {"", "", "C.UTF-8", Language::German},
  };
  for (const auto& c : cases) {
    ScopedEnv all("LC_ALL", c.all);
    ScopedEnv messages("LC_MESSAGES", c.messages);
    ScopedEnv lang("LANG", c.lang);
    EXPECT_EQ(UserLanguage(), c.expected) << c.all << "|" << c.messages << "|" << c.lang;
  }
  EXPECT_EQ(Text(124, Language::German), "Senden/Empfangen");
  EXPECT_EQ(Text(124, Language::French), "Envoyer/Recevoir");
  EXPECT_EQ(Text(119, Language::French), "Voulez vous vraiment envoyer des factures à '%s'?");
  EXPECT_EQ(Text(140, Language::German), "Arzt:\r\n");
  EXPECT_TRUE(Text(999).isEmpty());
}

}  // namespace
}  // namespace belmor::korvex::ui
