#ifndef KORVEX_UI_DETAILS_PAGE_H_
#define KORVEX_UI_DETAILS_PAGE_H_

#include <QListWidget>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <array>
#include <functional>

namespace belmor::korvex::ui {

class ServerLink;

// The page that looks into the directories invoices and responses pass
// through: one list shows one directory at a time; a double click enters a
// day or opens a file in the viewer; "Löschen" moves an entry to the trash.
class DetailsPage : public QWidget {
  Q_OBJECT

 public:
  // What the list shows.
  enum State {
    kNone = -1,
    kInvoices = 0,      // the invoice directory's files
    kArchiveDays = 1,   // the days of the archive, newest first
    kArchiveDay = 2,    // one archive day
    kResponses = 3,     // responses not yet delivered
    kResponseDays = 4,  // the days of the response archive
    kResponseDay = 5,   // one response-archive day
    kErrorDays = 6,     // the days of the error directory
    kErrorDay = 7,      // one error day
    kLogs = 8,          // the session logs, by day
  };
  // The entry that stands for going back from a day.
  static constexpr char kBack[] = "..";

  // Asks before an entry goes to the trash; true means go on.
  using Confirm = std::function<bool(const QString& path)>;
  // Opens the viewer for an invoice (empty for none) with a session log
  // named by its day (empty for none).
  using Open = std::function<void(const QString& invoicePath, const QString& logName)>;

  DetailsPage(ServerLink& server, Open open, QWidget* parent);

  void SetConfirm(Confirm confirm) { confirm_ = std::move(confirm); }

  State CurrentState() const { return state_; }
  const QString& Day() const { return day_; }
  QListWidget* List() const { return list_; }
  // The six list buttons in the order of their states 0, 1, 6, 3, 4, 8:
  // "Noch nicht gesendet", "Archiv", "Fehler", "Noch nicht ausgelesen",
  // "Archiv", "Logs".
  QPushButton* ListButton(int index) const { return buttons_[index]; }
  QPushButton* DeleteButton() const { return delete_; }

  // Fills the list for a state of the first column of the table above.
  void Show(State state);
  // A double click on the entry of that row.
  void Activate(int row);
  // "Löschen" on the selected entry.
  void DeleteSelected();

 private:
  QString Work(const QString& sub) const;
  void Fill(const QStringList& names);
  void EnterDay(const QString& day, State state);
  // The path "Löschen" removes for an entry, empty when it removes nothing.
  QString DeletePath(const QString& name) const;

  ServerLink& server_;
  Open open_;
  Confirm confirm_;
  std::array<QPushButton*, 6> buttons_{};
  QPushButton* delete_;
  QListWidget* list_;
  State state_ = kNone;
  QString day_;
};

}  // namespace belmor::korvex::ui

#endif  // KORVEX_UI_DETAILS_PAGE_H_
