#include "app/ConferenceModel.h"

namespace dialvo {

void PeerStats::AddRoundTrip(uint32_t roundTripMs, uint64_t nowTick) {
  shownDelay = static_cast<int>(roundTripMs / 2);
  lastReportTick = nowTick;
  if (roundTripMs < kMinDelaySample || roundTripMs >= kMaxDelaySample) return;
  lastDelay = roundTripMs;
  delaySum += roundTripMs;
  ++delayCount;
  if (roundTripMs > largestDelay) largestDelay = roundTripMs;
  if (roundTripMs < smallestDelay) smallestDelay = roundTripMs;
}

int ConferenceModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ConferenceModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumns;
}

QVariant ConferenceModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || role != Qt::DisplayRole) return {};
  const PeerStats& row = rows_[static_cast<size_t>(index.row())];
  if (index.column() == kConnectedTo) return row.userName;
  if (row.shownDelay < 0) return QString();
  return QString::number(row.shownDelay);
}

QVariant ConferenceModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  return section == kConnectedTo ? QStringLiteral("Connected To") : QStringLiteral("Delay [ms]");
}

void ConferenceModel::Append(const PeerStats& row) {
  const int at = static_cast<int>(rows_.size());
  beginInsertRows({}, at, at);
  rows_.push_back(row);
  endInsertRows();
}

int ConferenceModel::RowOf(uintptr_t connection) const {
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (rows_[i].connection == connection) return static_cast<int>(i);
  }
  return -1;
}

void ConferenceModel::Remove(int row) {
  if (row < 0 || row >= rowCount()) return;
  beginRemoveRows({}, row, row);
  rows_.erase(rows_.begin() + row);
  endRemoveRows();
}

void ConferenceModel::Clear() {
  if (rows_.empty()) return;
  beginResetModel();
  rows_.clear();
  endResetModel();
}

void ConferenceModel::Touch(int row) { emit dataChanged(index(row, 0), index(row, kColumns - 1)); }

}  // namespace dialvo
