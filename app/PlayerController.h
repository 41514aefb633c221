#pragma once
// The Record/Play group's player as the window sees it: Load, Play, Pause,
// Stop, the position slider and the export to WAV. A QObject without
// widgets over the audio layer's RecordingPlayer; the player's callbacks
// come back to the GUI thread as posted calls.
#include <QColor>
#include <QObject>
#include <QString>
#include <memory>

#include "app/SerialWorker.h"
#include "audio/RecordingPlayer.h"

namespace dialvo {

class PlayerController final : public QObject {
  Q_OBJECT
 public:
  // backend: the sound backend to play on (null: the process default).
  explicit PlayerController(std::shared_ptr<SoundBackend> backend, QObject* parent = nullptr);
  ~PlayerController() override;

  bool Loaded() const { return player_.IsLoaded(); }
  PlayerState State() const { return state_; }
  // What the buttons may do now.
  bool CanLoad() const { return state_ == PlayerState::kStopped && !inCall_; }
  bool CanPlay() const { return Loaded() && state_ != PlayerState::kPlaying && !inCall_; }
  bool CanPause() const { return state_ == PlayerState::kPlaying; }
  bool CanStop() const { return state_ != PlayerState::kStopped; }
  bool CanSeek() const { return Loaded() && !inCall_; }
  bool CanExport() const { return Loaded() && !exporting_; }
  QString LoadedPath() const { return path_; }

 public slots:
  void Load(const QString& path);
  void Play();
  void Pause();
  void Stop();
  // The slider let go at percent.
  void Seek(int percent);
  // Writes the loaded recording as a WAV file, on a worker thread.
  void Export(const QString& wavPath);
  // A call started: nothing may play during it (the recording is closed);
  // ended: Load is possible again.
  void SetInCall(bool inCall);

 signals:
  void stateChanged();
  void progress(int percent);
  // "Playing" or "Paused" in blue, or nothing.
  void caption(const QString& text, const QColor& colour);
  void playedLevel(int peak);
  void message(const QString& text, bool error);
  void exported(bool ok, const QString& text);

 protected:
  bool event(QEvent* event) override;

 private:
  void SetState(PlayerState state);

  RecordingPlayer player_;
  SerialWorker exporter_{"Export Thread"};
  PlayerState state_ = PlayerState::kStopped;
  QString path_;
  bool inCall_ = false;
  bool exporting_ = false;
};

}  // namespace dialvo
