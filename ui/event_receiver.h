#ifndef KORVEX_UI_EVENT_RECEIVER_H_
#define KORVEX_UI_EVENT_RECEIVER_H_

#include <QString>
#include <cstdint>
#include <vector>

namespace belmor::korvex::ui {

// One korvexEvent of the server: a report of the session log.
struct Report {
  int32_t level = 0;
  int32_t mclass = 0;
  int32_t origin = 0;
  int32_t code = 0;
  QString fileName;
  QString message;
};

class EventReceiver;

// Hands every report of the server to the hooked receivers, the one hooked
// last first. Lives on the monitor's one thread, as do its receivers.
class KorvexEventsHandler {
 public:
  KorvexEventsHandler() = default;
  KorvexEventsHandler(const KorvexEventsHandler&) = delete;
  KorvexEventsHandler& operator=(const KorvexEventsHandler&) = delete;

  void Dispatch(const Report& report);

 private:
  friend class EventReceiver;
  // Head first: the order in which a report reaches them.
  std::vector<EventReceiver*> receivers_;
};

// A reader of the server's reports. Constructing one hooks it to the head of
// the handler's list, destroying it unhooks it; the handler must outlive it.
class EventReceiver {
 public:
  explicit EventReceiver(KorvexEventsHandler& handler);
  virtual ~EventReceiver();
  EventReceiver(const EventReceiver&) = delete;
  EventReceiver& operator=(const EventReceiver&) = delete;

  virtual void OnEvent(const Report& report) = 0;

 private:
  KorvexEventsHandler& handler_;
};

}  // namespace belmor::korvex::ui

#endif  // KORVEX_UI_EVENT_RECEIVER_H_
