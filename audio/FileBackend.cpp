// Capture from a WAV file and playback into one, at the pace of a real
// device, so that calls can be scripted and their sound compared.
#include <cstring>
#include <mutex>

#include "audio/Backends.h"
#include "audio/PacedStream.h"
#include "audio/WavFile.h"

namespace dialvo {

namespace {

const WaveFormat kVoiceFormat = WaveFormat::Pcm(kVoiceWavRate, 1, 16);

// Only one playback stream at a time may write the recording file, like a
// sound card that one program holds. The backend starts the file afresh;
// every stream continues it.
struct RecordingFile {
  std::mutex mutex;  // guards inUse; taken by opening threads and closing devices
  bool inUse = false;
};

class FileBackend final : public SoundBackend {
 public:
  FileBackend(const SoundBackendOptions& options, Clock& clock)
      : options_(options), clock_(clock), null_(MakeNullBackend(clock)) {}
  const char* Name() const override { return "file"; }
  bool Supports(const WaveFormat& format) const override { return format == kVoiceFormat; }
  OpenedStream<CaptureStream> OpenCapture(const WaveFormat& format, uint32_t blockBytes) override;
  OpenedStream<PlaybackStream> OpenPlayback(const WaveFormat& format, uint32_t blockBytes) override;
  OpenedStream<PlaybackStream> OpenSoundOutput(const WaveFormat& format,
                                               uint32_t blockBytes) override {
    return null_->OpenSoundOutput(format, blockBytes);
  }
  Clock& DeviceClock() override { return clock_; }

 private:
  const SoundBackendOptions options_;
  Clock& clock_;
  std::shared_ptr<SoundBackend> null_;  // stands in when no file was given
  std::shared_ptr<RecordingFile> recording_ = std::make_shared<RecordingFile>();
};

OpenedStream<CaptureStream> FileBackend::OpenCapture(const WaveFormat& format,
                                                     uint32_t blockBytes) {
  if (!Supports(format))
    return OpenedStream<CaptureStream>::Failed(kWaveBadFormat, "unsupported format");
  if (options_.playFile.empty()) return null_->OpenCapture(format, blockBytes);
  auto reader = std::make_shared<WavReader>();
  std::string error;
  if (!reader->Open(options_.playFile, &error))
    return OpenedStream<CaptureStream>::Failed(kMmError, error);
  error = CheckVoiceWav(options_.playFile);
  if (!error.empty()) return OpenedStream<CaptureStream>::Failed(kWaveBadFormat, error);
  const bool loop = options_.loop;
  // Each open captures the file from its first sample.
  auto source = [reader, loop, samples = std::vector<int16_t>()](std::span<uint8_t> block) mutable {
    samples.assign(block.size() / sizeof(int16_t), 0);
    std::span<int16_t> rest(samples);
    while (!rest.empty()) {
      const size_t got = reader->ReadFrames(rest);
      rest = rest.subspan(got);
      if (got == 0 && (!loop || reader->Info().frames == 0 || !reader->Rewind())) break;
    }
    std::memcpy(block.data(), samples.data(), samples.size() * sizeof(int16_t));
    return true;
  };
  return OpenedStream<CaptureStream>::Ok(
      std::make_unique<PacedCapture>(clock_, format, std::move(source)));
}

OpenedStream<PlaybackStream> FileBackend::OpenPlayback(const WaveFormat& format,
                                                       uint32_t blockBytes) {
  if (!Supports(format))
    return OpenedStream<PlaybackStream>::Failed(kWaveBadFormat, "unsupported format");
  if (options_.recFile.empty()) return null_->OpenPlayback(format, blockBytes);
  std::shared_ptr<RecordingFile> recording = recording_;
  {
    std::lock_guard lock(recording->mutex);
    if (recording->inUse) {
      return OpenedStream<PlaybackStream>::Failed(
          kMmAllocated, options_.recFile + " is already being played into");
    }
    recording->inUse = true;
  }
  auto writer = std::make_shared<WavWriter>();
  std::string error;
  if (!writer->Open(options_.recFile, kVoiceWavRate, 1, true, &error)) {
    std::lock_guard lock(recording->mutex);
    recording->inUse = false;
    return OpenedStream<PlaybackStream>::Failed(kMmError, error);
  }
  // Closes the file and gives it back when the stream (and with it the sink)
  // goes away.
  std::shared_ptr<void> lease(nullptr, [recording, writer](void*) {
    writer->Close();
    std::lock_guard lock(recording->mutex);
    recording->inUse = false;
  });
  auto sink = [writer, lease,
               samples = std::vector<int16_t>()](std::span<const uint8_t> block) mutable {
    samples.resize(block.size() / sizeof(int16_t));
    std::memcpy(samples.data(), block.data(), samples.size() * sizeof(int16_t));
    return writer->WriteFrames(samples);
  };
  return OpenedStream<PlaybackStream>::Ok(
      std::make_unique<PacedPlayback>(clock_, format, std::move(sink)));
}

}  // namespace

std::shared_ptr<SoundBackend> MakeFileBackend(const SoundBackendOptions& options, Clock& clock,
                                              std::string* error) {
  if (!options.playFile.empty()) {
    const std::string problem = CheckVoiceWav(options.playFile);
    if (!problem.empty()) {
      if (error != nullptr) *error = problem;
      return nullptr;
    }
  }
  if (!options.recFile.empty()) {
    // Start the recording now, so that an unusable path shows at once.
    WavWriter writer;
    if (!writer.Open(options.recFile, kVoiceWavRate, 1, false, error)) return nullptr;
  }
  return std::make_shared<FileBackend>(options, clock);
}

}  // namespace dialvo
