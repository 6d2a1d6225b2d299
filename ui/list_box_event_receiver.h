#ifndef KORVEX_UI_LIST_BOX_EVENT_RECEIVER_H_
#define KORVEX_UI_LIST_BOX_EVENT_RECEIVER_H_

#include <QListWidget>
#include <QString>
#include <optional>

#include "ui/event_receiver.h"

namespace belmor::korvex::ui {

// The message list's line for a report, as the practice reads it: step
// start and completion lines flush left, everything else indented, level
// words before the file name. Nothing for the reports the list leaves out
// (counts, ASAS debug and info).
std::optional<QString> MessageLine(const Report& report);

// The item data role that holds a line's file name.
constexpr int kFileNameRole = Qt::UserRole;

// Adds a line to the list, selects it and scrolls it into view. The list
// only grows while the monitor runs.
void AppendLine(QListWidget& list, const QString& line, const QString& fileName = QString());

// Writes every report into the message list.
class ListBoxEventReceiver : public EventReceiver {
 public:
  ListBoxEventReceiver(KorvexEventsHandler& handler, QListWidget& list);
  void OnEvent(const Report& report) override;

 private:
  QListWidget& list_;
};

}  // namespace belmor::korvex::ui

#endif  // KORVEX_UI_LIST_BOX_EVENT_RECEIVER_H_
