#include "app/PlayerController.h"

#include <algorithm>

#include "app/PostedCall.h"
#include "audio/RecordingExport.h"
#include "controls/LevelDisplay.h"

namespace dialvo {

namespace {

const QColor kPlayerBlue(0, 0, 255);

}  // namespace

PlayerController::PlayerController(std::shared_ptr<SoundBackend> backend, QObject* parent)
    : QObject(parent),
      player_(
          std::move(backend),
          RecordingPlayerCallbacks{
              [this](int percent) { PostCall(this, [this, percent] { emit progress(percent); }); },
              [this](std::span<const int16_t> block) {
                const int peak = BlockPeak(block.data(), block.size());
                PostCall(this, [this, peak] { emit playedLevel(peak); });
              },
              [this](const std::string& error) {
                const QString text = QString::fromStdString(error);
                PostCall(this, [this, text] {
                  SetState(PlayerState::kStopped);
                  emit message(QStringLiteral("Cannot play the recording: ") + text, true);
                });
              },
              [this] {
                // The run ended by itself: stopped and rewound.
                PostCall(this, [this] {
                  SetState(PlayerState::kStopped);
                  emit progress(100);
                });
              }}) {}

PlayerController::~PlayerController() {
  exporter_.Stop();
  player_.Unload();  // joins the player's threads before this object goes
}

bool PlayerController::event(QEvent* event) {
  return RunPostedCall(event) || QObject::event(event);
}

void PlayerController::SetState(PlayerState state) {
  state_ = state;
  if (state == PlayerState::kPlaying) {
    emit caption(QStringLiteral("Playing"), kPlayerBlue);
  } else if (state == PlayerState::kPaused) {
    emit caption(QStringLiteral("Paused"), kPlayerBlue);
  } else {
    emit caption({}, {});
  }
  emit stateChanged();
}

void PlayerController::Load(const QString& path) {
  if (!CanLoad()) return;
  std::string error;
  if (!player_.Load(path.toStdString(), &error)) {
    path_.clear();
    emit message(QString::fromStdString(error), true);
    SetState(PlayerState::kStopped);
    return;
  }
  path_ = path;
  emit progress(0);
  SetState(PlayerState::kStopped);
}

void PlayerController::Play() {
  if (!CanPlay()) return;
  if (player_.Play()) SetState(PlayerState::kPlaying);
}

void PlayerController::Pause() {
  if (!CanPause()) return;
  player_.Pause();
  SetState(PlayerState::kPaused);
}

void PlayerController::Stop() {
  if (state_ == PlayerState::kStopped) return;
  player_.Stop();
  emit progress(0);
  SetState(PlayerState::kStopped);
}

void PlayerController::Seek(int percent) {
  if (CanSeek()) player_.SeekPercent(percent);
}

void PlayerController::SetInCall(bool inCall) {
  if (inCall == inCall_) return;
  inCall_ = inCall;
  if (inCall) {
    // Nothing plays during a call: the recording is closed.
    player_.Unload();
    path_.clear();
    emit progress(0);
  }
  SetState(PlayerState::kStopped);
}

void PlayerController::Export(const QString& wavPath) {
  if (!CanExport() || wavPath.isEmpty()) return;
  exporting_ = true;
  emit stateChanged();
  const std::string in = path_.toStdString();
  const std::string out = wavPath.toStdString();
  exporter_.Post([this, in, out] {
    std::string error;
    const bool ok = ExportRecordingToWav(in, out, &error);
    const QString text = ok ? QStringLiteral("Exported to ") + QString::fromStdString(out)
                            : QString::fromStdString(error);
    PostCall(this, [this, ok, text] {
      exporting_ = false;
      emit stateChanged();
      emit exported(ok, text);
    });
  });
}

}  // namespace dialvo
