#pragma once
// The three volumes as the windows see them (master, speaker, microphone):
// slider values 0..255 with right or up the louder, the automatic settings
// at start-up and the raise of a quiet microphone when a call starts. A
// QObject without widgets over audio's Mixer: the mixer is opened and its
// blocking work runs on a worker thread; its change notifications come back
// to the GUI thread as posted calls, so sliders follow changes made in other
// programs.
#include <QObject>
#include <memory>
#include <optional>

#include "app/SerialWorker.h"
#include "audio/Mixer.h"

class QSlider;

namespace dialvo {

class MixerController final : public QObject {
  Q_OBJECT
 public:
  // The microphone levels (after / 256) of the two raises.
  static constexpr uint32_t kStartRaiseBelow = 32;
  static constexpr uint32_t kCallRaiseBelow = 16;

  explicit MixerController(MixerOptions options, QObject* parent = nullptr);
  ~MixerController() override;

  // Opens the mixer off the GUI thread; with automatic, the automatic
  // settings follow (AutoMMSettings). ready() tells when it is done.
  void Start(bool automatic);
  bool Ready() const { return ready_; }
  // Why the mixer could not be opened (no sound server): empty otherwise.
  const QString& Error() const { return error_; }

  bool Available(MixerLine line) const;
  // The slider value, 0..255, louder to the right.
  int SliderValue(MixerLine line) const;
  // The user moved a slider to value.
  void SetSliderValue(MixerLine line, int value);
  // A call has started: a microphone below 16 is raised to 128.
  void CallStarted();
  const Mixer::AutoReport& LastAutomaticSettings() const { return report_; }

 signals:
  // The mixer opened (or could not be) and the automatic settings ran.
  void ready();
  // line: MixerLine as int; value: the slider value.
  void levelChanged(int line, int value);

 protected:
  bool event(QEvent* event) override;

 private:
  void OnOpened(std::shared_ptr<Mixer> mixer, const QString& error,
                const Mixer::AutoReport& report);
  void OnChanged(MixerLine line, uint32_t level);

  const MixerOptions options_;
  std::shared_ptr<Mixer> mixer_;  // set on the GUI thread once open
  bool ready_ = false;
  QString error_;
  Mixer::AutoReport report_;
  std::optional<uint32_t> levels_[3];  // the GUI thread's copy
  SerialWorker worker_{"Mixer Thread"};
};

// Ties a slider to a line: range 0..255, enabled while the line is usable,
// the level shown, the user's moves applied when released (or at once for
// keys and the wheel), outside changes followed.
void BindVolumeSlider(QSlider* slider, MixerController& mixer, MixerLine line);

}  // namespace dialvo
