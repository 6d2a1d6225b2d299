#ifndef KORVEX_UI_CONFIG_PAGE_H_
#define KORVEX_UI_CONFIG_PAGE_H_

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <array>
#include <functional>

namespace belmor::korvex::ui {

class ServerLink;

// The entry of the trust-center box that shows the selected center: the
// first that begins with its name, ignoring case. -1 when the name is empty
// or no entry fits.
int SelectTrustCenter(const QStringList& items, const QString& center);

// The entry of the HIN-login box that shows the stored login: the one equal
// to it, ignoring case; else the first that begins with the login up to its
// first blank, or, for a login without a blank, with the login and one
// blank. -1 when the login is empty or no entry fits.
int SelectLogin(const QStringList& items, const QString& login);

// The configuration page: trust center, the invoice, response and work
// directories, the ZSR filter of the response download, archiving and the
// HIN login, each edited straight on the server, which saves it in
// korvex.ini. There is no "save": a choice in a box or the check box goes
// to the server at once, an edit when its editing ends (Enter, the focus
// moving to another control, a browse result), so a half-typed path never
// reaches the settings file; the window losing the focus or closing ends no
// editing. A value the server refuses leaves the edit red with the
// reason as its tooltip, and the reason stands in the notice line at the
// foot of the page (a refused box or check box shows it there too, the box
// back at the saved value); the saved value stays what it was. The notice
// goes when the control it names takes a value. The page follows what other
// clients change, except in the edit the user is typing in.
class ConfigPage : public QWidget {
  Q_OBJECT

 public:
  // Asks the user for a folder, starting at start; empty when none was
  // chosen. The default is the desktop's folder dialog.
  using BrowseFolder = std::function<QString(QWidget* parent, const QString& start)>;

  // The edits, in the order of the page.
  enum Edit { kInputDirectory, kOutputDirectory, kWorkDirectory, kZsrFilter, kEditCount };

  ConfigPage(ServerLink& server, QWidget* parent);

  void SetBrowseFolder(BrowseFolder browse) { browse_ = std::move(browse); }

  QComboBox* TrustCenters() const { return centers_; }
  QLineEdit* EditField(Edit edit) const { return fields_[edit].edit; }
  // The "Durchsuchen..." button of a directory edit; none for the filter.
  QPushButton* BrowseButton(Edit edit) const { return fields_[edit].browse; }
  QCheckBox* Archive() const { return archive_; }
  QComboBox* Logins() const { return logins_; }
  // True while the edit shows a value the server did not take.
  bool Refused(Edit edit) const { return fields_[edit].refused; }
  // Why the server refused the latest value it did not take; hidden when
  // there is nothing to say.
  QLabel* Notice() const { return notice_; }

  // Reads every value from the server again, the boxes' lists too; an edit
  // the user is typing in keeps its text.
  void Refresh();

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Field {
    const char* property = nullptr;
    // The string of the edit's label, which names it in the notice.
    int label = 0;
    // The filter may be empty (no filter); a directory never is.
    bool allowEmpty = false;
    QLineEdit* edit = nullptr;
    QPushButton* browse = nullptr;
    // The value the server holds, as far as the page knows.
    QString saved;
    bool refused = false;
  };

  void AddEdit(Edit edit, const char* property, int label, bool allowEmpty);
  // Editing ended: sends what the user typed since the last time.
  void Finish(Field& field);
  void Browse(Field& field);
  void Put(Field& field, const QString& text);
  // The server's value into the field; the text too unless the user is
  // typing in it.
  void Load(Field& field);
  void Show(Field& field, const QString& value);
  void MarkRefused(Field& field, const QString& reason);
  // The notice for the control named by the string label: the server's
  // reason, or none when reason is empty (only the control's own notice is
  // taken away).
  void ShowNotice(const void* control, int label, const QString& reason);
  static bool Editing(const Field& field);

  void ChooseCenter(int index);
  void ChooseLogin(int index);
  void SetArchive(bool checked);
  void LoadCenters();
  void LoadLogins();
  void LoadArchive();
  void OnPropertiesChanged(const QStringList& names);

  ServerLink& server_;
  BrowseFolder browse_;
  QComboBox* centers_;
  std::array<Field, kEditCount> fields_;
  QCheckBox* archive_;
  QComboBox* logins_;
  QLabel* notice_;
  // The control the notice speaks of.
  const void* noticeOwner_ = nullptr;
};

}  // namespace belmor::korvex::ui

#endif  // KORVEX_UI_CONFIG_PAGE_H_
