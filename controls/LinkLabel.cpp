#include "controls/LinkLabel.h"

#include <QDesktopServices>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyleOptionFocusRect>
#include <QStylePainter>

namespace dialvo {

LinkLabel::LinkLabel(const QString& text, QWidget* parent) : QLabel(parent) {
  setObjectName(QStringLiteral("linkLabel"));
  setTextFormat(Qt::PlainText);
  setText(text);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::StrongFocus);
  // No wider than its text: a click beside the words is no click on the link.
  setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
  ApplyLinkLook();
}

void LinkLabel::SetUrl(const QUrl& url) { url_ = url; }

void LinkLabel::SetPointSize(int points) {
  if (points <= 0) return;
  QFont bigger = font();
  bigger.setPointSize(points);
  setFont(bigger);
}

void LinkLabel::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QLabel::mousePressEvent(event);
    return;
  }
  pressed_ = true;
  event->accept();
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QLabel::mouseReleaseEvent(event);
    return;
  }
  event->accept();
  // Like a button: a press dragged off the link before release is no click.
  const bool click = pressed_ && rect().contains(event->position().toPoint());
  pressed_ = false;
  if (click) Activate();
}

void LinkLabel::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
      event->accept();
      Activate();
      return;
    default:
      QLabel::keyPressEvent(event);
  }
}

void LinkLabel::paintEvent(QPaintEvent* event) {
  QLabel::paintEvent(event);
  if (!hasFocus()) return;
  QStylePainter painter(this);
  QStyleOptionFocusRect option;
  option.initFrom(this);
  option.backgroundColor = palette().color(backgroundRole());
  painter.drawPrimitive(QStyle::PE_FrameFocusRect, option);
}

void LinkLabel::changeEvent(QEvent* event) {
  QLabel::changeEvent(event);
  // A new theme brings a new link colour.
  if (event->type() == QEvent::PaletteChange) ApplyLinkLook();
}

void LinkLabel::Activate() {
  // Open first: a receiver of activated() may delete this label.
  if (url_.isValid() && !url_.isEmpty()) QDesktopServices::openUrl(url_);
  emit activated();
}

void LinkLabel::ApplyLinkLook() {
  if (!font().underline()) {
    QFont underlined = font();
    underlined.setUnderline(true);
    setFont(underlined);
  }
  QPalette colours = palette();
  bool changed = false;
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
    const QColor link = colours.color(group, QPalette::Link);
    if (colours.color(group, QPalette::WindowText) != link) {
      colours.setColor(group, QPalette::WindowText, link);
      changed = true;
    }
  }
  // Only on a real change, since setting the palette comes back here.
  if (changed) setPalette(colours);
}

}  // namespace dialvo
