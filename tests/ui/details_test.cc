// The details page and the viewer against the real server: the directories
// of a practice's work area as the server names them, the trash of the
// test's own data home, session logs and invoices read into the viewer.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QDateTime>
#include <QMessageBox>
#include <QTimer>
#include <filesystem>
#include <string>
#include <vector>

#include "ui/details_page.h"
#include "ui/monitor_fixture.h"
#include "ui/viewer.h"

namespace belmor::korvex::ui {
namespace {

using belmor::korvex::e2e::ShippedConfigDir;
using belmor::testing::ReadFile;
using belmor::testing::WriteFile;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

std::vector<std::string> Entries(const QListWidget& list) {
  std::vector<std::string> entries;
  for (int i = 0; i < list.count(); ++i) entries.push_back(list.item(i)->text().toStdString());
  return entries;
}

// One line of a session log as the server writes it.
std::string LogLine(long long time, int level, int mclass, int origin, int code, const std::string& file,
                    const std::string& message) {
  return std::to_string(time) + "|" + std::to_string(level) + "|" + std::to_string(mclass) + "|" +
         std::to_string(origin) + "|" + std::to_string(code) + "|" + file + "|" + message + "\r\n";
}

std::string Clock(long long time) {
  return QDateTime::fromSecsSinceEpoch(time).time().toString("hh:mm:ss").toStdString();
}

class DetailsTest : public MonitorTest {
 protected:
  void SetUp() override {
    // A work area with days that the file system may list in any order.
    for (const char* file : {"archive/2026-12-08/a.xml", "archive/2026-12-10/b.xml", "archive/2026-12-10/c.xml",
                             "archive/2026-12-09/d.xml", "err/2026-12-10/bad.xml", "responses/r1.xml",
                             "responses-archive/2026-12-01/r0.xml", "logs/2026-12-09.log", "logs/2026-12-10.log"})
      WriteFile(practice_.Work(file), "<x/>");
    WriteFile(practice_.InvoiceDir() + "rechnung-b.xml", "<x/>");
    WriteFile(practice_.InvoiceDir() + "rechnung-a.xml", "<x/>");
    fs::create_directories(practice_.InvoiceDir() + "unterordner");
    practice_.PreloadToken();
    StartMonitor();
    page_ = std::make_unique<DetailsPage>(
        *link_,
        [this](const QString& invoice, const QString& log) {
          opened_.push_back({invoice, log});
        },
        nullptr);
  }
  void TearDown() override { page_.reset(); }

  std::string Work(const std::string& relative) const { return practice_.Work(relative); }
  int Row(const std::string& entry) const {
    const std::vector<std::string> entries = Entries(*page_->List());
    const auto it = std::find(entries.begin(), entries.end(), entry);
    return it == entries.end() ? -1 : static_cast<int>(it - entries.begin());
  }

  std::unique_ptr<DetailsPage> page_;
  std::vector<std::pair<QString, QString>> opened_;
};

TEST_F(DetailsTest, EachButtonShowsItsDirectoryAndDaysComeNewestFirst) {
  const struct {
    int button;
    DetailsPage::State state;
    std::vector<std::string> entries;
  } cases[] = {
      {0, DetailsPage::kInvoices, {"rechnung-a.xml", "rechnung-b.xml"}},
      {1, DetailsPage::kArchiveDays, {"2026-12-10", "2026-12-09", "2026-12-08"}},
      {2, DetailsPage::kErrorDays, {"2026-12-10"}},
      {3, DetailsPage::kResponses, {"r1.xml"}},
      {4, DetailsPage::kResponseDays, {"2026-12-01"}},
      {5, DetailsPage::kLogs, {"2026-12-10", "2026-12-09"}},
  };
  for (const auto& c : cases) {
    page_->ListButton(c.button)->click();
    EXPECT_EQ(page_->CurrentState(), c.state);
    EXPECT_THAT(Entries(*page_->List()), ElementsAreArray(c.entries)) << c.button;
  }
}

TEST_F(DetailsTest, ADayIsEnteredAndLeftAndItsFilesOpenWithTheDaysLog) {
  const struct {
    int button;
    std::string day;
    DetailsPage::State inside;
    std::string file;
    std::string path;
  } cases[] = {
      {1, "2026-12-10", DetailsPage::kArchiveDay, "c.xml", "archive/2026-12-10/c.xml"},
      {4, "2026-12-01", DetailsPage::kResponseDay, "r0.xml", "responses-archive/2026-12-01/r0.xml"},
      {2, "2026-12-10", DetailsPage::kErrorDay, "bad.xml", "err/2026-12-10/bad.xml"},
  };
  for (const auto& c : cases) {
    page_->ListButton(c.button)->click();
    const DetailsPage::State days = page_->CurrentState();
    page_->Activate(Row(c.day));
    EXPECT_EQ(page_->CurrentState(), c.inside);
    ASSERT_FALSE(Entries(*page_->List()).empty());
    EXPECT_EQ(Entries(*page_->List()).front(), "..");
    opened_.clear();
    page_->Activate(Row(c.file));
    ASSERT_EQ(opened_.size(), 1u);
    EXPECT_EQ(opened_[0].first.toStdString(), Work(c.path));
    EXPECT_EQ(opened_[0].second.toStdString(), c.day);
    // ".." goes back to the days and is never deleted.
    page_->List()->setCurrentRow(0);
    page_->SetConfirm([](const QString&) {
      ADD_FAILURE() << "asked to delete ..";
      return true;
    });
    page_->DeleteSelected();
    EXPECT_EQ(Entries(*page_->List()).front(), "..");
    page_->Activate(0);
    EXPECT_EQ(page_->CurrentState(), days);
  }
  // An invoice waiting to be read opens without a log; a log opens alone;
  // a pending response opens with the day last entered or log last opened.
  page_->ListButton(0)->click();
  opened_.clear();
  page_->Activate(Row("rechnung-b.xml"));
  page_->ListButton(5)->click();
  page_->Activate(Row("2026-12-09"));
  page_->ListButton(3)->click();
  page_->Activate(Row("r1.xml"));
  ASSERT_EQ(opened_.size(), 3u);
  EXPECT_EQ(opened_[0].first.toStdString(), practice_.InvoiceDir() + "rechnung-b.xml");
  EXPECT_TRUE(opened_[0].second.isEmpty());
  EXPECT_TRUE(opened_[1].first.isEmpty());
  EXPECT_EQ(opened_[1].second.toStdString(), "2026-12-09");
  EXPECT_EQ(opened_[2].first.toStdString(), Work("responses/r1.xml"));
  EXPECT_EQ(opened_[2].second.toStdString(), "2026-12-09");
}

TEST_F(DetailsTest, DeletingMovesToTheTrashAfterAskingAndResponsesAreNeverDeleted) {
  const std::string trash = std::string(std::getenv("XDG_DATA_HOME")) + "/Trash/files/";
  QString asked;
  page_->SetConfirm([&](const QString& path) {
    asked = path;
    return true;
  });
  page_->ListButton(0)->click();
  page_->List()->setCurrentRow(Row("rechnung-a.xml"));
  page_->DeleteSelected();
  EXPECT_EQ(asked.toStdString(), practice_.InvoiceDir() + "rechnung-a.xml");
  EXPECT_THAT(Entries(*page_->List()), ElementsAre("rechnung-b.xml"));
  EXPECT_FALSE(fs::exists(practice_.InvoiceDir() + "rechnung-a.xml"));
  EXPECT_TRUE(fs::exists(trash + "rechnung-a.xml"));

  // A whole day and a log by its name.
  page_->ListButton(1)->click();
  page_->List()->setCurrentRow(Row("2026-12-08"));
  page_->DeleteSelected();
  EXPECT_TRUE(fs::exists(trash + "2026-12-08/a.xml"));
  page_->ListButton(5)->click();
  page_->List()->setCurrentRow(Row("2026-12-09"));
  page_->DeleteSelected();
  EXPECT_FALSE(fs::exists(Work("logs/2026-12-09.log")));

  // Responses, pending or archived, stay: nothing is asked.
  asked.clear();
  for (int button : {3, 4}) {
    page_->ListButton(button)->click();
    page_->List()->setCurrentRow(0);
    page_->DeleteSelected();
  }
  EXPECT_TRUE(asked.isEmpty());
  EXPECT_TRUE(fs::exists(Work("responses/r1.xml")));

  // "No" keeps the file; a move that fails says why and keeps the entry.
  page_->ListButton(0)->click();
  page_->SetConfirm([](const QString&) { return false; });
  page_->List()->setCurrentRow(0);
  page_->DeleteSelected();
  EXPECT_TRUE(fs::exists(practice_.InvoiceDir() + "rechnung-b.xml"));
  page_->SetConfirm([](const QString&) { return true; });
  fs::remove(practice_.InvoiceDir() + "rechnung-b.xml");
  QString said;
  QTimer::singleShot(200, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      said = box->text();
      box->accept();
    }
  });
  page_->DeleteSelected();
  EXPECT_THAT(said.toStdString(), ::testing::HasSubstr(practice_.InvoiceDir() + "rechnung-b.xml"));
  EXPECT_THAT(Entries(*page_->List()), ElementsAre("rechnung-b.xml"));
}

TEST_F(DetailsTest, TheViewerShowsOnlyThatInvoicesLogLinesUntilALineTooLong) {
  const long long t = 1796900000;
  std::string log = "KXP: Korvex Ordiva V 5.0.3 / Debian\r\n";
  log += LogLine(t, 1, 2, 0, 2, "bad.xml", "Datei erfolgreich kopiert");
  log += LogLine(t + 1, 1, 2, 0, 1, "", "Einlesen abgeschlossen");
  log += LogLine(t + 2, 3, 2, 1, 10, "other.xml", "Unbekanntes Dateiformat");
  log += LogLine(t + 3, 2, 1, 4, 0, "bad.xml", "Login bald abgelaufen");
  log += "1796900004||3||2||1||10||bad.xml||Unbekanntes Dateiformat\r\n";  // runs of separators
  log += LogLine(t + 5, 3, 2, 1, 10, "bad.xml", std::string(520, 'x'));    // too long: the end
  log += LogLine(t + 6, 3, 2, 1, 10, "bad.xml", "never shown");
  WriteFile(Work("logs/2026-12-10.log"), log);
  WriteFile(Work("err/2026-12-10/bad.xml"), "<kaputt");

  ViewerWindow* viewer =
      OpenViewer(window_.get(), *link_, QString::fromStdString(Work("err/2026-12-10/bad.xml")), "2026-12-10");
  ASSERT_TRUE(viewer->isVisible());
  ASSERT_TRUE(Eventually([&] { return viewer->Complete(); }));
  EXPECT_EQ(viewer->windowTitle().toStdString(), Work("err/2026-12-10/bad.xml"));
  EXPECT_THAT(Entries(*viewer->Log()),
              ElementsAre(Clock(t) + " READ MODU INFO bad.xml: Datei erfolgreich kopiert",
                          Clock(t + 3) + " SEND ASAS WARNUNG bad.xml: Login bald abgelaufen",
                          Clock(t + 4) + " CHEC MODU FEHLER bad.xml: Unbekanntes Dateiformat"));
  // A broken invoice shows that it cannot be read, and nothing else.
  EXPECT_EQ(viewer->Pane()->Doc(), Text(145));
  EXPECT_TRUE(viewer->Pane()->Pat().isEmpty());
  EXPECT_TRUE(viewer->Pane()->Inv().isEmpty());
  viewer->close();

  // The log alone: every line that names a file, none that names none.
  ViewerWindow* whole = OpenViewer(window_.get(), *link_, QString(), "2026-12-10");
  ASSERT_TRUE(Eventually([&] { return whole->Complete(); }));
  EXPECT_EQ(whole->windowTitle().toStdString(), "2026-12-10");
  EXPECT_EQ(whole->Pane(), nullptr);
  EXPECT_EQ(whole->Log()->count(), 4);
  for (const std::string& line : Entries(*whole->Log())) EXPECT_THAT(line, ::testing::Not(::testing::HasSubstr(" : ")));
}

TEST_F(DetailsTest, ALargeInvoiceAndALongLogFillTheViewerAfterItShows) {
  std::string log;
  for (int n = 0; n < 100000; ++n)
    log += LogLine(1796900000 + n, 1, 2, n % 5, 2, "big.xml", "Zeile " + std::to_string(n));
  WriteFile(Work("logs/2026-12-10.log"), log);
  fs::copy_file(ShippedConfigDir() + "invoices/gir-5.0-attachment.xml", Work("archive/2026-12-10/big.xml"));
  ViewerWindow* viewer =
      OpenViewer(window_.get(), *link_, QString::fromStdString(Work("archive/2026-12-10/big.xml")), "2026-12-10");
  // Shown before anything was read: the reading happens beside the window.
  EXPECT_TRUE(viewer->isVisible());
  EXPECT_FALSE(viewer->Complete());
  EXPECT_EQ(viewer->Log()->count(), 0);
  ASSERT_TRUE(Eventually([&] { return viewer->Complete(); }, 120000));
  EXPECT_EQ(viewer->Log()->count(), 100000);
  EXPECT_THAT(viewer->Log()->item(99999)->text().toStdString(), ::testing::EndsWith("big.xml: Zeile 99999"));
  EXPECT_THAT(viewer->Pane()->Inv().toStdString(), ::testing::HasSubstr("GIR50-2026-0233"));
}

TEST_F(DetailsTest, AMessageAboutAFileOpensItFromTodaysErrorsWithTodaysLog) {
  fs::remove_all(practice_.InvoiceDir());
  fs::create_directories(practice_.InvoiceDir());
  fs::copy_file(ShippedConfigDir() + "invoices/unknown-format.xml", practice_.InvoiceDir() + "fremd.xml");
  window_->Overview()->RunButton(1)->click();
  ASSERT_TRUE(Eventually([&] { return recorder_->Completed(moPReader); }));
  QListWidget* messages = window_->Overview()->Messages();
  int row = -1;
  for (int i = 0; i < messages->count(); ++i)
    if (messages->item(i)->text().contains("fremd.xml")) row = i;
  ASSERT_GE(row, 0) << ::testing::PrintToString(Entries(*messages));
  const QString session = link_->Text("session");
  ASSERT_FALSE(session.isEmpty());
  emit messages->itemDoubleClicked(messages->item(row));
  ViewerWindow* viewer = nullptr;
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* v = qobject_cast<ViewerWindow*>(widget)) viewer = v;
  ASSERT_NE(viewer, nullptr);
  EXPECT_EQ(viewer->windowTitle().toStdString(), Work("err/" + session.toStdString() + "/fremd.xml"));
  ASSERT_TRUE(Eventually([&] { return viewer->Complete(); }));
  EXPECT_GE(viewer->Log()->count(), 1);
  for (const std::string& line : Entries(*viewer->Log())) EXPECT_THAT(line, ::testing::HasSubstr(" fremd.xml: "));
  // A line without a file name does nothing.
  const int windows = QApplication::topLevelWidgets().size();
  for (int i = 0; i < messages->count(); ++i)
    if (messages->item(i)->text().startsWith("Einlesen gestartet")) emit messages->itemDoubleClicked(messages->item(i));
  EXPECT_EQ(QApplication::topLevelWidgets().size(), windows);
}

}  // namespace
}  // namespace belmor::korvex::ui
