#ifndef KORVEX_UI_NOTIFIER_H_
#define KORVEX_UI_NOTIFIER_H_

#include <QDBusConnection>
#include <QObject>
#include <QString>

namespace belmor::korvex::ui {

// Desktop notifications through the freedesktop notification service on
// the session bus: a run that ended with failed invoices while nobody
// looked at the window. Clicking the notification raises the window. A
// desktop without the service shows nothing.
class Notifier : public QObject {
  Q_OBJECT

 public:
  static constexpr char kService[] = "org.freedesktop.Notifications";

  explicit Notifier(QDBusConnection bus, QObject* parent = nullptr);

  // The text of a notification about failed invoices.
  static QString FailureText(int failedInvoices);
  // Shows it; false when no notification service answered.
  bool Notify(int failedInvoices);

 signals:
  // The user clicked the notification.
  void Activated();

 private slots:
  void OnActionInvoked(uint id, const QString& action);

 private:
  QDBusConnection bus_;
  uint last_ = 0;
};

}  // namespace belmor::korvex::ui

#endif  // KORVEX_UI_NOTIFIER_H_
