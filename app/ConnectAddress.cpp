#include "app/ConnectAddress.h"

namespace dialvo {

QString ConnectAddress::HistoryEntry() const {
  return port == kDefaultCallPort ? host : QStringLiteral("%1:%2").arg(host).arg(port);
}

std::optional<ConnectAddress> ParseConnectAddress(const QString& text, QString* error) {
  const QStringList tokens = text.trimmed().split(QLatin1Char(':'), Qt::SkipEmptyParts);
  ConnectAddress address;
  if (tokens.size() >= 2) {
    bool ok = false;
    const uint port = tokens[1].trimmed().toUInt(&ok);
    if (!ok || port == 0 || port > 65535) {
      if (error != nullptr) *error = QStringLiteral("The port specified is invalid");
      return std::nullopt;
    }
    address.port = port;
  }
  if (!tokens.isEmpty()) address.host = tokens[0].trimmed();
  if (address.host.isEmpty()) {
    if (error != nullptr) *error = QStringLiteral("Enter IP Address/Host name of the computer");
    return std::nullopt;
  }
  return address;
}

bool IsStorableHost(const QString& host) {
  for (const QChar c : host) {
    if (c.isSpace()) return false;
  }
  return !host.isEmpty();
}

QStringList AddToIpHistory(const QStringList& history, const QString& entry) {
  QStringList out;
  for (const QString& old : history) {
    if (old.compare(entry, Qt::CaseInsensitive) != 0) out.append(old);
  }
  out.append(entry);
  while (out.size() > kIpHistoryEntries) out.removeFirst();
  return out;
}

}  // namespace dialvo
