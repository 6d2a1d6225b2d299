#ifndef KORVEX_UI_SERVER_LINK_H_
#define KORVEX_UI_SERVER_LINK_H_

#include <QDBusConnection>
#include <QDBusError>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>

#include "ui/event_receiver.h"

class ChBelmorKorvexIKorvexInterface;
class QDBusServiceWatcher;
class QTimer;

namespace belmor::korvex::ui {

// The monitor's one automation object on the server, reached over the
// session bus, and the reports it sends. The server may go away (killed,
// crashed): the link says so once, and makes a new object when the server
// is back, either because a call activates it again or because its name
// reappears on the bus. Lives on the monitor's thread; calls block until
// the server answers.
class ServerLink : public QObject {
  Q_OBJECT

 public:
  static constexpr char kService[] = "ch.belmor.Korvex";

  ServerLink(QDBusConnection bus, KorvexEventsHandler& events, QObject* parent = nullptr);
  // Releases the object, so that the server can end.
  ~ServerLink() override;

  // Creates the object (the bus starts the server for it), subscribes to its
  // reports and asks for the response reports too. False, with the reason
  // in LastError(), when the server cannot be reached.
  bool Connect();
  bool Connected() const { return korvex_ != nullptr; }
  const QDBusError& LastError() const { return lastError_; }

  // A property; an invalid value when the call failed (LastError() says why).
  QVariant Get(const QString& name);
  // A text property, empty when the call failed.
  QString Text(const QString& name);
  bool Set(const QString& name, const QVariant& value);
  // A method of the object (Auto, Read, ..., Cancel). Without an object, or
  // when the server went away since, a new object is made first.
  bool Call(const QString& method, const QVariantList& arguments = {});

 signals:
  // Properties another client (or this one) changed.
  void PropertiesChanged(const QStringList& names);
  // The server left the bus while the monitor held an object.
  void ServerLost();
  // A new object after the server came back.
  void ServerBack();

 private slots:
  void OnKorvexEvent(int level, int mclass, int origin, int code, const QString& filename, const QString& msg);
  void OnPropertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList& invalidated);
  void OnOwnerChanged(const QString& service, const QString& oldOwner, const QString& newOwner);

 private:
  void Forget();
  bool Fail(const QDBusError& error);
  // Tries again to reach a server that went away, less often each time.
  void Retry();

  QDBusConnection bus_;
  KorvexEventsHandler& events_;
  std::unique_ptr<ChBelmorKorvexIKorvexInterface> korvex_;
  QString path_;
  QDBusServiceWatcher* watcher_;
  QTimer* retry_;
  int retryMs_ = 0;
  QDBusError lastError_;
  bool lost_ = false;
};

}  // namespace belmor::korvex::ui

#endif  // KORVEX_UI_SERVER_LINK_H_
