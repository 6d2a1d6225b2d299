#ifndef KORVEX_UI_MAIN_WINDOW_H_
#define KORVEX_UI_MAIN_WINDOW_H_

#include <QPushButton>
#include <QString>
#include <QTabWidget>
#include <QWidget>
#include <functional>

#include "ui/event_receiver.h"

class QSvgRenderer;

namespace belmor::korvex::ui {

class DetailsPage;
class InfoPage;
class Notifier;
class OverviewPage;
class ServerLink;

// The band at the top of the main window: the logo at the left, the trust
// center centred and the HIN login at the right, large and gray. Reads both
// texts from the server whenever it paints.
class HeaderBand : public QWidget {
  Q_OBJECT

 public:
  HeaderBand(ServerLink& server, QWidget* parent);

  QSize sizeHint() const override;
  // The texts as the band shows them: the login only when it does not begin
  // with "<" (the entry that stands for a new login).
  QString CenterText() const { return center_; }
  QString LoginText() const { return login_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  ServerLink& server_;
  QSvgRenderer* logo_;
  QString center_;
  QString login_;
};

// The monitor's main window: header band, the four tab pages and the
// buttons "InputGate Log", "Hilfe" and "Beenden".
class MainWindow : public QWidget {
  Q_OBJECT

 public:
  MainWindow(ServerLink& server, KorvexEventsHandler& events, Notifier* notifier);

  OverviewPage* Overview() const { return overview_; }
  DetailsPage* Details() const { return details_; }
  InfoPage* Info() const { return info_; }
  HeaderBand* Header() const { return header_; }
  QTabWidget* Tabs() const { return tabs_; }
  QPushButton* LogButton() const { return log_; }
  QPushButton* HelpButton() const { return help_; }
  QPushButton* QuitButton() const { return quit_; }

  // The text "Hilfe" shows: string 117, with the telephone number when it
  // has at least four characters.
  QString HelpText() const;
  // Brings the window to the front, restoring it when it is minimised.
  void Raise();

 private:
  void ShowHelp();
  void OpenGateLog();
  void OnServerLost();
  void OnServerBack();
  void OnRunEnded(int failedInvoices);

  ServerLink& server_;
  Notifier* notifier_;
  HeaderBand* header_;
  QTabWidget* tabs_;
  OverviewPage* overview_;
  DetailsPage* details_;
  InfoPage* info_;
  QPushButton* log_;
  QPushButton* help_;
  QPushButton* quit_;
};

}  // namespace belmor::korvex::ui

#endif  // KORVEX_UI_MAIN_WINDOW_H_
