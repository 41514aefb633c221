#include "controls/LevelDisplay.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

namespace dialvo {

namespace {

constexpr double kFloorDb = -60.0;
// Where a meter turns from green to yellow and from yellow to red.
constexpr double kYellowFrom = (kFloorDb + 12.0) / kFloorDb;
constexpr double kRedFrom = (kFloorDb + 3.0) / kFloorDb;

}  // namespace

int BlockPeak(const int16_t* samples, size_t count) {
  int peak = 0;
  for (size_t i = 0; i < count; ++i) peak = std::max(peak, std::abs(static_cast<int>(samples[i])));
  return std::min(peak, LevelDisplay::kMaxLevel);
}

LevelDisplay::LevelDisplay(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("levelDisplay"));
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  // Single shot, restarted by the next change: no wake-ups while nothing
  // changes, and repaints stay at least one period apart.
  refresh_.setSingleShot(true);
  refresh_.setInterval(100);
  connect(&refresh_, &QTimer::timeout, this, &LevelDisplay::Refresh);
}

void LevelDisplay::SetCaptureLevel(int peak) { Store(&capture_, peak); }

void LevelDisplay::SetPlayLevel(int peak) { Store(&play_, peak); }

void LevelDisplay::Reset() {
  Store(&capture_, 0);
  Store(&play_, 0);
}

void LevelDisplay::SetRefreshMs(int ms) { refresh_.setInterval(std::max(ms, 1)); }

double LevelDisplay::MeterFraction(int peak) {
  peak = std::clamp(peak, 0, kMaxLevel);
  if (peak == 0) return 0.0;
  const double db = 20.0 * std::log10(static_cast<double>(peak) / kMaxLevel);
  return std::clamp((db - kFloorDb) / -kFloorDb, 0.0, 1.0);
}

QSize LevelDisplay::sizeHint() const { return {200, minimumSizeHint().height()}; }

QSize LevelDisplay::minimumSizeHint() const {
  const int row = fontMetrics().height() + 4;
  return {fontMetrics().horizontalAdvance(QStringLiteral("Speaker")) + 40, 2 * row + 4};
}

void LevelDisplay::paintEvent(QPaintEvent*) {
  ++repaints_;
  dirty_ = false;

  QPainter painter(this);
  const QFontMetrics metrics = fontMetrics();
  const int labelWidth = metrics.horizontalAdvance(QStringLiteral("Speaker")) + 6;
  const int rowHeight = (height() - 2) / 2;
  const struct {
    QString name;
    int level;
  } meters[] = {{QStringLiteral("Mic"), capture_}, {QStringLiteral("Speaker"), play_}};

  for (int i = 0; i < 2; ++i) {
    const QRect row(0, i * (rowHeight + 2), width(), rowHeight);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(QRect(row.left(), row.top(), labelWidth, row.height()),
                     Qt::AlignLeft | Qt::AlignVCenter, meters[i].name);

    const QRect meter = QRect(labelWidth, row.top() + 1, row.width() - labelWidth, row.height() - 2)
                            .adjusted(0, 0, -1, -1);
    if (meter.width() <= 2 || meter.height() <= 2) continue;
    painter.fillRect(meter, palette().color(QPalette::Base));
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(meter);

    const QRect inside = meter.adjusted(1, 1, 0, 0);
    const double fraction = MeterFraction(meters[i].level);
    const auto at = [&](double share) {
      return inside.left() + static_cast<int>(std::lround(share * inside.width()));
    };
    const struct {
      double from, to;
      QColor colour;
    } bands[] = {{0.0, kYellowFrom, QColor(0x2e, 0xa0, 0x43)},
                 {kYellowFrom, kRedFrom, QColor(0xe0, 0xb0, 0x1a)},
                 {kRedFrom, 1.0, QColor(0xd0, 0x30, 0x20)}};
    for (const auto& band : bands) {
      if (fraction <= band.from) break;
      const int left = at(band.from);
      const int right = at(std::min(fraction, band.to));
      painter.fillRect(QRect(left, inside.top(), right - left, inside.height()), band.colour);
    }
  }
}

void LevelDisplay::Store(int* level, int peak) {
  peak = std::clamp(peak, 0, kMaxLevel);
  if (*level == peak) return;
  *level = peak;
  dirty_ = true;
  if (!refresh_.isActive()) refresh_.start();
}

void LevelDisplay::Refresh() {
  if (dirty_) update();
}

}  // namespace dialvo
