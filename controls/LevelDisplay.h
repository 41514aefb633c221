#pragma once
#include <QTimer>
#include <QWidget>
#include <cstddef>
#include <cstdint>

namespace dialvo {

// The loudest |sample| of a block of 16-bit samples, 0..32767 (-32768 counts
// as 32767, so that the result fits the meters' scale); 0 for an empty block.
int BlockPeak(const int16_t* samples, size_t count);

// Two horizontal level meters, "Mic" for the captured and "Speaker" for the
// played sound. Levels are block peaks (0..32767, others clamped) drawn on a
// decibel scale from -60 dB to full scale. Levels may change far more often
// than is worth drawing: the setters only store the value, and a timer
// repaints at most once per refresh period, and only when a level changed.
// A hidden display draws its latest levels when it is shown.
class LevelDisplay : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kMaxLevel = 32767;

  explicit LevelDisplay(QWidget* parent = nullptr);

  void SetCaptureLevel(int peak);
  void SetPlayLevel(int peak);
  void Reset();
  // Default 100 ms: at most ten repaints a second.
  void SetRefreshMs(int ms);

  int CaptureLevel() const { return capture_; }
  int PlayLevel() const { return play_; }
  // Paint events handled so far.
  int RepaintCount() const { return repaints_; }

  // The share of a meter that a level fills, 0..1.
  static double MeterFraction(int peak);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void Store(int* level, int peak);
  void Refresh();

  QTimer refresh_;
  int capture_ = 0;
  int play_ = 0;
  bool dirty_ = false;
  int repaints_ = 0;
};

}  // namespace dialvo
