#include "ui/event_receiver.h"

#include <algorithm>

namespace belmor::korvex::ui {

void KorvexEventsHandler::Dispatch(const Report& report) {
  // A copy: a receiver may go while the report travels (a page closing).
  const std::vector<EventReceiver*> receivers = receivers_;
  for (EventReceiver* receiver : receivers) {
    if (std::find(receivers_.begin(), receivers_.end(), receiver) != receivers_.end()) receiver->OnEvent(report);
  }
}

EventReceiver::EventReceiver(KorvexEventsHandler& handler) : handler_(handler) {
  handler_.receivers_.insert(handler_.receivers_.begin(), this);
}

EventReceiver::~EventReceiver() {
  auto& list = handler_.receivers_;
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

}  // namespace belmor::korvex::ui
