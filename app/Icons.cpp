#include "app/Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace dialvo {

namespace {

QPixmap Badge(const QColor& badge, bool hungUp, bool plus, int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(badge);
  p.drawEllipse(QRectF(1, 1, size - 2, size - 2));
  p.translate(size / 2.0, size / 2.0);
  p.scale(size / 48.0, size / 48.0);
  p.rotate(hungUp ? 135 : -45);
  // The handset: a bar with an ear piece and a mouth piece.
  QPainterPath handset;
  handset.addRoundedRect(QRectF(-15, -4, 30, 8), 4, 4);
  handset.addRoundedRect(QRectF(-17, -4, 10, 13), 4, 4);
  handset.addRoundedRect(QRectF(7, -4, 10, 13), 4, 4);
  handset.setFillRule(Qt::WindingFill);
  p.setBrush(Qt::white);
  p.drawPath(handset.simplified());
  if (plus) {
    p.resetTransform();
    p.setPen(QPen(Qt::white, size / 12.0, Qt::SolidLine, Qt::RoundCap));
    const double c = size * 0.76;
    const double r = size * 0.12;
    p.drawLine(QPointF(c - r, size * 0.24), QPointF(c + r, size * 0.24));
    p.drawLine(QPointF(c, size * 0.24 - r), QPointF(c, size * 0.24 + r));
  }
  return pixmap;
}

QIcon Make(const QColor& badge, bool hungUp, bool plus) {
  QIcon icon;
  for (const int size : {16, 24, 32, 48, 64}) icon.addPixmap(Badge(badge, hungUp, plus, size));
  return icon;
}

}  // namespace

QIcon HandsetIcon(const QColor& badge, bool hungUp) { return Make(badge, hungUp, false); }

QIcon ConferenceIcon() { return Make(QColor(0x1f, 0x6f, 0xc5), false, true); }

const QColor kProgramGreen(0x2e, 0x9e, 0x44);

QIcon ProgramIcon() { return Make(kProgramGreen, false, false); }

QPixmap ProgramIconPixmap(int size) { return Badge(kProgramGreen, false, false, size); }

QIcon BuddyIcon(BuddyImage image) {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  QColor colour(0x2e, 0x9e, 0x44);  // callable
  if (image == BuddyImage::kBehindFirewall) colour = QColor(0x8a, 0x8a, 0x8a);
  if (image == BuddyImage::kLocalOnly) colour = QColor(0xe0, 0x8e, 0x1b);
  // A head and shoulders.
  p.setPen(Qt::NoPen);
  p.setBrush(colour);
  p.drawEllipse(QRectF(5, 1.5, 6, 6));
  p.drawRoundedRect(QRectF(2.5, 8.5, 11, 7), 3.5, 3.5);
  if (image == BuddyImage::kBehindFirewall) {
    p.setPen(QPen(QColor(0xc8, 0x2b, 0x2b), 1.6));
    p.drawLine(QPointF(2, 14), QPointF(14, 2));
  }
  return QIcon(pixmap);
}

}  // namespace dialvo
