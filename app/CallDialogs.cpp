#include "app/CallDialogs.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "controls/LinkLabel.h"

namespace dialvo {

IncomingCallDialog::IncomingCallDialog(const QString& callerName, int seconds, QWidget* parent)
    : QDialog(parent) {
  setObjectName(QStringLiteral("incomingCallDialog"));
  setWindowTitle(QStringLiteral("Incoming Call"));
  setModal(true);
  auto* name = new QLineEdit(callerName, this);
  name->setObjectName(QStringLiteral("callerName"));
  name->setReadOnly(true);
  seconds_ = new QLineEdit(this);
  seconds_->setObjectName(QStringLiteral("secondsLeft"));
  seconds_->setReadOnly(true);
  SetSecondsLeft(seconds);
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Caller:"), name);
  form->addRow(QStringLiteral("Seconds left:"), seconds_);
  auto* accept = new QPushButton(QStringLiteral("&Accept"), this);
  accept->setObjectName(QStringLiteral("acceptButton"));
  accept->setDefault(true);  // Enter accepts; Escape rejects
  auto* reject = new QPushButton(QStringLiteral("&Reject"), this);
  reject->setObjectName(QStringLiteral("rejectButton"));
  reject->setAutoDefault(false);
  connect(accept, &QPushButton::clicked, this, &QDialog::accept);
  connect(reject, &QPushButton::clicked, this, &QDialog::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(accept);
  buttons->addWidget(reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addLayout(buttons);
  accept->setFocus();
}

void IncomingCallDialog::SetSecondsLeft(int seconds) {
  seconds_->setText(QString::number(seconds));
}

void IncomingCallDialog::Dismiss() {
  dismissed_ = true;
  QDialog::done(Rejected);
}

void IncomingCallDialog::done(int result) {
  if (!dismissed_) {
    dismissed_ = true;
    emit answered(result == Accepted);
  }
  QDialog::done(result);
}

ConnectProgressDialog::ConnectProgressDialog(const QString& text, QWidget* parent)
    : QDialog(parent) {
  setObjectName(QStringLiteral("connectProgressDialog"));
  setWindowTitle(QStringLiteral("Connecting"));
  text_ = new QLabel(text, this);
  text_->setObjectName(QStringLiteral("progressText"));
  text_->setTextFormat(Qt::PlainText);
  text_->setWordWrap(true);
  text_->setMinimumWidth(320);
  cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
  cancel_->setObjectName(QStringLiteral("cancelButton"));
  connect(cancel_, &QPushButton::clicked, this, &ConnectProgressDialog::reject);
  cancel_->setDefault(true);
  cancel_->setFocus();
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(text_);
  layout->addWidget(cancel_, 0, Qt::AlignRight);
}

void ConnectProgressDialog::SetText(const QString& text) { text_->setText(text); }

QString ConnectProgressDialog::Text() const { return text_->text(); }

void ConnectProgressDialog::Finish() {
  finished_ = true;
  QDialog::reject();
}

void ConnectProgressDialog::reject() {
  if (finished_) return;
  // The window stays until the attempt has ended; Cancel (or closing it)
  // only asks.
  cancel_->setEnabled(false);
  emit cancelRequested();
}

ConnectFailedDialog::ConnectFailedDialog(const QUrl& helpPage, QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("connectFailedDialog"));
  setWindowTitle(QStringLiteral("Connect Failed"));
  setModal(true);
  setAttribute(Qt::WA_DeleteOnClose);
  auto* heading =
      new QLabel(QStringLiteral("Either your buddy is away from his computer or the connection "
                                "timed out"),
                 this);
  QFont bold = heading->font();
  bold.setBold(true);
  heading->setFont(bold);
  heading->setWordWrap(true);
  auto* hints = new QLabel(
      QStringLiteral("- If the call rang at the other end, your buddy did not answer in time. "
                     "Try again later.\n"
                     "- If it never rang, your buddy's computer may be behind a firewall that "
                     "does not let calls in, or the address is wrong.\n"
                     "- If nobody can reach you either, run Tools > Test Network Settings, or "
                     "press Help for troubleshooting."),
      this);
  hints->setWordWrap(true);
  auto* box = new QDialogButtonBox(
      QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help, this);
  connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(box, &QDialogButtonBox::helpRequested, this,
          [helpPage] { QDesktopServices::openUrl(helpPage); });
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(heading);
  layout->addWidget(hints);
  layout->addWidget(box);
  setMinimumWidth(420);
}

ConferenceRequestPopup::ConferenceRequestPopup(int id, const QString& callerName, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), id_(id) {
  setObjectName(QStringLiteral("conferenceRequestPopup"));
  setAttribute(Qt::WA_DeleteOnClose);
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFixedSize(170, 70);
  setAutoFillBackground(true);
  auto* text = new QLabel(QStringLiteral("Incoming call->") + callerName, this);
  text->setObjectName(QStringLiteral("popupText"));
  text->setTextFormat(Qt::PlainText);
  auto* add = new LinkLabel(QStringLiteral("Add To Conference"), this);
  add->setObjectName(QStringLiteral("addToConference"));
  auto* reject = new LinkLabel(QStringLiteral("Reject"), this);
  reject->setObjectName(QStringLiteral("rejectConference"));
  QFont arial(QStringLiteral("Arial"));
  arial.setPixelSize(14);
  for (QLabel* label : {static_cast<QLabel*>(add), static_cast<QLabel*>(reject)}) {
    label->setFont(arial);
  }
  connect(add, &LinkLabel::activated, this, [this] { Answer(true); });
  connect(reject, &LinkLabel::activated, this, [this] { Answer(false); });
  auto* links = new QHBoxLayout;
  links->addWidget(add);
  links->addStretch();
  links->addWidget(reject);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 4, 6, 4);
  layout->addWidget(text);
  layout->addLayout(links);
  setStyleSheet(
      QStringLiteral("dialvo--ConferenceRequestPopup { border: 1px solid palette(dark); }"));
}

void ConferenceRequestPopup::ShowNearTray() {
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.right() - width() - 8, area.bottom() - height() - 8);
  }
  show();
  raise();
}

void ConferenceRequestPopup::Answer(bool accept) {
  if (!done_) {
    done_ = true;
    emit answered(id_, accept);
  }
  close();
}

void ConferenceRequestPopup::Dismiss() {
  done_ = true;
  close();
}

void ConferenceRequestPopup::closeEvent(QCloseEvent* event) {
  // Closing undecided is a rejection: the caller's thread must not wait.
  if (!done_) {
    done_ = true;
    emit answered(id_, false);
  }
  QWidget::closeEvent(event);
}

TrayInfoDialog::TrayInfoDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("trayInfoDialog"));
  setWindowTitle(QStringLiteral("Orvanta"));
  setAttribute(Qt::WA_DeleteOnClose);
  auto* text = new QLabel(
      QStringLiteral("The program will continue to run in the system tray!\nYou will be able to "
                     "receive calls as usual. \nIf you want to exit the program completely, "
                     "select 'Exit' from the tray menu"),
      this);
  dontShow_ = new QCheckBox(QStringLiteral("Don't show this anymore"), this);
  dontShow_->setObjectName(QStringLiteral("dontShowBox"));
  connect(dontShow_, &QCheckBox::toggled, this, &TrayInfoDialog::dontShowToggled);
  auto* box = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(text);
  layout->addWidget(dontShow_);
  layout->addWidget(box);
}

HtmlDialog::HtmlDialog(const QString& title, const QString& html, QWidget* parent)
    : QDialog(parent) {
  setObjectName(QStringLiteral("htmlDialog"));
  setWindowTitle(title);
  setAttribute(Qt::WA_DeleteOnClose);
  resize(500, 350);
  auto* browser = new QTextBrowser(this);
  browser->setObjectName(QStringLiteral("htmlView"));
  browser->setOpenLinks(false);  // never navigate inside: the page is all there is
  connect(browser, &QTextBrowser::anchorClicked, this,
          [](const QUrl& url) { QDesktopServices::openUrl(url); });
  browser->setHtml(html);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(browser);
}

QMessageBox* OpenMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                            const QString& text, const char* name,
                            QMessageBox::StandardButtons buttons) {
  auto* box = new QMessageBox(icon, title, text, buttons, parent);
  box->setObjectName(QString::fromLatin1(name));
  box->setTextFormat(Qt::PlainText);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
  return box;
}

}  // namespace dialvo
