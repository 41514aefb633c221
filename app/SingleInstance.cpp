#include "app/SingleInstance.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>

namespace dialvo {

namespace {
constexpr int kWaitMs = 1000;
constexpr char kWakeWord[] = "wake\n";
}  // namespace

QString SingleInstanceName(const QString& settingsDirectory) {
  const QByteArray key = QDir(settingsDirectory).absolutePath().toUtf8();
  const QByteArray hash =
      QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(12);
  return QStringLiteral("orvanta-dialvo-%1-%2").arg(getuid()).arg(QString::fromLatin1(hash));
}

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent), name_(std::move(name)) {
  // Only this user may wake the program.
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  connect(&server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        if (socket->readAll().contains('\n')) emit wakeUp();
        socket->disconnectFromServer();
      });
    }
  });
}

bool SingleInstance::WakeOther() {
  QLocalSocket socket;
  socket.connectToServer(name_);
  if (!socket.waitForConnected(kWaitMs)) return false;
  socket.write(kWakeWord);
  socket.waitForBytesWritten(kWaitMs);
  socket.disconnectFromServer();
  return true;
}

bool SingleInstance::Claim(QString* error) {
  if (WakeOther()) return false;
  // Nobody answers: whatever socket file is there is a crash's leftover.
  QLocalServer::removeServer(name_);
  if (server_.listen(name_)) return true;
  // Another start won the race a moment ago.
  if (WakeOther()) return false;
  if (error != nullptr) *error = server_.errorString();
  return true;  // run alone rather than not at all
}

}  // namespace dialvo
