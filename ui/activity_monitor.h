#ifndef KORVEX_UI_ACTIVITY_MONITOR_H_
#define KORVEX_UI_ACTIVITY_MONITOR_H_

#include <cstdint>
#include <functional>

#include "ui/event_receiver.h"

namespace belmor::korvex::ui {

// Locks the run buttons while a run works. Without an awaited origin a
// step's start report locks them and its completion report unlocks them; an
// Auto run awaits the send step's completion, so the steps between do not
// unlock them early.
class ActivityMonitor : public EventReceiver {
 public:
  // enableButtons(false) locks the run buttons, (true) unlocks them.
  ActivityMonitor(KorvexEventsHandler& handler, std::function<void(bool)> enableButtons);

  // The origin whose completion report unlocks the buttons; -1 for none.
  void Await(int32_t origin) { awaited_ = origin; }
  int32_t Awaited() const { return awaited_; }

  void OnEvent(const Report& report) override;

 private:
  std::function<void(bool)> enableButtons_;
  int32_t awaited_ = -1;
};

}  // namespace belmor::korvex::ui

#endif  // KORVEX_UI_ACTIVITY_MONITOR_H_
