#pragma once
// The conference list: one row per connected peer with its delay figures.
// Lives as long as the call controller; views come and go.
#include <QAbstractTableModel>
#include <QString>
#include <cstdint>
#include <vector>

namespace dialvo {

// The figures kept for one peer of the call (one row).
struct PeerStats {
  static constexpr uint32_t kMaxDelaySample = 10000;  // ms; larger samples are not counted
  static constexpr uint32_t kMinDelaySample = 1;

  QString userName;
  uint32_t peerVersion = 0;
  uintptr_t connection = 0;  // identifies the row in engine events; never dereferenced
  uint32_t lastDelay = 0;
  uint64_t delaySum = 1;
  uint32_t delayCount = 1;
  uint64_t createdTick = 0;
  uint32_t largestDelay = 1;
  uint32_t smallestDelay = kMaxDelaySample;
  uint64_t lastReportTick = 0;
  uint64_t lostPackets = 0;
  int shownDelay = -1;  // the "Delay [ms]" column; -1 until the first round trip

  // Takes one round trip: the delay column becomes half of it, and a sample
  // inside the valid range joins the averages.
  void AddRoundTrip(uint32_t roundTripMs, uint64_t nowTick);
};

class ConferenceModel final : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum Column { kConnectedTo = 0, kDelay = 1, kColumns = 2 };
  using QAbstractTableModel::QAbstractTableModel;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  void Append(const PeerStats& row);
  // -1 when no row has that connection.
  int RowOf(uintptr_t connection) const;
  void Remove(int row);
  void Clear();
  PeerStats& Row(int row) { return rows_[static_cast<size_t>(row)]; }
  const std::vector<PeerStats>& Rows() const { return rows_; }
  // Tells views that a row's figures changed.
  void Touch(int row);

 private:
  std::vector<PeerStats> rows_;
};

}  // namespace dialvo
