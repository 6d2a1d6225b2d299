#include "ui/notifier.h"

#include <QDBusMessage>
#include <QDBusReply>
#include <QStringList>
#include <QVariantMap>

#include "ui/strings.h"

namespace belmor::korvex::ui {

namespace {
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";
}  // namespace

Notifier::Notifier(QDBusConnection bus, QObject* parent) : QObject(parent), bus_(bus) {
  bus_.connect(kService, kPath, kInterface, "ActionInvoked", this, SLOT(OnActionInvoked(uint, QString)));
}

QString Notifier::FailureText(int failedInvoices) {
  return failedInvoices == 1 ? Text(162) : Text(163).arg(failedInvoices);
}

bool Notifier::Notify(int failedInvoices) {
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
  // The earlier notification is replaced: only the latest run matters.
  call << Text(110) << last_ << QString("dialog-warning") << Text(110) << FailureText(failedInvoices)
       << QStringList{"default", Text(164)} << QVariantMap{{"urgency", QVariant::fromValue(uchar(1))}} << int(-1);
  const QDBusReply<uint> reply = bus_.call(call, QDBus::Block, 5000);
  if (!reply.isValid()) return false;
  last_ = reply.value();
  return true;
}

void Notifier::OnActionInvoked(uint id, const QString&) {
  if (id == last_ && id != 0) emit Activated();
}

}  // namespace belmor::korvex::ui
