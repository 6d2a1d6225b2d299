#include "ui/single_instance.h"

#include <unistd.h>

#include <QDir>
#include <QLocalSocket>

namespace belmor::korvex::ui {

namespace {
constexpr char kRaise[] = "raise\n";
constexpr int kWaitMs = 5000;
}  // namespace

QString SingleInstance::SocketPath() {
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir(QString::fromLocal8Bit(runtime)).exists())
    return QString::fromLocal8Bit(runtime) + "/korvexui";
  return QDir::tempPath() + "/korvexui-" + QString::number(::geteuid());
}

SingleInstance::SingleInstance(QObject* parent) : QObject(parent), server_(new QLocalServer(this)) {
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  connect(server_, &QLocalServer::newConnection, this, &SingleInstance::OnConnection);
}

SingleInstance::Outcome SingleInstance::Claim() {
  const QString path = SocketPath();
  // Two starts at the same moment: the lock lets one of them look and
  // listen before the other looks.
  lock_ = std::make_unique<QLockFile>(path + ".lock");
  lock_->setStaleLockTime(0);
  lock_->lock();
  QLocalSocket first;
  first.connectToServer(path);
  if (first.waitForConnected(kWaitMs)) {
    first.write(kRaise);
    first.waitForBytesWritten(kWaitMs);
    // The first one reads before it closes, so the request is not lost.
    first.waitForDisconnected(kWaitMs);
    lock_->unlock();
    return Outcome::Raised;
  }
  // Nobody answers: a socket file left by a monitor that died is removed.
  QLocalServer::removeServer(path);
  const bool listening = server_->listen(path);
  lock_->unlock();
  return listening ? Outcome::First : Outcome::Unguarded;
}

void SingleInstance::OnConnection() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (socket->readAll().contains("raise")) emit RaiseRequested();
      socket->disconnectFromServer();
    });
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
  }
}

}  // namespace belmor::korvex::ui
