#include "controls/WaveformView.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cstdlib>

namespace dialvo {

WaveformView::WaveformView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("waveform"));
  setMinimumHeight(60);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void WaveformView::SetBlock(std::vector<int16_t> block) {
  block_ = std::move(block);
  ++blocks_;
  update();
}

void WaveformView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), palette().color(QPalette::Base));
  const double middle = height() / 2.0;
  painter.setPen(palette().color(QPalette::Mid));
  painter.drawLine(QPointF(0, middle), QPointF(width(), middle));
  if (block_.empty() || width() < 2) return;
  // One point per pixel column: the sample of largest magnitude in it, so
  // that short peaks stay visible however narrow the view.
  QPainterPath path;
  const size_t count = block_.size();
  const int columns = width();
  for (int x = 0; x < columns; ++x) {
    const size_t from = count * static_cast<size_t>(x) / static_cast<size_t>(columns);
    const size_t to = std::max(from + 1, count * static_cast<size_t>(x + 1) / columns);
    int16_t peak = 0;
    for (size_t i = from; i < to && i < count; ++i) {
      if (std::abs(block_[i]) > std::abs(peak)) peak = block_[i];
    }
    const double y = middle - (peak / 32768.0) * (middle - 1);
    if (x == 0) {
      path.moveTo(x, y);
    } else {
      path.lineTo(x, y);
    }
  }
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(palette().color(QPalette::Highlight), 1.2));
  painter.drawPath(path);
}

}  // namespace dialvo
