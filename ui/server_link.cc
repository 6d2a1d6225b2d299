#include "ui/server_link.h"

#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QTimer>
#include <algorithm>

#include "korvex_interface.h"

namespace belmor::korvex::ui {

namespace {

constexpr char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";
constexpr char kKorvexInterface[] = "ch.belmor.Korvex.IKorvex";
// The first object may wait for the server to start and load its
// configuration.
constexpr int kCreateTimeoutMs = 60000;
// Any other call: the server answers at once, runs work on threads of their
// own. A server that hangs must not freeze the window for long.
constexpr int kCallTimeoutMs = 10000;
constexpr int kFirstRetryMs = 2000;
constexpr int kLastRetryMs = 30000;

}  // namespace

ServerLink::ServerLink(QDBusConnection bus, KorvexEventsHandler& events, QObject* parent)
    : QObject(parent),
      bus_(bus),
      events_(events),
      watcher_(new QDBusServiceWatcher(kService, bus_, QDBusServiceWatcher::WatchForOwnerChange, this)),
      retry_(new QTimer(this)) {
  connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this, &ServerLink::OnOwnerChanged);
  retry_->setSingleShot(true);
  connect(retry_, &QTimer::timeout, this, &ServerLink::Retry);
}

ServerLink::~ServerLink() {
  if (korvex_ && !lost_) {
    // Short: a server that hangs must not keep the monitor from ending.
    korvex_->setTimeout(5000);
    korvex_->Release().waitForFinished();
  }
}

bool ServerLink::Fail(const QDBusError& error) {
  lastError_ = error;
  return false;
}

bool ServerLink::Connect() {
  Forget();
  ChBelmorKorvexFactoryInterface factory(kService, "/ch/belmor/Korvex", bus_);
  factory.setTimeout(kCreateTimeoutMs);
  QDBusPendingReply<QDBusObjectPath> created = factory.CreateInstance();
  created.waitForFinished();
  if (created.isError()) return Fail(created.error());
  path_ = created.value().path();
  korvex_ = std::make_unique<ChBelmorKorvexIKorvexInterface>(kService, path_, bus_);
  korvex_->setTimeout(kCallTimeoutMs);
  connect(korvex_.get(), &ChBelmorKorvexIKorvexInterface::korvexEvent, this, &ServerLink::OnKorvexEvent);
  bus_.connect(kService, path_, kPropertiesInterface, "PropertiesChanged", this,
               SLOT(OnPropertiesChanged(QString, QVariantMap, QStringList)));
  lost_ = false;
  retry_->stop();
  retryMs_ = 0;
  // The monitor shows the response download and delivery too.
  Set("responseMessagesEnabled", true);
  // Someone sits at the monitor: its runs may ask whether to update.
  Set("interactive", true);
  return true;
}

void ServerLink::Forget() {
  if (!korvex_) return;
  bus_.disconnect(kService, path_, kPropertiesInterface, "PropertiesChanged", this,
                  SLOT(OnPropertiesChanged(QString, QVariantMap, QStringList)));
  korvex_.reset();
  path_.clear();
}

QVariant ServerLink::Get(const QString& name) {
  if (!korvex_ || lost_) {
    lastError_ = QDBusError(QDBusError::Disconnected, "the server is not reachable");
    return QVariant();
  }
  QDBusMessage call = QDBusMessage::createMethodCall(kService, path_, kPropertiesInterface, "Get");
  call << QString(kKorvexInterface) << name;
  const QDBusReply<QDBusVariant> reply = bus_.call(call, QDBus::Block, korvex_->timeout());
  if (!reply.isValid()) {
    lastError_ = reply.error();
    return QVariant();
  }
  return reply.value().variant();
}

QString ServerLink::Text(const QString& name) { return Get(name).toString(); }

bool ServerLink::Set(const QString& name, const QVariant& value) {
  if (!korvex_ || lost_) return Fail(QDBusError(QDBusError::Disconnected, "the server is not reachable"));
  QDBusMessage call = QDBusMessage::createMethodCall(kService, path_, kPropertiesInterface, "Set");
  call << QString(kKorvexInterface) << name << QVariant::fromValue(QDBusVariant(value));
  const QDBusMessage reply = bus_.call(call, QDBus::Block, korvex_->timeout());
  if (reply.type() == QDBusMessage::ErrorMessage) return Fail(QDBusError(reply));
  return true;
}

bool ServerLink::Call(const QString& method, const QVariantList& arguments) {
  if (!korvex_ || lost_) {
    const bool wasLost = lost_;
    if (!Connect()) return false;
    if (wasLost) emit ServerBack();
  }
  const QDBusMessage reply = korvex_->callWithArgumentList(QDBus::Block, method, arguments);
  if (reply.type() == QDBusMessage::ErrorMessage) return Fail(QDBusError(reply));
  return true;
}

void ServerLink::OnKorvexEvent(int level, int mclass, int origin, int code, const QString& filename,
                               const QString& msg) {
  events_.Dispatch(Report{level, mclass, origin, code, filename, msg});
}

void ServerLink::OnPropertiesChanged(const QString&, const QVariantMap& changed, const QStringList& invalidated) {
  emit PropertiesChanged(QStringList(changed.keys()) + invalidated);
}

void ServerLink::OnOwnerChanged(const QString&, const QString&, const QString& newOwner) {
  if (newOwner.isEmpty()) {
    // The server ended; an object of the monitor means it was not asked to.
    if (korvex_ && !lost_) {
      lost_ = true;
      emit ServerLost();
      retryMs_ = kFirstRetryMs;
      retry_->start(retryMs_);
    }
    return;
  }
  // Another client brought the server back: take a new object at once.
  if (lost_ && Connect()) emit ServerBack();
}

void ServerLink::Retry() {
  if (!lost_) return;
  // The bus starts the server again for the new object.
  if (Connect()) {
    emit ServerBack();
    return;
  }
  retryMs_ = std::min(retryMs_ * 2, kLastRetryMs);
  retry_->start(retryMs_);
}

}  // namespace belmor::korvex::ui
