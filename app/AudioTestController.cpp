#include "app/AudioTestController.h"

#include <QPointer>

#include "app/PostedCall.h"

namespace dialvo {

AudioTestController::AudioTestController(CallController& calls,
                                         std::shared_ptr<SoundBackend> backend, QObject* parent)
    : QObject(parent), calls_(calls), test_(std::make_shared<MicTest>(std::move(backend))) {}

AudioTestController::~AudioTestController() {
  worker_.Post([test = test_] { test->Stop(); });
  worker_.Stop();
}

bool AudioTestController::event(QEvent* event) {
  return RunPostedCall(event) || QObject::event(event);
}

QString AudioTestController::Refusal() const {
  if (calls_.CallInProgress() || calls_.ConnectInProgress()) {
    return QStringLiteral("You cannot test the mic settings when a call is in progress.");
  }
  return {};
}

void AudioTestController::Start() {
  if (running_ || !Refusal().isEmpty()) return;
  running_ = true;
  stopping_ = false;
  // The engine lets go of the devices (and the port) first.
  calls_.LendPort([self = QPointer(this)] {
    AudioTestController* const me = self.data();
    if (me == nullptr) return;
    if (!me->running_ || me->stopping_) return;  // closed before the engine was gone
    me->worker_.Post([me, test = me->test_] {
      test->Start([me](std::vector<int16_t> samples) {
        PostCall(me, [me, samples = std::move(samples)] {
          if (me->running_ && !me->stopping_) emit me->block(samples);
        });
      });
      const bool capture = test->CaptureOpen();
      const bool playback = test->PlaybackOpen();
      const QString errors = QString::fromStdString(test->Errors());
      PostCall(me,
               [me, capture, playback, errors] { emit me->started(capture, playback, errors); });
    });
  });
}

void AudioTestController::SetEcho(bool on) { test_->SetEcho(on); }

void AudioTestController::Stop() {
  if (!running_ || stopping_) return;
  stopping_ = true;
  worker_.Post([this, test = test_] {
    test->Stop();
    PostCall(this, [this] {
      running_ = false;
      stopping_ = false;
      calls_.ReturnPort();
      emit stopped();
    });
  });
}

}  // namespace dialvo
