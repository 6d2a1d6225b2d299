#include "ui/monitor_fixture.h"

#include <QElapsedTimer>
#include <QImage>
#include <QTest>
#include <cstdlib>

namespace belmor::korvex::ui {

namespace {

// The application ends when the tests do, before the exit handlers: Qt's
// own globals are gone by then, and an application destroyed after them
// crashes.
class ApplicationEnvironment : public ::testing::Environment {
 public:
  QApplication& Get() {
    if (!app_) {
      ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
      app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    return *app_;
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[16] = "monitor_test";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};

}  // namespace

QApplication& App() {
  static ApplicationEnvironment* environment = [] {
    auto* made = new ApplicationEnvironment;
    ::testing::AddGlobalTestEnvironment(made);  // gtest owns it
    return made;
  }();
  return environment->Get();
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
