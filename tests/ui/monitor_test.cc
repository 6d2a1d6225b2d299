// The monitor against the real server on a private session bus, with the
// test trust center: real runs started from the window, other clients beside
// it, the server killed under it, and the program itself started twice or
// without a server.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "logging/report.h"
#include "platform/scoped_env.h"
#include "support/private_bus.h"
#include "support/temp_dir.h"
#include "support/trust_center_sim.h"
#include "ui/info_page.h"
#include "ui/main_window.h"
#include "ui/monitor_fixture.h"
#include "ui/notifier.h"
#include "ui/overview_page.h"
#include "ui/server_link.h"
#include "ui/single_instance.h"
#include "ui/strings.h"

namespace belmor::korvex::ui {
namespace {

namespace fs = std::filesystem;
using belmor::korvex::e2e::Practice;
using belmor::korvex::e2e::ShippedConfigDir;
using belmor::testing::Child;
using belmor::testing::PrivateBus;
using belmor::testing::ReadFile;
using belmor::testing::RunTool;
using belmor::testing::ScopedEnv;
using belmor::testing::TempDir;
using belmor::testing::TrustCenterSim;
using belmor::testing::WriteFile;
using ::testing::HasSubstr;

TEST_F(MonitorTest, AnAutoRunLocksTheButtonsFromTheClickToTheSendStepsCompletion) {
  AddInvoices(3);
  StartMonitor();
  int asked = 0;
  Page().SetConfirm([&](const QString&) { return ++asked, true; });
  ASSERT_TRUE(RunButtonsEnabled());
  QTest::mouseClick(Page().RunButton(0), Qt::LeftButton);
  EXPECT_TRUE(RunButtonsDisabled());
  ASSERT_TRUE(Eventually([&] { return recorder_->Completed(moPSender); }));
  // Only an esr of "69" asks before invoices go out.
  EXPECT_EQ(asked, 0);
  // Locked through every report up to the send step's completion, which
  // unlocked them; the steps between did not.
  bool seenSendEnd = false;
  for (const Recorder::Entry& e : recorder_->entries) {
    const bool sendEnd = e.report.mclass == mcModule && e.report.origin == moPSender && e.report.code == 1;
    seenSendEnd = seenSendEnd || sendEnd;
    EXPECT_EQ(e.buttonsEnabled, seenSendEnd) << e.report.message.toStdString();
  }
  EXPECT_TRUE(RunButtonsEnabled());
  // Start and completion lines flush left, the files indented, the newest
  // line selected.
  EXPECT_TRUE(HasLine("Einlesen gestartet"));
  EXPECT_THAT(Lines(), ::testing::Contains("Einlesen gestartet"));
  EXPECT_THAT(Lines(), ::testing::Contains(::testing::StartsWith("Senden/Empfangen abgeschlossen")));
  EXPECT_THAT(Lines(), ::testing::Contains("    " + Practice::InvoiceFileName(2) + ": Datei erfolgreich kopiert"));
  EXPECT_FALSE(HasLine("FEHLER"));
  EXPECT_TRUE(LastLineSelected());
  // Four steps done, all blue; the write step has not run.
  for (int segment = 0; segment < 4; ++segment) {
    EXPECT_EQ(Page().Progress()->Counts().At(segment).done, Page().Progress()->Counts().At(segment).total);
    EXPECT_EQ(SegmentColour(segment), QColor(0, 0, 255)) << segment;
  }
  EXPECT_EQ(Page().Progress()->Counts().At(4).total, 0);
}

TEST_F(MonitorTest, AnErrorTurnsTheSendSegmentRedUntilTheNextSendAndNotifiesWhenNobodyLooks) {
  AddInvoices(2);
  // The same invoice again under another name: the send step refuses it.
  fs::copy_file(practice_.InvoiceDir() + Practice::InvoiceFileName(1), practice_.InvoiceDir() + "again.xml");
  StartBus();
  // Nobody serves notifications on the private bus; the bus monitor sees
  // the calls.
  Child monitor({"dbus-monitor", "--session", "interface='org.freedesktop.Notifications'"}, out_.Sub("notify.out"));
  ASSERT_TRUE(Eventually([&] { return ReadFile(out_.Sub("notify.out")).find("NameAcquired") != std::string::npos; }));
  const auto notifications = [&] {
    const std::string text = ReadFile(out_.Sub("notify.out"));
    size_t count = 0;
    for (size_t at = text.find("member=Notify"); at != std::string::npos; at = text.find("member=Notify", at + 1))
      ++count;
    return count;
  };
  Notifier notifier(QDBusConnection::sessionBus());
  StartMonitor(&notifier);
  window_->showMinimized();
  Page().SetConfirm([](const QString&) { return true; });
  Page().RunButton(0)->click();
  ASSERT_TRUE(Eventually([&] { return recorder_->Completed(moPSender); }));
  // Whichever of the two came second.
  EXPECT_THAT(Lines(), ::testing::Contains(::testing::MatchesRegex("    FEHLER: [a-z0-9-]+\\.xml: Doppelte Rechnung")));
  EXPECT_TRUE(Page().Progress()->Counts().At(3).failed);
  EXPECT_EQ(SegmentColour(3), QColor(255, 0, 0));
  EXPECT_EQ(SegmentColour(2), QColor(0, 0, 255));
  EXPECT_TRUE(Eventually([&] {
    return ReadFile(out_.Sub("notify.out")).find("1 Rechnung konnte nicht verarbeitet werden.") != std::string::npos;
  }));
  EXPECT_EQ(notifications(), 1u);

  // The next send step starts its segment blue again.
  const size_t before = recorder_->entries.size();
  Page().RunButton(4)->click();
  ASSERT_TRUE(Eventually([&] {
    for (size_t i = before; i < recorder_->entries.size(); ++i) {
      const Report& r = recorder_->entries[i].report;
      if (r.mclass == mcModule && r.origin == moPSender && r.code == 0) return true;
    }
    return false;
  }));
  EXPECT_FALSE(Page().Progress()->Counts().At(3).failed);
  // That run had no error: no new notification although nobody looks.
  ASSERT_TRUE(Eventually([&] { return RunButtonsEnabled(); }));
  QTest::qWait(500);
  EXPECT_EQ(notifications(), 1u);
}

// The gate answers the session with 500: nothing is sent, each invoice is
// reported waiting by name, and nobody looking, the end of the run is
// notified like any other failure. The send step stays shown as done.
TEST_F(MonitorTest, ARunThatSentNothingNotifiesItsWaitingInvoices) {
  AddInvoices(2);
  sim_.SetControl(R"({"fault": "http500", "fault_methods": ["korvex.session.new"]})");
  StartBus();
  Child monitor({"dbus-monitor", "--session", "interface='org.freedesktop.Notifications'"}, out_.Sub("notify.out"));
  ASSERT_TRUE(Eventually([&] { return ReadFile(out_.Sub("notify.out")).find("NameAcquired") != std::string::npos; }));
  // A connection of its own: the process's session bus connection may be
  // that of an earlier test's bus.
  Notifier notifier(QDBusConnection::connectToBus(QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS")),
                                                  "notifier-waiting"));
  StartMonitor(&notifier);
  window_->showMinimized();
  Page().SetConfirm([](const QString&) { return true; });
  Page().RunButton(0)->click();
  ASSERT_TRUE(Eventually([&] { return recorder_->Completed(moPSender); }));
  for (int n : {1, 2}) {
    EXPECT_THAT(Lines(), ::testing::Contains("    WARNUNG: " + Practice::InvoiceFileName(n) +
                                             ": Trust Center nicht erreichbar, wird beim nächsten Lauf gesendet"));
  }
  EXPECT_TRUE(Eventually([&] {
    return ReadFile(out_.Sub("notify.out")).find("2 Rechnungen konnten nicht verarbeitet werden.") != std::string::npos;
  }));
  ASSERT_TRUE(Eventually([&] {
    return std::any_of(recorder_->entries.begin(), recorder_->entries.end(),
                       [](const Recorder::Entry& e) {
                         return e.report.mclass == mcCount && e.report.origin == moPSender &&
                                e.report.message == "2 Rechnungen warten auf den nächsten Lauf";
                       });
  }));
  EXPECT_EQ(Page().Progress()->Counts().At(3).done, Page().Progress()->Counts().At(3).total);
  EXPECT_GT(Page().Progress()->Counts().At(3).total, 0);
}

TEST_F(MonitorTest, OnlyParticipantNumber69AsksBeforeInvoicesGoOutAndNoStartsNothing) {
  // A newer configuration of the practice's own in which the first center
  // has the participant number "69".
  std::string xml = ReadFile(ShippedConfigDir() + "korvex.xml");
  xml = std::regex_replace(xml, std::regex("esr=\"01-10000-1\""), "esr=\"69\"");
  xml = std::regex_replace(xml, std::regex("timestamp=\"1700000000\""), "timestamp=\"1800000000\"");
  WriteFile(practice_.AppData("korvex.xml"), xml);
  fs::copy_file(ShippedConfigDir() + "korvex.xsd", practice_.AppData("korvex.xsd"));
  AddInvoices(1);
  StartMonitor();
  ASSERT_EQ(link_->Text("esr").toStdString(), "69");

  // The real question first: its title, icon, buttons and text. No.
  QString shown;
  QTimer::singleShot(200, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    shown = box->windowTitle() + "|" + box->text();
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
    box->button(QMessageBox::No)->click();
  });
  Page().RunButton(0)->click();
  EXPECT_EQ(shown.toStdString(),
            "Korvex Ordiva|Sind Sie sicher, dass Sie Rechnungen ans 'TC-NORD' übermitteln wollen?");
  EXPECT_TRUE(RunButtonsEnabled());

  std::vector<int> asked;
  int current = -1;
  Page().SetConfirm([&](const QString& text) {
    EXPECT_THAT(text.toStdString(), HasSubstr("'TC-NORD'"));
    asked.push_back(current);
    return false;
  });
  for (int button = 0; button < 6; ++button) {
    if (button == 1 || button == 2 || button == 5) continue;  // these start runs
    current = button;
    Page().RunButton(button)->click();
  }
  EXPECT_EQ(asked, (std::vector<int>{0, 3, 4}));
  // Nothing started: the first report the window gets is the read step the
  // next click starts, and the invoice was not sent.
  QTest::qWait(500);
  EXPECT_TRUE(recorder_->entries.empty());
  current = 1;
  Page().RunButton(1)->click();
  ASSERT_TRUE(Eventually([&] { return recorder_->Completed(moPReader); }));
  EXPECT_EQ(asked.size(), 3u);
  EXPECT_TRUE(sim_.Uploads().empty());
}

TEST_F(MonitorTest, ACallRefusedWhileAnotherClientRunsIsShownAndAutoWaitsForASendStep) {
  AddInvoices(8);
  sim_.SetControl(R"({"fault": "slow", "slow_seconds": 1, "fault_methods": ["korvex.inputgate.write2"]})");
  StartBus();
  Child other = Ctl({"auto"});
  // The other run works before the monitor comes: its buttons are free.
  // The other run is in its send step (a second per upload, eight uploads):
  // no step starts or ends for a while, so the monitor's buttons are free.
  ASSERT_TRUE(Eventually([&] { return !sim_.Uploads().empty(); }));
  StartMonitor();
  Page().SetConfirm([](const QString&) { return true; });
  ASSERT_TRUE(RunButtonsEnabled());
  Page().RunButton(1)->click();
  ASSERT_FALSE(Lines().empty());
  EXPECT_EQ(Lines().back(), "DBUS ERROR:0x800700AA: another run is active");
  EXPECT_TRUE(LastLineSelected());
  // A refused Auto keeps the buttons locked until a send step completes:
  // here the other client's.
  Page().RunButton(0)->click();
  EXPECT_EQ(Lines().back(), "DBUS ERROR:0x800700AA: another run is active");
  EXPECT_TRUE(RunButtonsDisabled());
  ASSERT_TRUE(Eventually([&] { return recorder_->Completed(moPSender); }));
  EXPECT_TRUE(RunButtonsEnabled());
  EXPECT_EQ(other.Wait(), 0) << other.Output();
}

TEST_F(MonitorTest, TheServerGoingAwayIsSaidAndTheMonitorComesBackWithIt) {
  AddInvoices(1);
  StartMonitor();
  const pid_t server = bus_->ServerPid();
  ASSERT_GT(server, 0);
  ::kill(server, SIGKILL);
  ASSERT_TRUE(Eventually([&] { return HasLine(Text(160).toStdString()); }));
  EXPECT_TRUE(RunButtonsDisabled());
  // The monitor brings the server back by itself and can run again.
  ASSERT_TRUE(Eventually([&] { return HasLine(Text(161).toStdString()); }));
  EXPECT_TRUE(RunButtonsEnabled());
  EXPECT_NE(bus_->ServerPid(), server);
  Page().RunButton(1)->click();
  ASSERT_TRUE(Eventually([&] { return recorder_->Completed(moPReader); }));
}

TEST_F(MonitorTest, HeaderAndInfoFollowWhatAnotherClientChanges) {
  StartMonitor();
  // Without a HIN login the header shows none (the entry for a new login
  // begins with "<").
  ASSERT_TRUE(Eventually([&] { return window_->Header()->CenterText() == "TC-NORD"; }));
  EXPECT_TRUE(window_->Header()->LoginText().isEmpty());
  window_->Tabs()->setCurrentIndex(3);
  EXPECT_EQ(window_->Info()->TrustCenterText().toStdString(), "TC-NORD (Tel: 044 000 00 01)");
  EXPECT_EQ(window_->Info()->EanText().toStdString(), "7601000000011");
  EXPECT_EQ(window_->Info()->ServerVersionText().toStdString(), "Korvex Ordiva V 5.0.3");
  EXPECT_EQ(window_->HelpText().toStdString(),
            "Bei Fragen wenden Sie sich bitte an Ihr TrustCenter (Tel: 044 000 00 01)");

  Child set = Ctl({"set", "trustCenter", "TC-SUED"});
  ASSERT_EQ(set.Wait(), 0) << set.Output();
  EXPECT_TRUE(Eventually([&] { return window_->Header()->CenterText() == "TC-SUED"; }));
  EXPECT_TRUE(Eventually([&] { return window_->Info()->EanText() == "7601000000028"; }));
  EXPECT_EQ(window_->Info()->EsrText().toStdString(), "01-20000-2");
}

// Someone sits at the monitor: its object says so, so its runs may ask the
// update question. A korvexctl object (a scheduler's) does not.
TEST_F(MonitorTest, TheMonitorsObjectIsInteractiveAndAKorvexctlObjectIsNot) {
  StartMonitor();
  EXPECT_TRUE(link_->Get("interactive").toBool()) << link_->LastError().message().toStdString();
  Child get = Ctl({"get", "interactive"});
  ASSERT_EQ(get.Wait(), 0) << get.Output();
  EXPECT_THAT(get.Output(), HasSubstr("interactive: false"));
}

TEST_F(MonitorTest, FrenchTextsForAFrenchUser) {
  SetLanguage(Language::French);
  StartMonitor();
  const char* tabs[] = {"Aperçu", "Details", "Configuration", "Info"};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(window_->Tabs()->tabText(i).toStdString(), tabs[i]);
  const char* runs[] = {"Auto", "Lire", "Vérifier", "Anonymiser", "Envoyer/Recevoir", "Déplacer"};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Page().RunButton(i)->text().toStdString(), runs[i]);
  EXPECT_EQ(Page().CancelButton()->text().toStdString(), "Interrompre");
  EXPECT_EQ(window_->HelpButton()->text().toStdString(), "Aide");
  EXPECT_EQ(window_->QuitButton()->text().toStdString(), "Terminer");
  EXPECT_EQ(window_->HelpText().toStdString(),
            "Pour toute question merci de contacter votre TrustCenter (Tel: 044 000 00 01)");
  SetLanguage(Language::German);
}

// The program itself: korvexui as the practice starts it.
TEST_F(MonitorTest, WithoutAServerTheMonitorEndsQuietly) {
  PrivateBus bus;  // nothing registered on it
  Child ui({KORVEXUI_PROGRAM}, out_.Sub("ui.out"));
  EXPECT_EQ(ui.Wait(), 0);
  EXPECT_THAT(ui.Output(), HasSubstr("korvexui: the Korvex server is not reachable"));
}

TEST_F(MonitorTest, ASecondStartRaisesTheFirstWindowAndEnds) {
  StartMonitor();
  SingleInstance first;
  ASSERT_EQ(first.Claim(), SingleInstance::Outcome::First);
  QObject::connect(&first, &SingleInstance::RaiseRequested, window_.get(), &MainWindow::Raise);
  window_->showMinimized();
  ASSERT_TRUE(Eventually([&] { return window_->isMinimized(); }));
  Child second({KORVEXUI_PROGRAM}, out_.Sub("second.out"));
  // The test's event loop answers the second start.
  ASSERT_TRUE(Eventually([&] { return !second.Running(); }));
  EXPECT_EQ(second.Wait(), 0) << second.Output();
  EXPECT_TRUE(Eventually([&] { return !window_->isMinimized(); }));
}

}  // namespace
}  // namespace belmor::korvex::ui
