#pragma once
// One running program per user and settings directory. The first instance
// listens on a local socket; a later start connects, asks it to come to the
// front and ends. A socket left behind by a crash is removed, since nobody
// answers on it.
#include <QLocalServer>
#include <QObject>
#include <QString>

namespace dialvo {

// The socket name for a user's settings directory.
QString SingleInstanceName(const QString& settingsDirectory);

class SingleInstance final : public QObject {
  Q_OBJECT
 public:
  explicit SingleInstance(QString name, QObject* parent = nullptr);

  // True when this process is now the one instance. False when another
  // instance was found and told to come to the front (or, rarely, when the
  // socket could not be made; error says so).
  bool Claim(QString* error = nullptr);

 signals:
  // A later start asked this instance to come to the front.
  void wakeUp();

 private:
  bool WakeOther();
  const QString name_;
  QLocalServer server_;
};

}  // namespace dialvo
