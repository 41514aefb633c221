#pragma once
// The seam between the wave devices and the machine's sound: a backend opens
// capture and playback streams of one PCM format. Three backends exist:
// PulseAudio (the desktop's default source and sink), WAV files (capture from
// a file, playback into a file) and null (silence in, nothing out). The file
// and null backends pace their blocks by the backend's clock.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "audio/WaveTypes.h"
#include "base/Tick.h"

namespace dialvo {

// Lets a caller call off a blocking stream call from another thread: the
// call gives up once the generation no longer has the expected value. The
// canceller changes the generation first, then calls the stream's Interrupt.
struct StreamCancel {
  const std::atomic<uint32_t>* generation = nullptr;
  uint32_t expected = 0;

  bool Requested() const {
    return generation != nullptr && generation->load(std::memory_order_acquire) != expected;
  }
};

enum class StreamResult : uint8_t {
  kDone,       // the block was captured, or played (handed to a server that plays it next)
  kCancelled,  // called off through StreamCancel
  kFailed,     // the stream broke (server gone, file unwritable); later calls fail too
};

class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // Blocks until the next block.size() bytes have been captured.
  virtual StreamResult Read(std::span<uint8_t> block, const StreamCancel& cancel) = 0;
  // Wakes a blocked Read so that it looks at its StreamCancel. Any thread.
  virtual void Interrupt() = 0;
};

class PlaybackStream {
 public:
  virtual ~PlaybackStream() = default;
  // Blocks until the block has been played or accepted for playing next.
  virtual StreamResult Write(std::span<const uint8_t> block, const StreamCancel& cancel) = 0;
  // Blocks until everything accepted has been played.
  virtual StreamResult Drain(const StreamCancel& cancel) = 0;
  // Wakes a blocked call and drops what was accepted but not yet played.
  // Any thread.
  virtual void Interrupt() = 0;
};

template <typename Stream>
struct OpenedStream {
  std::unique_ptr<Stream> stream;  // null when the open failed
  uint32_t result = kMmNoError;    // a kMm*/kWave* code when it failed
  std::string error;               // what went wrong, for a user or a trace

  static OpenedStream Ok(std::unique_ptr<Stream> opened) {
    OpenedStream out;
    out.stream = std::move(opened);
    return out;
  }
  static OpenedStream Failed(uint32_t code, std::string text) {
    OpenedStream out;
    out.result = code;
    out.error = std::move(text);
    return out;
  }
};

class SoundBackend {
 public:
  virtual ~SoundBackend() = default;
  // "pulse", "file" or "null".
  virtual const char* Name() const = 0;
  // Whether voice streams of this format can be opened at all.
  virtual bool Supports(const WaveFormat& format) const = 0;
  // Voice streams; blockBytes is the unit in which the device moves data.
  virtual OpenedStream<CaptureStream> OpenCapture(const WaveFormat& format,
                                                  uint32_t blockBytes) = 0;
  virtual OpenedStream<PlaybackStream> OpenPlayback(const WaveFormat& format,
                                                    uint32_t blockBytes) = 0;
  // A stream for the program's own sounds (ring tone, clicks), of any PCM
  // format; it never goes into a voice recording file.
  virtual OpenedStream<PlaybackStream> OpenSoundOutput(const WaveFormat& format,
                                                       uint32_t blockBytes) = 0;
  // The clock that paces this backend's devices and spaces open attempts.
  virtual Clock& DeviceClock() = 0;
};

enum class SoundBackendKind : uint8_t { kPulse, kFile, kNull };

// "pulse", "file", "null"; nullopt for anything else.
std::optional<SoundBackendKind> ParseSoundBackendKind(std::string_view text);

struct SoundBackendOptions {
  SoundBackendKind kind = SoundBackendKind::kPulse;
  // file: the WAV captured from (8000 Hz mono 16-bit); empty captures silence.
  std::string playFile;
  // file: the WAV every played block goes to; empty discards them.
  std::string recFile;
  // file: start the play file again at its end instead of capturing silence.
  bool loop = false;
  // pulse: application and stream names; empty means the program's name.
  std::string programName;
  // pulse: server address ("unix:/path"); empty means the user's default.
  std::string server;
  // Paces the file and null backends and spaces open attempts; null means
  // the system clock. Must outlive the backend.
  Clock* clock = nullptr;
};

// A new backend; null with *error set when the options cannot work (an
// unreadable or wrongly formatted play file). Opening the devices happens
// later, so a missing sound server shows up as a failed Open.
std::shared_ptr<SoundBackend> CreateSoundBackend(const SoundBackendOptions& options,
                                                 std::string* error);

// The backend that devices and sounds use when none was given to them. Set
// it before opening devices; until then it is PulseAudio with defaults.
void SetDefaultSoundBackend(std::shared_ptr<SoundBackend> backend);
std::shared_ptr<SoundBackend> DefaultSoundBackend();

// The program's name as the desktop should show it.
std::string ProgramName();

}  // namespace dialvo
