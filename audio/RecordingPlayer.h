#pragma once
// Plays a recording (see RecordFile) on a sound backend. Play starts two
// threads: the player thread owns a WaveOut and answers each played buffer
// by asking the feeder for more; the feeder decodes records with its own
// codec and keeps the device's four buffers queued.
//
// Progress is the share of the file handed to the device so far: after each
// played buffer the feeder reports 100 * position / size, rounded up, so it
// reads 100 once the last record is queued. The run then goes on until the
// device has played everything queued, rewinds and reports finished.
//
// Play, Pause, Stop, Load and SeekPercent belong to one owner thread (they
// are serialised anyway). Callbacks come from the player's threads; the
// owner hands them on to its own thread and never calls the player from
// inside one (its calls wait for those threads). Pause and Stop wait for the
// threads, but never longer than kJoinLimitMs.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "audio/RecordFile.h"
#include "audio/SoundBackend.h"

namespace dialvo {

// Thread messages of the player's threads.
inline constexpr uint32_t WM_PLAYER_QUIT = 1147;    // both threads: end
inline constexpr uint32_t WM_PLAYER_REFILL = 1148;  // feeder: a buffer is free
// Player thread: the feeder has queued its last record.
inline constexpr uint32_t WM_PLAYER_FED_ALL = 1149;

enum class PlayerState : uint8_t { kStopped, kPlaying, kPaused };

struct RecordingPlayerCallbacks {
  // Feeder thread: the progress in percent (0 to 100), when it changed.
  std::function<void(int percent)> progress;
  // Player thread: a block the device has played (for a level display).
  std::function<void(std::span<const int16_t> block)> played;
  // Player thread: the playback device could not be opened; the player is
  // stopped again.
  std::function<void(const std::string& error)> deviceFailed;
  // Player thread: the last block has been played; the player is stopped
  // and rewound.
  std::function<void()> finished;
};

class RecordingPlayer {
 public:
  static constexpr uint32_t kBlockSamples = 1600;
  static constexpr uint32_t kSampleRate = 8000;
  // How long Pause and Stop wait for each of the player's threads.
  static constexpr uint32_t kJoinLimitMs = 3000;
  // How long Stop lets the device play what is queued once the feeder has
  // reached the end (four blocks take 800 ms).
  static constexpr uint32_t kDrainLimitMs = 2000;

  // backend: null means the process default of the moment Play is called.
  explicit RecordingPlayer(std::shared_ptr<SoundBackend> backend,
                           RecordingPlayerCallbacks callbacks = {});
  ~RecordingPlayer();
  RecordingPlayer(const RecordingPlayer&) = delete;
  RecordingPlayer& operator=(const RecordingPlayer&) = delete;

  // Stops and closes what was loaded, then opens path. False, with
  // kRecordingOpenFailedText or kRecordingCorruptedText in *error, leaves
  // nothing loaded.
  bool Load(const std::string& path, std::string* error);
  // Stops and closes the recording.
  void Unload();
  bool IsLoaded() const;
  uint64_t RecordCount() const;
  // The record the next block played would come from; RecordCount() at
  // the end.
  uint64_t CurrentRecord() const;

  // Starts or resumes playing; after a run to the end it starts again from
  // the first record (reporting progress 0). False when nothing is loaded,
  // it plays already, or an earlier run's threads are still ending.
  bool Play();
  // Ends the run and steps back over the blocks queued but not yet heard,
  // so that Play resumes with the first of them.
  void Pause();
  // Ends the run and rewinds. When the feeder has queued the last record,
  // the device first plays out what it holds (at most kDrainLimitMs).
  void Stop();
  // The position slider let go at percent: 0 rewinds; otherwise seeks to
  // record RecordCount * percent / 100, which is refused for the last
  // record (so 100 never moves). A seek while playing applies to the next
  // record queued.
  void SeekPercent(int percent);
  PlayerState State() const { return state_.load(); }

 private:
  struct Run;
  static uint32_t PlayerThread(Run& run);
  static uint32_t FeederThread(Run& run);
  // Waits for the run's threads (bounded); false when they did not end.
  bool EndRun(Run& run, uint32_t drainMs);
  // Forgets a run whose threads have ended; true when none is left.
  bool ReapRun();

  const std::shared_ptr<SoundBackend> backend_;
  const RecordingPlayerCallbacks callbacks_;
  mutable std::mutex mutex_;  // serialises the owner's calls (guards run_)
  RecordFile file_;
  std::unique_ptr<Run> run_;  // the threads of the last Play
  std::atomic<PlayerState> state_{PlayerState::kStopped};
};

}  // namespace dialvo
