#ifndef KORVEX_UI_OVERVIEW_PAGE_H_
#define KORVEX_UI_OVERVIEW_PAGE_H_

#include <QListWidget>
#include <QPushButton>
#include <QSet>
#include <QString>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>

#include "ui/activity_monitor.h"
#include "ui/event_receiver.h"
#include "ui/list_box_event_receiver.h"
#include "ui/prog_bar.h"

namespace belmor::korvex::ui {

class ServerLink;

// The page where the practice starts runs and follows them: a button per
// processing method, the cancel button, the five-segment progress bar and
// the message list. Everything it shows about a run comes from the server's
// reports; the calls return at once.
class OverviewPage : public QWidget {
  Q_OBJECT

 public:
  // Asks the user before invoices go out; true means go on. The default asks
  // in a message box.
  using Confirm = std::function<bool(const QString& text)>;

  OverviewPage(ServerLink& server, KorvexEventsHandler& events, QWidget* parent);
  ~OverviewPage() override;

  void SetConfirm(Confirm confirm) { confirm_ = std::move(confirm); }

  // The run buttons: Auto, Einlesen, Überprüfen, Anonymisieren,
  // Senden/Empfangen, Auslesen; then Abbrechen.
  QPushButton* RunButton(int index) const { return buttons_[index]; }
  QPushButton* CancelButton() const { return cancel_; }
  QListWidget* Messages() const { return list_; }
  ProgBar* Progress() const { return progress_; }
  const ActivityMonitor& Activity() const { return *activity_; }

  // The run buttons on or off; Abbrechen always stays on.
  void EnableRunButtons(bool enable);
  // A line about the monitor itself (a failed call, the server gone).
  void AddLine(const QString& line);
  // The server left the bus: said in the list, run buttons off until it is
  // back.
  void ServerLost();
  void ServerBack();

 signals:
  // A double click on a line that names a file.
  void FileActivated(const QString& fileName);
  // The run buttons were unlocked after a run; failedInvoices counts the
  // files with error reports since they were locked.
  void RunEnded(int failedInvoices);

 private:
  void Run(const QString& method, bool confirm);
  void RunAuto();
  void CancelRun();
  // True when invoices may go out: asks only for the participant number
  // "69", naming the trust center.
  bool Confirmed();
  void ReportFailure();

  // Counts the files with error reports of the run that works.
  class FailureCounter : public EventReceiver {
   public:
    using EventReceiver::EventReceiver;
    void OnEvent(const Report& report) override;
    void Reset() { files_.clear(); }
    int Count() const { return static_cast<int>(files_.size()); }

   private:
    QSet<QString> files_;
  };

  ServerLink& server_;
  std::array<QPushButton*, 6> buttons_{};
  QPushButton* cancel_;
  ProgBar* progress_;
  QListWidget* list_;
  // Created list first, activity monitor last, so that each report reaches
  // the activity monitor, then the progress bar, then the list.
  std::unique_ptr<FailureCounter> failures_;
  std::unique_ptr<ListBoxEventReceiver> listWriter_;
  std::unique_ptr<ActivityMonitor> activity_;
  Confirm confirm_;
  bool locked_ = false;
};

}  // namespace belmor::korvex::ui

#endif  // KORVEX_UI_OVERVIEW_PAGE_H_
