#include "app/CallRecords.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QLocale>
#include <QTableView>
#include <QVBoxLayout>

namespace dialvo {

QString MissedCallTime(const QDateTime& when) {
  // The C locale: English month names whatever the desktop's language.
  return QLocale::c().toString(when, QStringLiteral("MMMM dd, HH:mm:ss"));
}

QString WithMissedCount(const QString& text, int unseen) {
  if (unseen <= 0) return text;
  return unseen == 1 ? text + QStringLiteral(" (1 missed call)")
                     : text + QStringLiteral(" (%1 missed calls)").arg(unseen);
}

MissedCallsModel::MissedCallsModel(CallController& calls, QObject* parent)
    : QAbstractTableModel(parent), calls_(calls) {
  connect(&calls_, &CallController::missedCall, this, &MissedCallsModel::Added);
}

int MissedCallsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(calls_.MissedCalls().size());
}

int MissedCallsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : 2;
}

QVariant MissedCallsModel::data(const QModelIndex& index, int role) const {
  const auto& missed = calls_.MissedCalls();
  if (role != Qt::DisplayRole || !index.isValid() ||
      index.row() >= static_cast<int>(missed.size())) {
    return {};
  }
  const MissedCall& call = missed[static_cast<size_t>(index.row())];
  return index.column() == 0 ? QVariant(call.callerName) : QVariant(MissedCallTime(call.when));
}

QVariant MissedCallsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || orientation != Qt::Horizontal) return {};
  return section == 0 ? QStringLiteral("Caller") : QStringLiteral("Time");
}

void MissedCallsModel::Added() {
  // The controller put the new call on top: the whole list moved down.
  beginResetModel();
  endResetModel();
  ++unseen_;
  emit unseenChanged(unseen_);
}

void MissedCallsModel::MarkSeen() {
  if (unseen_ == 0) return;
  unseen_ = 0;
  emit unseenChanged(0);
}

MissedCallsDialog::MissedCallsDialog(MissedCallsModel& model, QWidget* parent)
    : QDialog(parent), list_(new QTableView(this)) {
  setObjectName(QStringLiteral("missedCallsDialog"));
  setWindowTitle(QStringLiteral("Missed Calls - Orvanta"));
  list_->setObjectName(QStringLiteral("missedCallsList"));
  list_->setModel(&model);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->verticalHeader()->hide();
  list_->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  // Both only hide it (done): the list lives as long as the window.
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_);
  layout->addWidget(buttons);
  resize(420, 260);
}

void MissedCallsDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  list_->scrollToTop();  // the newest call
}

StatisticsDialog::StatisticsDialog(CallController& calls, QWidget* parent)
    : QDialog(parent), calls_(calls) {
  setObjectName(QStringLiteral("statisticsDialog"));
  setWindowTitle(QStringLiteral("Statistics"));
  auto* group = new QGroupBox(QStringLiteral("During this session"), this);
  auto* form = new QFormLayout(group);
  const char* labels[3] = {"Bytes Received", "Bytes Sent", "Lost Packets Detected"};
  for (int i = 0; i < 3; ++i) {
    fields_[i] = new QLineEdit(group);
    fields_[i]->setReadOnly(true);
    fields_[i]->setAlignment(Qt::AlignRight);
    form->addRow(QString::fromLatin1(labels[i]), fields_[i]);
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addWidget(buttons);
  connect(&calls_, &CallController::statisticsChanged, this, &StatisticsDialog::Refresh);
  Refresh();
}

QString StatisticsDialog::Shown(int counter) const { return fields_[counter]->text(); }

void StatisticsDialog::Refresh() {
  const uint64_t values[3] = {calls_.BytesReceived(), calls_.BytesSent(), calls_.LostPackets()};
  for (int i = 0; i < 3; ++i) fields_[i]->setText(QString::number(values[i]));
}

}  // namespace dialvo
