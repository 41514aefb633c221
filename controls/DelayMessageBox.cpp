#include "controls/DelayMessageBox.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace dialvo {

DelayMessageBox::DelayMessageBox(const QString& title, const QString& text, int seconds,
                                 QWidget* parent)
    : QDialog(parent),
      text_(new QLabel(this)),
      ok_(new QPushButton(this)),
      remaining_(std::max(seconds, 0)),
      seconds_(remaining_) {
  setObjectName(QStringLiteral("delayMessageBox"));
  title_ = title;

  text_->setObjectName(QStringLiteral("delayMessageText"));
  text_->setText(text);
  text_->setTextFormat(Qt::PlainText);
  text_->setWordWrap(true);
  ok_->setObjectName(QStringLiteral("delayMessageOk"));
  ok_->setDefault(true);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);

  buttons_ = new QHBoxLayout;
  buttons_->addStretch();
  buttons_->addWidget(ok_);
  buttons_->addStretch();
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(text_);
  layout->addLayout(buttons_);

  ticker_.setInterval(1000);
  connect(&ticker_, &QTimer::timeout, this, &DelayMessageBox::Tick);
  UpdateButton();
}

QPushButton* DelayMessageBox::AddButton(const QString& text, int result) {
  auto* button = new QPushButton(text, this);
  connect(button, &QPushButton::clicked, this, [this, result] { done(result); });
  buttons_->insertWidget(buttons_->count() - 1, button);
  return button;
}

void DelayMessageBox::SetTickMs(int ms) { ticker_.setInterval(std::max(ms, 1)); }

void DelayMessageBox::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // A box shown again after it closed counts from the start again.
  if (!ticker_.isActive()) {
    remaining_ = seconds_;
    timedOut_ = false;
    UpdateButton();
    ticker_.start();
  }
}

void DelayMessageBox::done(int result) {
  ticker_.stop();
  QDialog::done(result);
}

void DelayMessageBox::Tick() {
  if (remaining_ > 0) --remaining_;
  UpdateButton();
  if (remaining_ == 0) {
    timedOut_ = true;
    accept();
  }
}

void DelayMessageBox::UpdateButton() {
  ok_->setText(QStringLiteral("OK (%1)").arg(remaining_));
  // A caption with "%d" counts down too.
  QString title = title_;
  setWindowTitle(title.replace(QLatin1String("%d"), QString::number(remaining_)));
}

}  // namespace dialvo
