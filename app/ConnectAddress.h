#pragma once
// What the connect page's address box means, and its history. Pure functions:
// no widgets, no settings file.
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace dialvo {

inline constexpr uint32_t kDefaultCallPort = 1720;
inline constexpr int kIpHistoryEntries = 10;

struct ConnectAddress {
  QString host;
  uint32_t port = kDefaultCallPort;
  // The text kept in the history: "host:port", or the host alone on 1720.
  QString HistoryEntry() const;
};

// "host[:port]": blanks around the text are ignored, runs of ':' separate
// tokens and leading ones are skipped, tokens after the port are ignored.
// The port must be 1..65535. On failure error holds the message to show.
std::optional<ConnectAddress> ParseConnectAddress(const QString& text, QString* error);

// Appends entry as the most recent one (dropping an equal entry regardless of
// letter case) and keeps the kIpHistoryEntries most recent, oldest first.
QStringList AddToIpHistory(const QStringList& history, const QString& entry);

// A host name with a blank inside cannot be resolved; it is not kept.
bool IsStorableHost(const QString& host);

}  // namespace dialvo
