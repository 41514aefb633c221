#pragma once
#include <QWidget>
#include <cstdint>
#include <vector>

namespace dialvo {

// The latest block of 16-bit samples drawn as a waveform across the width,
// full scale at the edges. A block replaces the one before; an empty view
// shows the centre line.
class WaveformView : public QWidget {
  Q_OBJECT

 public:
  explicit WaveformView(QWidget* parent = nullptr);

  void SetBlock(std::vector<int16_t> block);
  const std::vector<int16_t>& Block() const { return block_; }
  // Blocks shown so far.
  int BlockCount() const { return blocks_; }

  QSize sizeHint() const override { return {360, 90}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::vector<int16_t> block_;
  int blocks_ = 0;
};

}  // namespace dialvo
