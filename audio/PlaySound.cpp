#include "audio/PlaySound.h"

#include <cstdlib>
#include <vector>

#include "audio/WavFile.h"
#include "base/DataPaths.h"

namespace dialvo {

struct SoundPlayer::Playing {
  WavReader reader;
  std::unique_ptr<PlaybackStream> stream;
  std::atomic<uint32_t> generation{0};  // changed to stop the sound
  std::atomic<bool> finished{false};
  std::thread thread;
};

SoundPlayer::SoundPlayer(std::shared_ptr<SoundBackend> backend) : backend_(std::move(backend)) {}

SoundPlayer::~SoundPlayer() { Stop(); }

bool SoundPlayer::Play(const std::string& name, uint32_t flags) {
  std::lock_guard lock(mutex_);
  if ((flags & kSoundNoStop) != 0 && playing_ && !playing_->finished) {
    lastError_ = "a sound is playing";
    return false;
  }
  StopLocked();
  auto playing = std::make_unique<Playing>();
  const std::string path = SoundFilePath(name);
  if (!playing->reader.Open(path, &lastError_)) return false;
  const WavInfo& info = playing->reader.Info();
  if (info.frames == 0) {
    lastError_ = path + ": no sound in the file";
    return false;
  }
  std::shared_ptr<SoundBackend> backend = backend_ ? backend_ : DefaultSoundBackend();
  const WaveFormat format = WaveFormat::Pcm(info.sampleRate, info.channels, 16);
  // Blocks of 100 ms: short enough to stop promptly.
  const size_t chunkFrames = std::max<size_t>(info.sampleRate / 10, 1);
  OpenedStream<PlaybackStream> opened =
      backend->OpenSoundOutput(format, static_cast<uint32_t>(chunkFrames * format.blockAlign));
  if (!opened.stream) {
    lastError_ = opened.error;
    return false;
  }
  playing->stream = std::move(opened.stream);
  Playing* raw = playing.get();
  const bool loop = (flags & kSoundLoop) != 0;
  playing->thread = std::thread([raw, chunkFrames, loop] { Run(raw, chunkFrames, loop); });
  playing_ = std::move(playing);
  lastError_.clear();
  return true;
}

void SoundPlayer::Run(Playing* playing, size_t chunkFrames, bool loop) {
  const StreamCancel cancel{&playing->generation, 0};
  const uint32_t channels = playing->reader.Info().channels;
  std::vector<int16_t> samples(chunkFrames * channels);
  bool complete = true;
  for (;;) {
    size_t frames = playing->reader.ReadFrames(samples);
    if (frames == 0 && loop && playing->reader.Rewind()) {
      frames = playing->reader.ReadFrames(samples);
    }
    if (frames == 0) break;
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(samples.data()),
                                         frames * channels * sizeof(int16_t));
    if (playing->stream->Write(bytes, cancel) != StreamResult::kDone) {
      complete = false;
      break;
    }
  }
  if (complete) playing->stream->Drain(cancel);
  playing->finished = true;
}

void SoundPlayer::StopLocked() {
  if (!playing_) return;
  playing_->generation.fetch_add(1);
  playing_->stream->Interrupt();
  playing_->thread.join();
  playing_.reset();
}

void SoundPlayer::Stop() {
  std::lock_guard lock(mutex_);
  StopLocked();
}

bool SoundPlayer::IsPlaying() const {
  std::lock_guard lock(mutex_);
  return playing_ && !playing_->finished;
}

std::string SoundPlayer::LastError() const {
  std::lock_guard lock(mutex_);
  return lastError_;
}

namespace {

SoundPlayer& ProcessPlayer() {
  static SoundPlayer player;
  return player;
}

std::mutex directoryMutex;  // guards soundDirectory; taken by any thread that plays a sound
std::string soundDirectory;
bool directorySet = false;

}  // namespace

bool PlaySound(const char* name, uint32_t flags) {
  if (name == nullptr) {
    ProcessPlayer().Stop();
    return true;
  }
  return ProcessPlayer().Play(name, flags);
}

bool IsSoundPlaying() { return ProcessPlayer().IsPlaying(); }

void SetSoundDirectory(const std::string& directory) {
  std::lock_guard lock(directoryMutex);
  soundDirectory = directory;
  directorySet = true;
}

std::string SoundFilePath(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  std::string directory;
  {
    std::lock_guard lock(directoryMutex);
    if (directorySet) {
      directory = soundDirectory;
    } else if (const char* env = std::getenv("DIALVO_SOUND_DIR"); env != nullptr && *env != 0) {
      directory = env;
    } else {
      directory = FindDataDirectory("sounds").string();
    }
  }
  return directory.empty() ? name : directory + "/" + name;
}

}  // namespace dialvo
