#pragma once
// What the program keeps about calls for its run, not stored anywhere: the
// missed calls (newest first) with how many the user has not looked at yet,
// and the session's byte and lost-packet counters.
#include <QAbstractTableModel>
#include <QDateTime>
#include <QDialog>
#include <QString>

#include "app/CallController.h"

class QLineEdit;
class QTableView;

namespace dialvo {

// "December 07, 14:05:09": the time column of the missed calls.
QString MissedCallTime(const QDateTime& when);
// A title or tool tip with the count of unseen missed calls, if any.
QString WithMissedCount(const QString& text, int unseen);

// The missed calls of the call controller as a two-column table, and the
// count of those not yet seen.
class MissedCallsModel final : public QAbstractTableModel {
  Q_OBJECT
 public:
  explicit MissedCallsModel(CallController& calls, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  int Unseen() const { return unseen_; }
  // The user looked at the list.
  void MarkSeen();

 signals:
  void unseenChanged(int unseen);

 private:
  void Added();

  CallController& calls_;
  int unseen_ = 0;
};

// "Missed Calls - Orvanta": modeless; OK, Cancel and the close box hide it.
class MissedCallsDialog final : public QDialog {
  Q_OBJECT
 public:
  MissedCallsDialog(MissedCallsModel& model, QWidget* parent = nullptr);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QTableView* list_;
};

// "Statistics": the counters since the program started, refreshed while open.
class StatisticsDialog final : public QDialog {
  Q_OBJECT
 public:
  explicit StatisticsDialog(CallController& calls, QWidget* parent = nullptr);
  QString Shown(int counter) const;  // 0 received, 1 sent, 2 lost (for tests)

 private:
  void Refresh();

  CallController& calls_;
  QLineEdit* fields_[3] = {};
};

}  // namespace dialvo
