#include "controls/NotifyPopup.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

namespace dialvo {

namespace {

constexpr int kDefaultDisplayMs = 3000;

// Notes shown and not yet closed, oldest first. Touched by the GUI thread only.
std::vector<NotifyPopup*>& OpenPopups() {
  static std::vector<NotifyPopup*> popups;
  return popups;
}

}  // namespace

NotifyPopup::NotifyPopup(int width, int height, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      text_(new QLabel(this)) {
  setObjectName(QStringLiteral("notifyPopup"));
  setAttribute(Qt::WA_DeleteOnClose);
  // A note must not take the keyboard away from whatever the user is typing in.
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFixedSize(std::max(width, 1), std::max(height, 1));

  QPalette colours = palette();
  colours.setColor(QPalette::Window, colours.color(QPalette::ToolTipBase));
  colours.setColor(QPalette::WindowText, colours.color(QPalette::ToolTipText));
  setPalette(colours);
  setAutoFillBackground(true);

  text_->setObjectName(QStringLiteral("notifyPopupText"));
  text_->setTextFormat(Qt::PlainText);
  text_->setWordWrap(true);
  text_->setAlignment(Qt::AlignCenter);
  // Clicks anywhere on the note reach the note, which closes.
  text_->setAttribute(Qt::WA_TransparentForMouseEvents);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 4, 6, 4);
  layout->addWidget(text_);

  closeTimer_.setSingleShot(true);
  closeTimer_.setInterval(kDefaultDisplayMs);
  connect(&closeTimer_, &QTimer::timeout, this, &QWidget::close);
}

NotifyPopup::~NotifyPopup() { Forget(); }

void NotifyPopup::SetText(const QString& text) { text_->setText(text); }

QString NotifyPopup::Text() const { return text_->text(); }

void NotifyPopup::SetDisplayTimeMs(int ms) { closeTimer_.setInterval(std::max(ms, 0)); }

void NotifyPopup::ShowNearTray() {
  std::vector<NotifyPopup*>& open = OpenPopups();
  open.erase(std::remove(open.begin(), open.end(), this), open.end());

  const QScreen* screen = QGuiApplication::primaryScreen();
  const QRect area = screen ? screen->availableGeometry() : QRect(QPoint(0, 0), size());
  // Above the topmost note still open; once the column reaches the top of
  // the screen, start again at the bottom.
  int bottom = area.bottom() + 1;
  for (const NotifyPopup* other : open) bottom = std::min(bottom, other->y());
  int top = bottom - height();
  if (top < area.top()) top = area.bottom() + 1 - height();
  move(area.right() + 1 - width(), top);

  open.push_back(this);
  show();
  raise();
  closeTimer_.start();
}

NotifyPopup* NotifyPopup::Show(const QString& text, int width, int height, int displayMs) {
  auto* popup = new NotifyPopup(width, height);
  popup->SetText(text);
  popup->SetDisplayTimeMs(displayMs);
  popup->ShowNearTray();
  return popup;
}

int NotifyPopup::OpenCount() { return static_cast<int>(OpenPopups().size()); }

void NotifyPopup::mousePressEvent(QMouseEvent* event) {
  event->accept();
  close();
}

void NotifyPopup::closeEvent(QCloseEvent* event) {
  closeTimer_.stop();
  Forget();
  QWidget::closeEvent(event);
}

void NotifyPopup::paintEvent(QPaintEvent* event) {
  QWidget::paintEvent(event);
  QPainter painter(this);
  painter.setPen(palette().color(QPalette::Dark));
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void NotifyPopup::Forget() {
  std::vector<NotifyPopup*>& open = OpenPopups();
  open.erase(std::remove(open.begin(), open.end(), this), open.end());
}

}  // namespace dialvo
