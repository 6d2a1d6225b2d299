// The configuration page: how its boxes pick the entry of the stored trust
// center and HIN login, and the page against the real server on a private
// bus, with korvex.ini on disk and korvexctl as another client.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPalette>
#include <QTabWidget>
#include <QTest>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "ui/config_page.h"
#include "ui/main_window.h"
#include "ui/monitor_fixture.h"
#include "ui/server_link.h"
#include "ui/strings.h"

namespace belmor::korvex::ui {
namespace {

using belmor::testing::ReadFile;
using ::testing::HasSubstr;

const QString kNewLogin = "<neues HIN Login registrieren>";

TEST(ConfigSelectionTest, TheHinLoginBoxSelectsTheEqualEntryElseTheFirstThatBeginsWithTheLogin) {
  const QStringList logins = {"dr.mustermann", "dr.muster praxis", "Dr.Muster", "meier", kNewLogin};
  const struct {
    QStringList items;
    QString login;
    int selected;
  } cases[] = {
      {logins, "", -1},
      // Equal, ignoring case, even with an earlier entry that begins with it.
      {logins, "dr.muster", 2},
      {logins, "MEIER", 3},
      {logins, kNewLogin, 4},
      // Not in the list, without a blank: the login and one blank.
      {{"dr.mustermann", "dr.muster praxis", kNewLogin}, "dr.muster", 1},
      {{"dr.mustermann", "dr.muster praxis", kNewLogin}, "DR.MUSTER", 1},
      {{"dr.mustermann", kNewLogin}, "dr.muster", -1},
      // Not in the list, with a blank: the login up to its first blank.
      {{"meier", "dr.mustermann", "dr.muster praxis"}, "dr.muster alt", 1},
      {{"meier", "dr.muster praxis"}, "Dr.Muster zweite praxis", 1},
      {{"meier", kNewLogin}, "dr.muster alt", -1},
      {{}, "dr.muster", -1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(SelectLogin(c.items, c.login), c.selected)
        << c.login.toStdString() << " in " << c.items.join(", ").toStdString();
}

TEST(ConfigSelectionTest, TheTrustCenterBoxSelectsTheFirstEntryThatBeginsWithTheCenter) {
  const QStringList centers = {"TC-NORD", "TC-SUED", "TC-SUED-WEST"};
  const struct {
    QString center;
    int selected;
  } cases[] = {{"", -1}, {"TC-SUED", 1}, {"tc-sued-w", 2}, {"tc", 0}, {"TC-OST", -1}, {"TC-NORD ", -1}};
  for (const auto& c : cases) EXPECT_EQ(SelectTrustCenter(centers, c.center), c.selected) << c.center.toStdString();
}

class ConfigPageTest : public MonitorTest {
 protected:
  void Open() {
    StartMonitor();
    window_->Tabs()->setCurrentIndex(2);
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    page_ = qobject_cast<ConfigPage*>(window_->Tabs()->currentWidget());
    ASSERT_NE(page_, nullptr);
    QObject::connect(link_.get(), &ServerLink::PropertiesChanged, [this](const QStringList& names) {
      for (const QString& name : names) announced_.push_back(name.toStdString());
    });
  }
  QLineEdit* Edit(ConfigPage::Edit edit) const { return page_->EditField(edit); }
  std::string Property(const char* name) const { return link_->Text(name).toStdString(); }
  // The value of a key in korvex.ini as the server saved it; "-" when the
  // key is not there. The server stores a put within 200 ms, on a thread of
  // its own.
  std::string Saved(const std::string& key) const {
    QTest::qWait(300);
    std::smatch match;
    const std::string ini = ReadFile(practice_.AppData("korvex.ini"));
    if (!std::regex_search(ini, match, std::regex("(^|\n)" + key + "=([^\n]*)"))) return "-";
    return match[2];
  }
  int Announced(const std::string& property) const {
    return static_cast<int>(std::count(announced_.begin(), announced_.end(), property));
  }
  // A round trip to the server, so that what it announced has arrived.
  void Settle() {
    link_->Text("session");
    QTest::qWait(100);
  }
  // The user erases the edit and types text key by key.
  static void Type(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
  }
  // The user picks an entry of a box with the keyboard.
  static void Choose(QComboBox* box, const QString& text) {
    box->setFocus();
    const int target = box->findText(text);
    ASSERT_GE(target, 0) << text.toStdString();
    while (box->currentIndex() != target)
      QTest::keyClick(box, box->currentIndex() < target ? Qt::Key_Down : Qt::Key_Up);
  }
  static QStringList Items(QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
    return items;
  }
  static bool Red(QLineEdit* edit) {
    const QColor base = edit->palette().color(QPalette::Base);
    return base.red() > 200 && base.green() < 220 && base.blue() < 220 && base.red() - base.green() > 40;
  }

  ConfigPage* page_ = nullptr;
  std::vector<std::string> announced_;
};

TEST_F(ConfigPageTest, ShowsTheServersSettingsAndEveryChoiceIsSavedAtOnce) {
  practice_.PreloadToken();
  Open();
  EXPECT_EQ(Items(page_->TrustCenters()), (QStringList{"TC-NORD", "TC-SUED"}));
  EXPECT_EQ(page_->TrustCenters()->currentText(), "TC-NORD");
  EXPECT_EQ(Edit(ConfigPage::kInputDirectory)->text().toStdString(), practice_.InvoiceDir());
  EXPECT_EQ(Edit(ConfigPage::kOutputDirectory)->text().toStdString(), practice_.ResponseDir());
  EXPECT_EQ(Edit(ConfigPage::kWorkDirectory)->text().toStdString(), practice_.Work());
  EXPECT_EQ(Edit(ConfigPage::kZsrFilter)->text(), "*");
  EXPECT_TRUE(page_->Archive()->isChecked());
  EXPECT_EQ(Items(page_->Logins()), (QStringList{"dr.muster", kNewLogin}));
  EXPECT_EQ(page_->Logins()->currentText(), "dr.muster");
  EXPECT_EQ(page_->BrowseButton(ConfigPage::kInputDirectory)->text(), "Durchsuchen...");
  ASSERT_TRUE(Eventually([&] { return window_->Header()->LoginText() == "dr.muster"; }));

  Choose(page_->TrustCenters(), "TC-SUED");
  EXPECT_EQ(Property("trustCenter"), "TC-SUED");
  EXPECT_EQ(Saved("trustCenterID"), "2");
  EXPECT_TRUE(Eventually([&] { return window_->Header()->CenterText() == "TC-SUED"; }));

  QTest::mouseClick(page_->Archive(), Qt::LeftButton);
  EXPECT_FALSE(page_->Archive()->isChecked());
  EXPECT_EQ(link_->Get("withArchive").toBool(), false);
  EXPECT_EQ(Saved("archive"), "0");
  QTest::mouseClick(page_->Archive(), Qt::LeftButton);
  EXPECT_EQ(Saved("archive"), "1");

  // The entry for a new login is stored as it is, and the header shows no
  // login for it.
  Choose(page_->Logins(), kNewLogin);
  EXPECT_EQ(link_->Text("asasLogin"), kNewLogin);
  EXPECT_EQ(QString::fromStdString(Saved("hinLogin")), kNewLogin);
  EXPECT_EQ(page_->Logins()->currentText(), kNewLogin);
  EXPECT_TRUE(Eventually([&] { return window_->Header()->LoginText().isEmpty(); }));
  Choose(page_->Logins(), "dr.muster");
  EXPECT_EQ(Saved("hinLogin"), "dr.muster");
}

TEST_F(ConfigPageTest, ADirectoryIsSentOnceWhenItsEditingEndsAndNeverWhileItIsTyped) {
  Open();
  enum class End { kEnter, kFocusLeaves, kBrowse };
  const struct {
    ConfigPage::Edit edit;
    const char* property;
    const char* key;
    End end;
  } cases[] = {
      {ConfigPage::kInputDirectory, "inputDirectory", "inputDir", End::kEnter},
      {ConfigPage::kOutputDirectory, "outputDirectory", "outputDir", End::kFocusLeaves},
      {ConfigPage::kWorkDirectory, "workDirectory", "workDir", End::kBrowse},
      {ConfigPage::kInputDirectory, "inputDirectory", "inputDir", End::kFocusLeaves},
      {ConfigPage::kOutputDirectory, "outputDirectory", "outputDir", End::kBrowse},
      {ConfigPage::kWorkDirectory, "workDirectory", "workDir", End::kEnter},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.property + std::string(" ") + std::to_string(++n));
    QLineEdit* edit = Edit(c.edit);
    const std::string before = Property(c.property);
    const int announced = Announced(c.property);
    const std::string chosen = practice_.Root() + "/neu-" + std::to_string(n);
    if (c.end == End::kBrowse) {
      QString asked;
      page_->SetBrowseFolder([&](QWidget*, const QString& start) {
        asked = start;
        return QString::fromStdString(chosen);
      });
      QTest::mouseClick(page_->BrowseButton(c.edit), Qt::LeftButton);
      EXPECT_EQ(asked.toStdString(), before);
    } else {
      // Erased (the empty state) and typed key by key: nothing goes out.
      Type(edit, QString::fromStdString(chosen));
      Settle();
      EXPECT_EQ(Property(c.property), before);
      EXPECT_EQ(Saved(c.key), before);
      EXPECT_EQ(Announced(c.property), announced);
      if (c.end == End::kEnter)
        QTest::keyClick(edit, Qt::Key_Return);
      else
        page_->TrustCenters()->setFocus();
    }
    EXPECT_EQ(Property(c.property), chosen + "/");
    EXPECT_EQ(Saved(c.key), chosen + "/");
    EXPECT_EQ(edit->text().toStdString(), chosen + "/");
    EXPECT_FALSE(page_->Refused(c.edit));
    EXPECT_TRUE(Eventually([&] { return Announced(c.property) == announced + 1; }));
  }
  // Each value was put once: Enter and the focus leaving after it do not
  // send it twice.
  Settle();
  EXPECT_EQ(Announced("inputDirectory"), 2);
  EXPECT_EQ(Announced("outputDirectory"), 2);
  EXPECT_EQ(Announced("workDirectory"), 2);
}

TEST_F(ConfigPageTest, AHalfTypedDirectoryStaysUnsavedWhenTheWindowLosesTheFocusOrCloses) {
  Open();
  QLineEdit* edit = Edit(ConfigPage::kInputDirectory);
  const std::string path = practice_.Root() + "/ganz";
  Type(edit, QString::fromStdString(path).chopped(1));
  // The user looks the rest up in another window.
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  Settle();
  EXPECT_EQ(Property("inputDirectory"), practice_.InvoiceDir());
  // Back, typed to its end: the whole path is sent.
  window_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  EXPECT_TRUE(edit->hasFocus());
  QTest::keyClicks(edit, "z");
  QTest::keyClick(edit, Qt::Key_Return);
  EXPECT_EQ(Property("inputDirectory"), path + "/");
  // Half typed again when the monitor closes.
  Type(edit, QString::fromStdString(practice_.Root() + "/hal"));
  window_->close();
  window_.reset();
  Settle();
  EXPECT_EQ(Property("inputDirectory"), path + "/");
  EXPECT_EQ(Saved("inputDir"), path + "/");
}

TEST_F(ConfigPageTest, AnEmptyDirectoryIsNeverSentAndTheSavedOneComesBack) {
  Open();
  QLineEdit* edit = Edit(ConfigPage::kInputDirectory);
  Type(edit, "");
  QTest::keyClick(edit, Qt::Key_Return);
  EXPECT_EQ(edit->text().toStdString(), practice_.InvoiceDir());
  Type(Edit(ConfigPage::kWorkDirectory), "");
  page_->TrustCenters()->setFocus();
  EXPECT_EQ(Edit(ConfigPage::kWorkDirectory)->text().toStdString(), practice_.Work());
  // A browse that chose nothing leaves the edit and the setting alone.
  page_->SetBrowseFolder([](QWidget*, const QString&) { return QString(); });
  QTest::mouseClick(page_->BrowseButton(ConfigPage::kOutputDirectory), Qt::LeftButton);
  EXPECT_EQ(Edit(ConfigPage::kOutputDirectory)->text().toStdString(), practice_.ResponseDir());
  Settle();
  EXPECT_TRUE(announced_.empty()) << announced_.front();
  EXPECT_EQ(Saved("inputDir"), practice_.InvoiceDir());
  EXPECT_EQ(Saved("workDir"), practice_.Work());
  EXPECT_EQ(Saved("outputDir"), practice_.ResponseDir());
}

TEST_F(ConfigPageTest, ARefusedValueTurnsTheEditRedWithTheReasonAndTheSavedValueStays) {
  Open();
  // korvex.ini cannot hold a "#" (it would begin a comment).
  const struct {
    ConfigPage::Edit edit;
    const char* property;
    const char* key;
    bool browse;
    std::string value;
  } cases[] = {
      {ConfigPage::kInputDirectory, "inputDirectory", "inputDir", false, practice_.Root() + "/a#b"},
      {ConfigPage::kWorkDirectory, "workDirectory", "workDir", true, practice_.Root() + "/w#1"},
      {ConfigPage::kZsrFilter, "zsrDownFilter", "zsrDownFilter", false, "P123#45"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.property);
    QLineEdit* edit = Edit(c.edit);
    const std::string before = Property(c.property);
    if (c.browse) {
      page_->SetBrowseFolder([&](QWidget*, const QString&) { return QString::fromStdString(c.value); });
      QTest::mouseClick(page_->BrowseButton(c.edit), Qt::LeftButton);
    } else {
      Type(edit, QString::fromStdString(c.value));
      QTest::keyClick(edit, Qt::Key_Return);
    }
    EXPECT_TRUE(page_->Refused(c.edit));
    EXPECT_TRUE(Red(edit));
    EXPECT_THAT(edit->toolTip().toStdString(), HasSubstr("0x80070057: "));
    EXPECT_THAT(edit->toolTip().toStdString(), HasSubstr("cannot be stored"));
    // The user's text stays to be mended; the server and the file keep the
    // old value.
    EXPECT_EQ(edit->text().toStdString(), c.value);
    EXPECT_EQ(Property(c.property), before);
    EXPECT_EQ(Saved(c.key), before);

    Type(edit, QString::fromStdString(c.value).remove('#'));
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_FALSE(page_->Refused(c.edit));
    EXPECT_FALSE(Red(edit));
    EXPECT_TRUE(edit->toolTip().isEmpty());
    EXPECT_EQ(Saved(c.key), edit->text().toStdString());
    EXPECT_NE(Saved(c.key), before);
  }
}

// A directory no run could use is refused: the reason stands on the page,
// not only in a tooltip, and goes once the value is mended.
TEST_F(ConfigPageTest, ARefusedDirectoryShowsTheServersReasonOnThePage) {
  Open();
  ASSERT_TRUE(page_->Notice()->isHidden());
  const struct {
    ConfigPage::Edit edit;
    const char* property;
    const char* value;
    const char* notice;
  } cases[] = {
      {ConfigPage::kInputDirectory, "inputDirectory", "Rechnungen",
       "Rechnungsverzeichnis: not an absolute directory: Rechnungen/"},
      {ConfigPage::kWorkDirectory, "workDirectory", "/etc/passwd", "Basisverzeichnis: not a directory: /etc/passwd/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.property);
    QLineEdit* edit = Edit(c.edit);
    const std::string before = Property(c.property);
    Type(edit, c.value);
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_TRUE(page_->Refused(c.edit));
    EXPECT_TRUE(Red(edit));
    EXPECT_THAT(edit->toolTip().toStdString(), HasSubstr("0x80070057: "));
    EXPECT_TRUE(page_->Notice()->isVisible());
    EXPECT_EQ(page_->Notice()->text().toStdString(), c.notice);
    EXPECT_EQ(Property(c.property), before);

    const std::string mended = practice_.Root() + "/neu-" + c.property;
    Type(edit, QString::fromStdString(mended));
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_FALSE(page_->Refused(c.edit));
    EXPECT_TRUE(page_->Notice()->isHidden());
    EXPECT_EQ(Property(c.property), mended + "/");
  }
}

// With a settings file the server could not read, no change can be stored:
// a check box or a box the user changes goes back, and the page says why.
TEST_F(ConfigPageTest, APutTheServerCannotStoreShowsWhyAndTheBoxesGoBack) {
  std::filesystem::remove(practice_.AppData("korvex.ini"));
  std::filesystem::create_directories(practice_.AppData("korvex.ini"));
  Open();
  const bool archive = page_->Archive()->isChecked();
  QTest::mouseClick(page_->Archive(), Qt::LeftButton);
  EXPECT_EQ(page_->Archive()->isChecked(), archive);
  EXPECT_EQ(link_->Get("withArchive").toBool(), archive);
  ASSERT_TRUE(page_->Notice()->isVisible());
  EXPECT_THAT(page_->Notice()->text().toStdString(), ::testing::StartsWith("Archivieren: the settings cannot be stored: "));
  EXPECT_THAT(page_->Notice()->text().toStdString(), HasSubstr("could not be read"));

  QLineEdit* filter = Edit(ConfigPage::kZsrFilter);
  Type(filter, "P1");
  QTest::keyClick(filter, Qt::Key_Return);
  EXPECT_TRUE(page_->Refused(ConfigPage::kZsrFilter));
  EXPECT_THAT(page_->Notice()->text().toStdString(), HasSubstr("could not be read"));
  EXPECT_EQ(Property("zsrDownFilter"), "");
  EXPECT_TRUE(std::filesystem::is_directory(practice_.AppData("korvex.ini")));
}

TEST_F(ConfigPageTest, TheZsrFilterIsSavedTrimmedAndErasingItSavesTheEmptyFilter) {
  Open();
  QLineEdit* edit = Edit(ConfigPage::kZsrFilter);
  Type(edit, "  P123456 ");
  Settle();
  EXPECT_EQ(Saved("zsrDownFilter"), "*");
  QTest::keyClick(edit, Qt::Key_Return);
  EXPECT_EQ(Property("zsrDownFilter"), "P123456");
  EXPECT_EQ(edit->text(), "P123456");
  Type(edit, "");
  page_->TrustCenters()->setFocus();
  EXPECT_EQ(Property("zsrDownFilter"), "");
  EXPECT_EQ(Saved("zsrDownFilter"), "");
  EXPECT_EQ(edit->text(), "");
}

TEST_F(ConfigPageTest, ThePageFollowsAnotherClientExceptInTheEditTheUserTypesIn) {
  practice_.PreloadToken();
  Open();
  const std::string elsewhere = practice_.Root() + "/anderswo";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"set", "inputDirectory", elsewhere}, {"set", "trustCenter", "TC-SUED"},
        {"set", "withArchive", "false"}, {"set", "asasLogin", kNewLogin.toStdString()},
        {"set", "zsrDownFilter", "P1"}}) {
    Child set = Ctl(args);
    ASSERT_EQ(set.Wait(), 0) << set.Output();
  }
  EXPECT_TRUE(Eventually([&] { return Edit(ConfigPage::kInputDirectory)->text().toStdString() == elsewhere + "/"; }));
  EXPECT_TRUE(Eventually([&] { return page_->TrustCenters()->currentText() == "TC-SUED"; }));
  EXPECT_TRUE(Eventually([&] { return !page_->Archive()->isChecked(); }));
  EXPECT_TRUE(Eventually([&] { return page_->Logins()->currentText() == kNewLogin; }));
  EXPECT_TRUE(Eventually([&] { return Edit(ConfigPage::kZsrFilter)->text() == "P1"; }));

  // Half typed when the other client changes the same directory: the
  // user's text stays.
  QLineEdit* work = Edit(ConfigPage::kWorkDirectory);
  Type(work, QString::fromStdString(practice_.Root() + "/halb"));
  ASSERT_TRUE(work->hasFocus());
  Child set = Ctl({"set", "workDirectory", elsewhere});
  ASSERT_EQ(set.Wait(), 0) << set.Output();
  ASSERT_TRUE(Eventually([&] { return Announced("workDirectory") == 1; }));
  EXPECT_EQ(work->text().toStdString(), practice_.Root() + "/halb");
  // Erased and left: what the other client saved comes back, nothing is
  // sent.
  Type(work, "");
  page_->TrustCenters()->setFocus();
  EXPECT_EQ(work->text().toStdString(), elsewhere + "/");
  Settle();
  EXPECT_EQ(Announced("workDirectory"), 1);
  EXPECT_EQ(Saved("workDir"), elsewhere + "/");
}

}  // namespace
}  // namespace belmor::korvex::ui
