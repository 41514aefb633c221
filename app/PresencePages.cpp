#include "app/PresencePages.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/CallController.h"
#include "app/PresenceController.h"

namespace dialvo {

AutoLoginBox AutoLoginBoxAfterEdit(const QString& user, const QString& password, bool checked,
                                   bool clearedByHand) {
  if (user.trimmed().isEmpty()) return {false, false};
  if (!password.isEmpty() && !clearedByHand) return {true, true};
  return {checked, true};
}

namespace {

QTreeView* BuddyTree(QAbstractItemModel* model, const char* name, QWidget* parent) {
  auto* tree = new QTreeView(parent);
  tree->setObjectName(QString::fromLatin1(name));
  tree->setModel(model);
  tree->setHeaderHidden(true);
  tree->setContextMenuPolicy(Qt::CustomContextMenu);
  tree->expandAll();
  // The root stays open as buddies come and go.
  QObject::connect(model, &QAbstractItemModel::rowsInserted, tree,
                   [tree] { tree->expand(tree->model()->index(0, 0)); });
  return tree;
}

}  // namespace

LoginPage::LoginPage(PresenceController& presence, QWidget* parent)
    : QWidget(parent), presence_(presence) {
  setObjectName(QStringLiteral("loginPage"));
  user_ = new QLineEdit(this);
  user_->setObjectName(QStringLiteral("userName"));
  password_ = new QLineEdit(this);
  password_->setObjectName(QStringLiteral("password"));
  password_->setEchoMode(QLineEdit::Password);
  autoLogin_ = new QCheckBox(QStringLiteral("Auto Lo&gin"), this);
  autoLogin_->setObjectName(QStringLiteral("autoLogin"));
  login_ = new QPushButton(QStringLiteral("Login"), this);
  login_->setObjectName(QStringLiteral("loginButton"));
  login_->setDefault(true);
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("User &Name"), user_);
  form->addRow(QStringLiteral("&Password"), password_);
  form->addRow(QString(), autoLogin_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(login_, 0, Qt::AlignRight);
  layout->addStretch();

  // The stored login fills the page; filling it changes nothing stored.
  const StoredLogin stored = presence_.StoredCredentials();
  filling_ = true;
  autoLogin_->setChecked(stored.autoLogin != 0);
  if (stored.autoLogin != 0) {
    user_->setText(QString::fromStdString(stored.user));
    password_->setText(QString::fromStdString(stored.password));
  }
  autoLogin_->setEnabled(!user_->text().trimmed().isEmpty());
  filling_ = false;

  connect(user_, &QLineEdit::textEdited, this, &LoginPage::FieldsEdited);
  connect(password_, &QLineEdit::textEdited, this, &LoginPage::FieldsEdited);
  connect(user_, &QLineEdit::returnPressed, this, &LoginPage::Submit);
  connect(password_, &QLineEdit::returnPressed, this, &LoginPage::Submit);
  connect(login_, &QPushButton::clicked, this, &LoginPage::Submit);
  // Only the user's own click on the box counts: unticking forgets the
  // stored name and password at once.
  connect(autoLogin_, &QCheckBox::clicked, this, [this](bool on) {
    clearedByHand_ = !on;
    if (!on) presence_.ForgetStoredLogin();
  });
}

void LoginPage::FocusFirstField() { (user_->text().isEmpty() ? user_ : password_)->setFocus(); }

void LoginPage::FieldsEdited() {
  if (filling_) return;
  const AutoLoginBox box = AutoLoginBoxAfterEdit(user_->text(), password_->text(),
                                                 autoLogin_->isChecked(), clearedByHand_);
  autoLogin_->setChecked(box.checked);
  autoLogin_->setEnabled(box.enabled);
}

void LoginPage::Submit() {
  if (presence_.LoginRunning()) return;
  presence_.Login(user_->text(), password_->text(), autoLogin_->isChecked());
}

OnlinePage::OnlinePage(PresenceController& presence, CallController& calls, QWidget* parent)
    : QWidget(parent), presence_(presence), calls_(calls) {
  setObjectName(QStringLiteral("onlinePage"));
  tree_ = BuddyTree(&presence_.Online(), "onlineTree", this);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(tree_);
  // Enter or a double click on a buddy calls.
  connect(tree_, &QTreeView::activated, this, [this](const QModelIndex& index) {
    const QString name = QString::fromStdString(presence_.Online().NameAt(index));
    if (!name.isEmpty() && calls_.TalkVisible()) calls_.Talk(CallPage::kOnline, name);
  });
  connect(tree_, &QWidget::customContextMenuRequested, this, &OnlinePage::ShowMenu);
}

QString OnlinePage::SelectedBuddy() const {
  return QString::fromStdString(presence_.Online().NameAt(tree_->currentIndex()));
}

void OnlinePage::ShowMenu(const QPoint& at) {
  const QModelIndex index = tree_->indexAt(at);
  const QString name = QString::fromStdString(presence_.Online().NameAt(index));
  if (name.isEmpty()) return;  // only on a buddy
  tree_->setCurrentIndex(index);
  auto* menu = new QMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  // Only what makes sense now.
  if (calls_.State() != CallState::kInCall) {
    menu->addAction(QStringLiteral("&Call"), this,
                    [this, name] { calls_.Talk(CallPage::kOnline, name); });
  } else {
    menu->addAction(QStringLiteral("&Add User to Conference"), this,
                    [this, name] { calls_.AddToConference(CallPage::kOnline, name); });
  }
  const int row = calls_.RowOfPeer(name);
  if (row >= 0) {
    menu->addAction(QStringLiteral("&Disconnect User"), this,
                    [this, name] { calls_.DisconnectUser(calls_.RowOfPeer(name)); });
  }
  menu->popup(tree_->viewport()->mapToGlobal(at));
}

BuddiesPage::BuddiesPage(PresenceController& presence, QWidget* parent)
    : QWidget(parent), presence_(presence) {
  setObjectName(QStringLiteral("buddiesPage"));
  tree_ = BuddyTree(&presence_.Buddies(), "buddyTree", this);
  tree_->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(tree_);
  connect(tree_, &QWidget::customContextMenuRequested, this, &BuddiesPage::ShowMenu);
  connect(&presence_.Buddies(), &BuddyModel::editCommitted, &presence_,
          &PresenceController::EditBuddy);
  // Editing starts (again) once the message about the name is answered.
  editLater_.setSingleShot(true);
  editLater_.setInterval(0);
  connect(&editLater_, &QTimer::timeout, this, [this] {
    if (!pendingEdit_.isValid()) return;
    tree_->expandAll();
    tree_->setCurrentIndex(pendingEdit_);
    tree_->edit(pendingEdit_);
  });
  connect(&presence_, &PresenceController::editBuddy, this, [this](const QModelIndex& index) {
    pendingEdit_ = index;
    editLater_.start();
  });
}

QString BuddiesPage::SelectedBuddy() const {
  return QString::fromStdString(presence_.Buddies().NameAt(tree_->currentIndex()));
}

void BuddiesPage::DeleteSelected() {
  if (!presence_.LoggedIn()) {
    presence_.DeleteBuddy({});  // says "Please login first"
    return;
  }
  const QString name = SelectedBuddy();
  if (name.isEmpty()) return;
  auto* box = new QMessageBox(QMessageBox::Question, QStringLiteral("Orvanta"),
                              QStringLiteral("Are you sure that you want to delete <") + name +
                                  QStringLiteral("> from the list of your buddies?"),
                              QMessageBox::Yes | QMessageBox::No, this);
  box->setObjectName(QStringLiteral("deleteBuddyQuestion"));
  box->setTextFormat(Qt::PlainText);
  box->setAttribute(Qt::WA_DeleteOnClose);
  connect(box, &QMessageBox::finished, this, [this, box, name](int) {
    if (box->clickedButton() == box->button(QMessageBox::Yes)) presence_.DeleteBuddy(name);
  });
  box->open();
}

void BuddiesPage::ShowMenu(const QPoint& at) {
  auto* menu = new QMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->addAction(QStringLiteral("&Add Buddy"), &presence_, &PresenceController::AddBuddy);
  const QModelIndex index = tree_->indexAt(at);
  if (!presence_.Buddies().NameAt(index).empty()) {
    tree_->setCurrentIndex(index);
    menu->addAction(QStringLiteral("&Delete Buddy"), this, &BuddiesPage::DeleteSelected);
  }
  menu->popup(tree_->viewport()->mapToGlobal(at));
}

}  // namespace dialvo
