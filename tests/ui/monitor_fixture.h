#ifndef KORVEX_TESTS_UI_MONITOR_FIXTURE_H_
#define KORVEX_TESTS_UI_MONITOR_FIXTURE_H_

#include <gtest/gtest.h>

#include <QApplication>
#include <QColor>
#include <QDBusConnection>
#include <QImage>
#include <QListWidget>
#include <QTest>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "logging/report.h"
#include "platform/scoped_env.h"
#include "support/private_bus.h"
#include "support/temp_dir.h"
#include "support/trust_center_sim.h"
#include "ui/event_receiver.h"
#include "ui/main_window.h"
#include "ui/overview_page.h"
#include "ui/server_link.h"
#include "ui/strings.h"

namespace belmor::korvex::ui {

namespace fs = std::filesystem;
using belmor::korvex::e2e::Practice;
using belmor::testing::Child;
using belmor::testing::PrivateBus;
using belmor::testing::RunTool;
using belmor::testing::ScopedEnv;
using belmor::testing::TempDir;
using belmor::testing::TrustCenterSim;

// The test program's one application object (offscreen unless the
// environment names another platform).
QApplication& App();

// Runs the event loop until the condition holds or the limit passes.
bool Eventually(const std::function<bool()>& condition, int limitMs = 60000);

// The window of the monitor against the real server: a private bus with
// the server registered for this user, the test trust center, a practice.

// Hooked before the window's receivers, so it hears each report after them:
// what the buttons were once the window had seen the report.
class Recorder : public EventReceiver {
 public:
  struct Entry {
    Report report;
    bool buttonsEnabled;
  };
  Recorder(KorvexEventsHandler& events, std::function<bool()> buttonsEnabled)
      : EventReceiver(events), buttonsEnabled_(std::move(buttonsEnabled)) {}
  void OnEvent(const Report& report) override { entries.push_back({report, buttonsEnabled_()}); }
  // True once the step of origin reported its completion.
  bool Completed(int32_t origin) const {
    for (const Entry& e : entries)
      if (e.report.mclass == mcModule && e.report.origin == origin && e.report.code == 1) return true;
    return false;
  }
  std::vector<Entry> entries;

 private:
  std::function<bool()> buttonsEnabled_;
};

class MonitorTest : public ::testing::Test {
 protected:
  MonitorTest() {
    App();
    SetLanguage(Language::German);
    practice_.WriteSettings();
  }
  ~MonitorTest() override {
    recorder_.reset();
    window_.reset();
    link_.reset();
  }

  // The bus with the server registered for this user; the first object
  // starts it.
  void StartBus() {
    bus_ = std::make_unique<PrivateBus>();
    ASSERT_TRUE(bus_->RegisterServer(KORVEX_SERVER_PROGRAM));
  }
  // The monitor as its program starts it, on the private bus.
  void StartMonitor(Notifier* notifier = nullptr) {
    if (!bus_) StartBus();
    static int connections = 0;
    QDBusConnection connection = QDBusConnection::connectToBus(
        QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS")), "monitor" + QString::number(++connections));
    ASSERT_TRUE(connection.isConnected());
    link_ = std::make_unique<ServerLink>(connection, events_);
    ASSERT_TRUE(link_->Connect()) << link_->LastError().message().toStdString();
    recorder_ = std::make_unique<Recorder>(events_, [this] { return RunButtonsEnabled(); });
    window_ = std::make_unique<MainWindow>(*link_, events_, notifier);
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  }

  OverviewPage& Page() const { return *window_->Overview(); }
  bool RunButtonsEnabled() const {
    if (!window_) return true;
    for (int i = 0; i < 6; ++i)
      if (!Page().RunButton(i)->isEnabled()) return false;
    return true;
  }
  bool RunButtonsDisabled() const {
    for (int i = 0; i < 6; ++i)
      if (Page().RunButton(i)->isEnabled()) return false;
    return true;
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    for (int i = 0; i < Page().Messages()->count(); ++i)
      lines.push_back(Page().Messages()->item(i)->text().toStdString());
    return lines;
  }
  bool HasLine(const std::string& part) const {
    for (const std::string& line : Lines())
      if (line.find(part) != std::string::npos) return true;
    return false;
  }
  bool LastLineSelected() const {
    const QListWidget* list = Page().Messages();
    return list->count() > 0 && list->currentRow() == list->count() - 1;
  }
  // The colour painted in the middle of a segment of the progress bar.
  QColor SegmentColour(int segment) const {
    const QImage image = Page().Progress()->grab().toImage();
    const int s = (image.width() + 2) / 5;
    return image.pixelColor(segment * s + s / 2, image.height() / 2);
  }
  void AddInvoices(int count) {
    practice_.PreloadToken();
    for (int n = 1; n <= count; ++n) practice_.AddInvoice(n);
  }
  // Another client: korvexctl with its arguments.
  Child Ctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{KORVEXCTL_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    return Child(argv, out_.Sub("ctl-" + std::to_string(++calls_) + ".out"));
  }

  TrustCenterSim sim_;
  Practice practice_{sim_};
  TempDir data_;
  ScopedEnv dataHome_{"XDG_DATA_HOME", data_.path()};
  TempDir out_;
  int calls_ = 0;
  std::unique_ptr<PrivateBus> bus_;
  KorvexEventsHandler events_;
  std::unique_ptr<ServerLink> link_;
  std::unique_ptr<Recorder> recorder_;
  std::unique_ptr<MainWindow> window_;
};

}  // namespace belmor::korvex::ui

#endif  // KORVEX_TESTS_UI_MONITOR_FIXTURE_H_
