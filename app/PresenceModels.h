#pragma once
// The lists of presence as models that live for the program's run: the
// buddies online (root "Buddies Online") and the buddy list (root "Buddy
// List"). The pages that show them come and go with login and logoff.
#include <QStandardItemModel>
#include <string>
#include <vector>

#include "service/OnlineList.h"

namespace dialvo {

inline constexpr int kBuddyNameRole = Qt::UserRole + 1;  // the name exactly as the service has it

class OnlineModel final : public QStandardItemModel {
  Q_OBJECT
 public:
  explicit OnlineModel(QObject* parent = nullptr);
  QStandardItem* Root() const { return root_; }
  // Makes the children match the items shown, in order; items that stay
  // keep their place (and the view its selection).
  void Update(const std::vector<OnlineBuddy>& items);
  void Clear();
  // The buddy of an index; empty for the root or nothing.
  std::string NameAt(const QModelIndex& index) const;

 private:
  QStandardItem* root_;
};

class BuddyModel final : public QStandardItemModel {
  Q_OBJECT
 public:
  explicit BuddyModel(QObject* parent = nullptr);
  QStandardItem* Root() const { return root_; }
  void SetNames(const std::vector<std::string>& names);
  // A new child labelled with the placeholder, to be edited.
  QModelIndex AddPlaceholder();
  std::string NameAt(const QModelIndex& index) const;

  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

 signals:
  // The user finished editing a child: the controller decides.
  void editCommitted(int row, const QString& oldLabel, const QString& newLabel);

 private:
  QStandardItem* root_;
};

}  // namespace dialvo
