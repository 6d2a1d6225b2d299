#include "ui/monitor_fixture.h"

#include <QElapsedTimer>
#include <QImage>
#include <QTest>
#include <cstdlib>

namespace belmor::korvex::ui {

QApplication& App() {
  static int argc = 1;
  static char name[] = "monitor_test";
  static char* argv[] = {name, nullptr};
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static QApplication app(argc, argv);
  return app;
}

bool Eventually(const std::function<bool()>& condition, int limitMs) {
  QElapsedTimer timer;
  timer.start();
  while (!condition()) {
    if (timer.elapsed() > limitMs) return false;
    QTest::qWait(20);
  }
  return true;
}

}  // namespace belmor::korvex::ui
