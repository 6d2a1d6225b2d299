// korvexui: the practice's desktop monitor of the Korvex Ordiva server. One
// per user; it drives the server over the session bus and shows its
// reports.

#include <QApplication>
#include <QDBusConnection>
#include <cstdio>

#include "ui/event_receiver.h"
#include "ui/main_window.h"
#include "ui/notifier.h"
#include "ui/server_link.h"
#include "ui/single_instance.h"
#include "ui/strings.h"

using namespace belmor::korvex::ui;

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("korvexui");
  QApplication::setApplicationDisplayName(Text(110));
  QApplication::setDesktopFileName("ch.belmor.Korvex.Monitor");

  SingleInstance instance;
  const SingleInstance::Outcome claim = instance.Claim();
  if (claim == SingleInstance::Outcome::Raised) return 0;
  if (claim == SingleInstance::Outcome::Unguarded)
    std::fprintf(stderr, "korvexui: cannot listen on %s; a second start will open a second window\n",
                 qPrintable(SingleInstance::SocketPath()));

  QDBusConnection bus = QDBusConnection::sessionBus();
  KorvexEventsHandler events;
  ServerLink server(bus, events);
  // Without the server there is nothing to show: the monitor ends quietly,
  // and says why to whoever started it from a terminal.
  if (!bus.isConnected() || !server.Connect()) {
    const QString why = bus.isConnected() ? server.LastError().message() : bus.lastError().message();
    std::fprintf(stderr, "korvexui: the Korvex server is not reachable: %s\n", qPrintable(why));
    return 0;
  }
  Notifier notifier(bus);
  MainWindow window(server, events, &notifier);
  QObject::connect(&instance, &SingleInstance::RaiseRequested, &window, &MainWindow::Raise);
  window.show();
  return app.exec();
}
