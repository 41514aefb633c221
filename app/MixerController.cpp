#include "app/MixerController.h"

#include <QPointer>
#include <QSignalBlocker>
#include <QSlider>

#include "app/PostedCall.h"

namespace dialvo {

namespace {

int Index(MixerLine line) { return static_cast<int>(line); }

int SliderFromLevel(uint32_t level) { return 255 - PositionFromLevel(level); }

}  // namespace

MixerController::MixerController(MixerOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)) {}

MixerController::~MixerController() {
  worker_.Stop();
  // Its thread ends here; a change it reports meanwhile is posted to an
  // object whose pending calls are dropped with it.
  mixer_.reset();
}

bool MixerController::event(QEvent* event) { return RunPostedCall(event) || QObject::event(event); }

void MixerController::Start(bool automatic) {
  worker_.Post([this, automatic, options = options_] {
    std::string error;
    std::shared_ptr<Mixer> mixer = Mixer::Open(options, &error);
    Mixer::AutoReport report;
    if (mixer != nullptr) {
      mixer->SetChangeCallback([this](MixerLine line, uint32_t level) {
        PostCall(this, [this, line, level] { OnChanged(line, level); });
      });
      if (automatic) report = mixer->ApplyAutomaticSettings();
    }
    PostCall(this, [this, mixer, text = QString::fromStdString(error), report] {
      OnOpened(mixer, text, report);
    });
  });
}

void MixerController::OnOpened(std::shared_ptr<Mixer> mixer, const QString& error,
                               const Mixer::AutoReport& report) {
  mixer_ = std::move(mixer);
  error_ = error;
  report_ = report;
  ready_ = true;
  for (const MixerLine line : {MixerLine::kMaster, MixerLine::kSpeaker, MixerLine::kMicrophone}) {
    levels_[Index(line)] = mixer_ != nullptr ? mixer_->Level(line) : std::nullopt;
  }
  emit ready();
}

void MixerController::OnChanged(MixerLine line, uint32_t level) {
  if (mixer_ == nullptr) return;
  levels_[Index(line)] = mixer_->Level(line);
  if (levels_[Index(line)]) level = *levels_[Index(line)];
  emit levelChanged(Index(line), SliderFromLevel(level));
}

bool MixerController::Available(MixerLine line) const {
  return mixer_ != nullptr && levels_[Index(line)].has_value();
}

int MixerController::SliderValue(MixerLine line) const {
  return Available(line) ? SliderFromLevel(*levels_[Index(line)]) : 0;
}

void MixerController::SetSliderValue(MixerLine line, int value) {
  if (!Available(line)) return;
  const uint32_t level = LevelFromPosition(255 - value);
  levels_[Index(line)] = level;
  mixer_->SetLevel(line, level);
  // Other sliders of the same line (the audio test's) follow at once.
  emit levelChanged(Index(line), SliderFromLevel(level));
}

void MixerController::CallStarted() {
  if (mixer_ == nullptr) return;
  // Non-blocking on the server: the level goes out and the change comes back.
  if (mixer_->RaiseQuietMicrophone(kCallRaiseBelow)) {
    levels_[Index(MixerLine::kMicrophone)] = mixer_->Level(MixerLine::kMicrophone);
    emit levelChanged(Index(MixerLine::kMicrophone), SliderValue(MixerLine::kMicrophone));
  }
}

void BindVolumeSlider(QSlider* slider, MixerController& mixer, MixerLine line) {
  slider->setRange(0, 255);
  const auto show = [slider, &mixer, line] {
    const QSignalBlocker quiet(slider);
    slider->setEnabled(mixer.Available(line));
    slider->setValue(mixer.SliderValue(line));
  };
  show();
  QObject::connect(&mixer, &MixerController::ready, slider, show);
  QObject::connect(&mixer, &MixerController::levelChanged, slider,
                   [slider, line](int changed, int value) {
                     // A drag in progress is the user's; the release applies it.
                     if (changed != static_cast<int>(line) || slider->isSliderDown()) return;
                     const QSignalBlocker quiet(slider);
                     slider->setValue(value);
                   });
  QObject::connect(slider, &QSlider::sliderReleased, &mixer,
                   [slider, &mixer, line] { mixer.SetSliderValue(line, slider->value()); });
  QObject::connect(slider, &QSlider::valueChanged, &mixer, [slider, &mixer, line](int value) {
    if (!slider->isSliderDown()) mixer.SetSliderValue(line, value);
  });
}

}  // namespace dialvo
