#include "ui/list_box_event_receiver.h"

#include "logging/report.h"
#include "ui/strings.h"

namespace belmor::korvex::ui {

std::optional<QString> MessageLine(const Report& report) {
  QString line;
  switch (report.mclass) {
    case mcSystem:
      line = "    SYSTEM ";
      break;
    case mcAsas:
      if (report.level == mlDebug || report.level == mlInfo) return std::nullopt;
      line = "    ASAS ";
      break;
    case mcModule:
      if (!(report.level == mlInfo && report.code <= 1)) line = "    ";
      break;
    case mcCount:
      return std::nullopt;
    default:
      line = "    ";
      break;
  }
  if (report.level == mlWarning) line += Text(148) + ": ";
  if (report.level == mlError) line += Text(149) + ": ";
  if (report.level == mlFatal) line += Text(150) + ": ";
  if (!report.fileName.isEmpty()) line += report.fileName + ": ";
  return line + report.message;
}

void AppendLine(QListWidget& list, const QString& line, const QString& fileName) {
  auto* item = new QListWidgetItem(line, &list);
  if (!fileName.isEmpty()) item->setData(kFileNameRole, fileName);
  list.setCurrentItem(item);
  list.scrollToItem(item);
}

ListBoxEventReceiver::ListBoxEventReceiver(KorvexEventsHandler& handler, QListWidget& list)
    : EventReceiver(handler), list_(list) {}

void ListBoxEventReceiver::OnEvent(const Report& report) {
  if (const std::optional<QString> line = MessageLine(report)) AppendLine(list_, *line, report.fileName);
}

}  // namespace belmor::korvex::ui
