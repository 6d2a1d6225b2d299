#include "ui/activity_monitor.h"

#include <utility>

#include "logging/report.h"

namespace belmor::korvex::ui {

ActivityMonitor::ActivityMonitor(KorvexEventsHandler& handler, std::function<void(bool)> enableButtons)
    : EventReceiver(handler), enableButtons_(std::move(enableButtons)) {}

void ActivityMonitor::OnEvent(const Report& report) {
  if (awaited_ >= 0) {
    // Only the step's completion: a count report of one file carries code 1
    // too, and would unlock the buttons in the middle of the send step.
    if (report.mclass == mcModule && report.origin == awaited_ && report.code == 1) {
      enableButtons_(true);
      awaited_ = -1;
    }
    return;
  }
  if (report.mclass == mcModule && (report.code == 0 || report.code == 1)) enableButtons_(report.code == 1);
}

}  // namespace belmor::korvex::ui
