#include "audio/RecordingPlayer.h"

#include <optional>
#include <vector>

#include "audio/GsmCodec.h"
#include "audio/PlaySound.h"
#include "audio/WaveOut.h"
#include "base/NamedThread.h"
#include "base/ThreadId.h"
#include "base/ThreadMessages.h"
#include "base/Trace.h"
#include "base/Wait.h"

namespace dialvo {

// One Play: the device and the two threads, with what they count. Lives
// until both threads have ended.
struct RecordingPlayer::Run {
  Run(RecordingPlayer& playerObject, const std::shared_ptr<SoundBackend>& backend)
      : owner(playerObject), out(kBlockSamples, kSampleRate, 1, 16, backend) {}

  RecordingPlayer& owner;
  WaveOut out;
  std::unique_ptr<NamedThread> player;
  std::unique_ptr<NamedThread> feeder;  // made and ended by the player thread
  std::atomic<uint32_t> playerId{0};
  std::atomic<uint32_t> feederId{0};
  std::atomic<bool> fedAll{false};     // the feeder has queued the last record
  std::atomic<uint64_t> written{0};    // blocks queued by the feeder
  std::atomic<uint64_t> heard{0};      // blocks the device has played
  std::atomic<bool> completed{false};  // played to the end
  std::atomic<bool> failed{false};     // the device did not open
};

namespace {

// Progress in percent of the file queued, rounded up.
int Percent(uint64_t position, uint64_t size) {
  if (size == 0) return 0;
  return static_cast<int>((position * 100 + size - 1) / size);
}

}  // namespace

RecordingPlayer::RecordingPlayer(std::shared_ptr<SoundBackend> backend,
                                 RecordingPlayerCallbacks callbacks)
    : backend_(std::move(backend)), callbacks_(std::move(callbacks)) {}

RecordingPlayer::~RecordingPlayer() {
  std::lock_guard lock(mutex_);
  if (run_) EndRun(*run_, 0);
  // The threads use the run and this object: the run's NamedThread waits
  // for a thread that is somehow still going.
  run_.reset();
}

bool RecordingPlayer::Load(const std::string& path, std::string* error) {
  std::lock_guard lock(mutex_);
  if (run_) EndRun(*run_, 0);
  state_ = PlayerState::kStopped;
  if (!ReapRun()) {
    // A thread that did not end may still read the file.
    if (error != nullptr) *error = "The player is still stopping; try again";
    return false;
  }
  file_.Close();
  std::string problem;
  if (!file_.Open(path, RecordFile::kRecordBytes, &problem)) {
    if (error != nullptr) *error = problem;
    return false;
  }
  problem = file_.Problem();
  if (!problem.empty()) {
    // Nothing half-loaded stays behind to be played.
    file_.Close();
    if (error != nullptr) *error = problem;
    return false;
  }
  return true;
}

void RecordingPlayer::Unload() {
  std::lock_guard lock(mutex_);
  if (run_) EndRun(*run_, 0);
  state_ = PlayerState::kStopped;
  if (ReapRun()) file_.Close();
}

bool RecordingPlayer::IsLoaded() const {
  std::lock_guard lock(mutex_);
  return file_.Playable();
}

uint64_t RecordingPlayer::RecordCount() const {
  std::lock_guard lock(mutex_);
  return file_.RecordCount();
}

uint64_t RecordingPlayer::CurrentRecord() const {
  const uint32_t size = file_.RecordSize();
  return size == 0 ? 0 : file_.Position() / size;
}

bool RecordingPlayer::Play() {
  std::lock_guard lock(mutex_);
  if (!file_.Playable() || state_ == PlayerState::kPlaying || !ReapRun()) return false;
  // A position past the end means the last run went to the end: start over.
  if (file_.Next()) {
    file_.Prev();
  } else {
    file_.Rewind();
    if (callbacks_.progress) callbacks_.progress(0);
  }
  run_ = std::make_unique<Run>(*this, backend_);
  state_ = PlayerState::kPlaying;
  run_->player =
      std::make_unique<NamedThread>([](void* run) { return PlayerThread(*static_cast<Run*>(run)); },
                                    run_.get(), "Recording player thread", false);
  if (!run_->player->Start(true)) {
    run_.reset();
    state_ = PlayerState::kStopped;
    return false;
  }
  return true;
}

void RecordingPlayer::Pause() {
  std::lock_guard lock(mutex_);
  if (state_ != PlayerState::kPlaying || !run_) return;
  Run& run = *run_;
  EndRun(run, 0);
  if (run.completed || run.failed) {
    state_ = PlayerState::kStopped;
  } else {
    // Resume with the first block the device had not played yet.
    const uint64_t written = run.written.load();
    const uint64_t heard = run.heard.load();
    for (uint64_t i = heard; i < written; ++i) file_.Prev();
    state_ = PlayerState::kPaused;
  }
  ReapRun();
}

void RecordingPlayer::Stop() {
  std::lock_guard lock(mutex_);
  if (run_ && state_ == PlayerState::kPlaying) {
    // At the end, the blocks still queued are the last ones: let them play.
    EndRun(*run_, run_->fedAll ? kDrainLimitMs : 0);
  }
  ReapRun();
  file_.Rewind();
  state_ = PlayerState::kStopped;
}

void RecordingPlayer::SeekPercent(int percent) {
  std::lock_guard lock(mutex_);
  if (!file_.Playable()) return;
  if (percent <= 0) {
    file_.Rewind();
    return;
  }
  const uint64_t p = percent > 100 ? 100 : static_cast<uint64_t>(percent);
  file_.Seek(file_.RecordCount() * p / 100);
}

bool RecordingPlayer::EndRun(Run& run, uint32_t drainMs) {
  if (drainMs > 0 && run.player->Wait(drainMs) != static_cast<int32_t>(kWaitTimeout)) return true;
  PostThreadMessage(run.playerId, WM_PLAYER_QUIT, 0, 0);
  if (run.player->Wait(kJoinLimitMs) == static_cast<int32_t>(kWaitTimeout)) {
    TraceLog("The recording player thread did not end within %u ms", kJoinLimitMs);
    return false;
  }
  return true;
}

bool RecordingPlayer::ReapRun() {
  if (!run_) return true;
  if (run_->player->Wait(0) == static_cast<int32_t>(kWaitTimeout)) {
    // A run that ends by itself may be about to: give it a moment.
    if (run_->player->Wait(kJoinLimitMs) == static_cast<int32_t>(kWaitTimeout)) return false;
  }
  run_.reset();
  return true;
}

uint32_t RecordingPlayer::PlayerThread(Run& run) {
  RecordingPlayer& owner = run.owner;
  PeekMessage();
  run.playerId = CurrentThreadId();
  NamedThread::Current()->ReleaseStartSemaphore();

  if (run.out.Open(CurrentThreadId()) == 0) {
    run.failed = true;
    PlayerState playing = PlayerState::kPlaying;
    owner.state_.compare_exchange_strong(playing, PlayerState::kStopped);
    std::string error = run.out.LastOpenError();
    if (error.empty()) error = "the playback device cannot be opened";
    if (owner.callbacks_.deviceFailed) owner.callbacks_.deviceFailed(error);
    return 0;
  }
  run.feeder =
      std::make_unique<NamedThread>([](void* r) { return FeederThread(*static_cast<Run*>(r)); },
                                    &run, "Recording feeder thread", false);
  if (!run.feeder->Start(true)) {
    run.out.Close();
    run.failed = true;
    PlayerState playing = PlayerState::kPlaying;
    owner.state_.compare_exchange_strong(playing, PlayerState::kStopped);
    if (owner.callbacks_.deviceFailed) owner.callbacks_.deviceFailed("no feeder thread");
    return 0;
  }

  bool first = true;
  const auto drained = [&run] { return run.fedAll && run.out.Outstanding() == 0; };
  for (;;) {
    const ThreadMessage msg = GetMessage();
    if (msg.message == WM_PLAYER_QUIT) break;
    if (msg.message == WM_PLAYER_FED_ALL && drained()) {
      run.completed = true;
      break;
    }
    if (msg.message != MM_WOM_DONE) continue;
    if (first) {
      PlaySound("click.wav", kSoundAsync | kSoundNoDefault);
      first = false;
    }
    const auto* header = reinterpret_cast<const WaveHeader*>(msg.lParam);
    if (header->IsDone()) {
      ++run.heard;
      if (owner.callbacks_.played) {
        owner.callbacks_.played(std::span<const int16_t>(
            reinterpret_cast<const int16_t*>(header->data), header->bufferLength / 2));
      }
    }
    run.out.BufferDone();
    PostThreadMessage(run.feederId, WM_PLAYER_REFILL, 0, 0);
    if (drained()) {
      run.completed = true;
      break;
    }
  }

  PostThreadMessage(run.feederId, WM_PLAYER_QUIT, 0, 0);
  if (run.feeder->Wait(kJoinLimitMs) == static_cast<int32_t>(kWaitTimeout)) {
    TraceLog("The recording feeder thread did not end within %u ms", kJoinLimitMs);
  }
  // Blocks played before the quit whose message was not handled yet were
  // heard all the same; what Stop hands back was not.
  while (const auto msg = CurrentMessageQueue().TryGet()) {
    if (msg->message == MM_WOM_DONE) ++run.heard;
  }
  run.out.Stop();
  run.out.Close();

  if (run.completed) {
    PlayerState playing = PlayerState::kPlaying;
    owner.state_.compare_exchange_strong(playing, PlayerState::kStopped);
    owner.file_.Rewind();
    if (owner.callbacks_.finished) owner.callbacks_.finished();
  }
  return 0;
}

uint32_t RecordingPlayer::FeederThread(Run& run) {
  RecordingPlayer& owner = run.owner;
  RecordFile& file = owner.file_;
  PeekMessage();
  run.feederId = CurrentThreadId();
  NamedThread::Current()->ReleaseStartSemaphore();

  const std::unique_ptr<GsmCodec> codec = CreateCodec();
  std::vector<uint8_t> record(file.RecordSize());
  std::vector<int16_t> pcm(kBlockSamples);
  bool more = codec != nullptr;
  int reported = -1;
  // The offset of the record decoded into pcm that did not fit into the
  // ring: decoding it again would run the decoder's state on twice.
  std::optional<uint64_t> decodedAt;
  // Queues records until the ring is full (the position stays on the record
  // that did not fit) or the file ends.
  const auto fill = [&] {
    while (more) {
      if (!decodedAt || *decodedAt != file.Position()) {
        uint64_t offset = 0;
        if (!file.Read(record, &offset)) {
          // No whole record at the position: the end, or a file cut short.
          more = false;
          break;
        }
        uint32_t count = static_cast<uint32_t>(record.size());
        codec->Decode(record, pcm, count);
        decodedAt = offset;
      }
      if (run.out.Write(std::span<const int16_t>(pcm)) == 0) break;
      decodedAt.reset();
      ++run.written;
      more = file.Next();
    }
    if (!more && !run.fedAll.exchange(true)) {
      PostThreadMessage(run.playerId, WM_PLAYER_FED_ALL, 0, 0);
    }
  };

  fill();
  for (;;) {
    const ThreadMessage msg = GetMessage();
    if (msg.message == WM_PLAYER_QUIT) break;
    if (msg.message != WM_PLAYER_REFILL) continue;
    fill();
    const int percent = Percent(file.Position(), file.Size());
    if (percent != reported) {
      reported = percent;
      if (owner.callbacks_.progress) owner.callbacks_.progress(percent);
    }
  }
  return 0;
}

}  // namespace dialvo
