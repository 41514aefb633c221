#include "app/PresenceModels.h"

#include "app/Icons.h"
#include "app/SafeText.h"
#include "service/BuddyList.h"

namespace dialvo {

namespace {

QStandardItem* BuddyItem(const OnlineBuddy& buddy) {
  auto* item = new QStandardItem(BuddyIcon(ImageFor(buddy)), SafeText(buddy.userId));
  item->setData(QString::fromStdString(buddy.userId), kBuddyNameRole);
  item->setEditable(false);
  return item;
}

}  // namespace

OnlineModel::OnlineModel(QObject* parent) : QStandardItemModel(parent) {
  root_ = new QStandardItem(ProgramIcon(), QStringLiteral("Buddies Online"));
  root_->setEditable(false);
  appendRow(root_);
}

void OnlineModel::Update(const std::vector<OnlineBuddy>& items) {
  QStringList names;
  for (const OnlineBuddy& buddy : items) names.append(QString::fromStdString(buddy.userId));
  for (int row = root_->rowCount() - 1; row >= 0; --row) {
    if (!names.contains(root_->child(row)->data(kBuddyNameRole).toString())) root_->removeRow(row);
  }
  // The items keep their order from one refresh to the next: the children
  // that stay keep their place, newcomers are inserted where they belong.
  for (int row = 0; row < names.size(); ++row) {
    QStandardItem* child = row < root_->rowCount() ? root_->child(row) : nullptr;
    if (child != nullptr && child->data(kBuddyNameRole).toString() == names[row]) {
      child->setIcon(BuddyIcon(ImageFor(items[static_cast<size_t>(row)])));
    } else {
      root_->insertRow(row, BuddyItem(items[static_cast<size_t>(row)]));
    }
  }
  if (root_->rowCount() > names.size()) {
    root_->removeRows(static_cast<int>(names.size()),
                      root_->rowCount() - static_cast<int>(names.size()));
  }
}

void OnlineModel::Clear() {
  if (root_->rowCount() > 0) root_->removeRows(0, root_->rowCount());
}

std::string OnlineModel::NameAt(const QModelIndex& index) const {
  if (!index.isValid() || !index.parent().isValid()) return {};
  return index.data(kBuddyNameRole).toString().toStdString();
}

BuddyModel::BuddyModel(QObject* parent) : QStandardItemModel(parent) {
  root_ = new QStandardItem(ProgramIcon(), QStringLiteral("Buddy List"));
  root_->setEditable(false);
  appendRow(root_);
}

void BuddyModel::SetNames(const std::vector<std::string>& names) {
  if (root_->rowCount() > 0) root_->removeRows(0, root_->rowCount());
  for (const std::string& name : names) {
    auto* item = new QStandardItem(BuddyIcon(BuddyImage::kCallable), SafeText(name));
    item->setData(QString::fromStdString(name), kBuddyNameRole);
    root_->appendRow(item);
  }
}

QModelIndex BuddyModel::AddPlaceholder() {
  auto* item = new QStandardItem(BuddyIcon(BuddyImage::kCallable),
                                 QString::fromLatin1(kNewBuddyPlaceholder));
  item->setData(QString::fromLatin1(kNewBuddyPlaceholder), kBuddyNameRole);
  root_->appendRow(item);
  return item->index();
}

std::string BuddyModel::NameAt(const QModelIndex& index) const {
  if (!index.isValid() || !index.parent().isValid()) return {};
  return index.data(kBuddyNameRole).toString().toStdString();
}

bool BuddyModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::EditRole || !index.parent().isValid()) {
    return QStandardItemModel::setData(index, value, role);
  }
  // The controller checks the name and changes the list (and this model).
  emit editCommitted(index.row(), index.data(kBuddyNameRole).toString(), value.toString());
  return false;
}

}  // namespace dialvo
