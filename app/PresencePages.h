#pragma once
// The pages of the page area that belong to presence: Login, the buddies
// online and the buddy list. Each shows its part of the presence controller
// (models that outlive the pages) and forwards what the user does.
#include <QPersistentModelIndex>
#include <QTimer>
#include <QWidget>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QTreeView;

namespace dialvo {

class PresenceController;
class CallController;

// Whether the "Auto Login" box is ticked and can be used, after the user
// name or password changed: cleared and disabled without a name; ticked when
// both are filled, unless the user cleared it by hand.
struct AutoLoginBox {
  bool checked = false;
  bool enabled = false;
};
AutoLoginBox AutoLoginBoxAfterEdit(const QString& user, const QString& password, bool checked,
                                   bool clearedByHand);

class LoginPage final : public QWidget {
  Q_OBJECT
 public:
  LoginPage(PresenceController& presence, QWidget* parent = nullptr);
  void Submit();
  // Where typing starts: the name, or the password when the name is there.
  void FocusFirstField();

 private:
  void FieldsEdited();
  PresenceController& presence_;
  QLineEdit* user_;
  QLineEdit* password_;
  QCheckBox* autoLogin_;
  QPushButton* login_;
  bool clearedByHand_ = false;
  bool filling_ = false;
};

class OnlinePage final : public QWidget {
  Q_OBJECT
 public:
  OnlinePage(PresenceController& presence, CallController& calls, QWidget* parent = nullptr);
  // The selected buddy's name; empty when none (or the root) is selected.
  QString SelectedBuddy() const;
  QTreeView* Tree() const { return tree_; }

 private:
  void ShowMenu(const QPoint& at);
  PresenceController& presence_;
  CallController& calls_;
  QTreeView* tree_;
};

class BuddiesPage final : public QWidget {
  Q_OBJECT
 public:
  BuddiesPage(PresenceController& presence, QWidget* parent = nullptr);
  QString SelectedBuddy() const;
  // Buddy List > Delete Buddy: asks first.
  void DeleteSelected();
  QTreeView* Tree() const { return tree_; }

 private:
  void ShowMenu(const QPoint& at);
  PresenceController& presence_;
  QTreeView* tree_;
  // Editing starts again once the event that refused the name is over.
  QTimer editLater_;
  QPersistentModelIndex pendingEdit_;
};

}  // namespace dialvo
