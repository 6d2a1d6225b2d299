// korvexui-screenshots: pictures of the monitor's window for people to look
// at. Opens the window as korvexui does, on the session bus, runs a real
// Auto from its button, then saves every tab at every size given:
//   korvexui-screenshots DIR PREFIX 600x420 1280x800
// writes DIR/PREFIX-600x420-1-uebersicht.png and so on. The text language is
// the user's (LANG), as in korvexui.

#include <QApplication>
#include <QDBusConnection>
#include <QDir>
#include <QElapsedTimer>
#include <QTabWidget>
#include <QThread>
#include <cstdio>

#include "logging/report.h"
#include "ui/details_page.h"
#include "ui/main_window.h"
#include "ui/overview_page.h"
#include "ui/server_link.h"
#include "ui/viewer.h"

using namespace belmor::korvex;
using namespace belmor::korvex::ui;

namespace {

// Hooked before the window, so it hears each report after the window did.
class SendStepEnd : public EventReceiver {
 public:
  using EventReceiver::EventReceiver;
  void OnEvent(const Report& report) override {
    if (report.mclass == mcModule && report.origin == moPSender && report.code == 1) done = true;
  }
  bool done = false;
};

void Settle(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(10);
  }
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 4) {
    std::fprintf(stderr, "usage: korvexui-screenshots DIR PREFIX WIDTHxHEIGHT...\n");
    return 2;
  }
  const QString dir = QString::fromLocal8Bit(argv[1]);
  const QString prefix = QString::fromLocal8Bit(argv[2]);
  QDir().mkpath(dir);

  KorvexEventsHandler events;
  SendStepEnd end(events);
  ServerLink server(QDBusConnection::sessionBus(), events);
  if (!server.Connect()) {
    std::fprintf(stderr, "korvexui-screenshots: no server: %s\n", qPrintable(server.LastError().message()));
    return 1;
  }
  MainWindow window(server, events, nullptr);
  window.resize(600, 420);
  window.show();
  Settle(500);
  window.Overview()->RunButton(0)->click();
  QElapsedTimer timer;
  timer.start();
  while (!end.done && timer.elapsed() < 120000) Settle(100);
  if (!end.done) std::fprintf(stderr, "korvexui-screenshots: the run did not end in time\n");
  Settle(300);

  const char* names[] = {"uebersicht", "details", "konfiguration", "info"};
  for (int i = 3; i < argc; ++i) {
    const QStringList size = QString::fromLocal8Bit(argv[i]).split('x');
    if (size.size() != 2) continue;
    window.resize(size[0].toInt(), size[1].toInt());
    for (int tab = 0; tab < window.Tabs()->count(); ++tab) {
      window.Tabs()->setCurrentIndex(tab);
      // The details page with the newest archive day entered.
      if (window.Tabs()->currentWidget() == window.Details()) {
        window.Details()->Show(DetailsPage::kArchiveDays);
        window.Details()->Activate(0);
      }
      Settle(300);
      const QString file = QString("%1/%2-%3-%4-%5.png").arg(dir, prefix, argv[i]).arg(tab + 1).arg(names[tab]);
      if (!window.grab().save(file)) std::fprintf(stderr, "korvexui-screenshots: cannot write %s\n", qPrintable(file));
      std::printf("%s\n", qPrintable(file));
    }
  }
  // A viewer onto an archived invoice (a Swiss one when there is one) with
  // the day's log lines about it.
  DetailsPage* details = window.Details();
  details->Show(DetailsPage::kArchiveDays);
  details->Activate(0);
  QString chosen;
  for (int row = 1; row < details->List()->count(); ++row) {
    const QString name = details->List()->item(row)->text();
    if (chosen.isEmpty() || (name.startsWith("gir-") && !chosen.startsWith("gir-"))) chosen = name;
  }
  if (!chosen.isEmpty()) {
    const QString path = QDir(server.Text("workDirectory")).filePath("archive/" + details->Day() + "/" + chosen);
    ViewerWindow* viewer = OpenViewer(&window, server, path, details->Day());
    timer.restart();
    while (!viewer->Complete() && timer.elapsed() < 30000) Settle(100);
    Settle(300);
    const QString file = QString("%1/%2-viewer.png").arg(dir, prefix);
    if (!viewer->grab().save(file)) std::fprintf(stderr, "korvexui-screenshots: cannot write %s\n", qPrintable(file));
    std::printf("%s\n", qPrintable(file));
  }
  return 0;
}
