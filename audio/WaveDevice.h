#pragma once
// Open wave devices over a sound backend's streams. Each runs one thread
// that moves blocks between the stream and the buffers its owner lent it, and
// gives every finished buffer back by posting MM_WIM_DATA or MM_WOM_DONE to
// the owner thread's message queue. Calls report kMmNoError or an error code.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "audio/SoundBackend.h"

namespace dialvo {

// A device that cannot be opened is tried this often, this far apart.
inline constexpr uint32_t kWaveOpenAttempts = 8;
inline constexpr uint32_t kWaveOpenRetryMs = 250;

class WaveDevice {
 public:
  virtual ~WaveDevice() = default;
  WaveDevice(const WaveDevice&) = delete;
  WaveDevice& operator=(const WaveDevice&) = delete;

  // A buffer must be prepared before it is queued and may be unprepared only
  // while not queued.
  static uint32_t Prepare(WaveHeader& header);
  static uint32_t Unprepare(WaveHeader& header);

  // Hands every queued buffer back at once, marked done, each with its own
  // message. Capture also stops until the next Start.
  virtual uint32_t Reset() = 0;
  // Fails with kWaveStillPlaying while buffers are queued. Once it succeeded
  // no more messages are posted.
  uint32_t Close();

 protected:
  WaveDevice(uint32_t threadId, uint32_t message);
  // Queues a prepared buffer.
  uint32_t Enqueue(WaveHeader& header);
  // Marks a buffer done and posts its message (device mutex held).
  void Complete(WaveHeader& header);
  void CompleteAll();
  // A token for the next stream call, which fires once Reset or Close
  // changes the generation (device mutex held).
  StreamCancel Cancel() const { return {&generation_, generation_.load()}; }
  // Starts the worker of a device made from a stream that opened; the code
  // and text of one that did not.
  template <typename Device, typename Stream, typename Make>
  static uint32_t Adopt(OpenedStream<Stream> opened, std::unique_ptr<Device>& device,
                        std::string* error, Make make) {
    if (!opened.stream) {
      if (error != nullptr) *error = opened.error;
      return opened.result != kMmNoError ? opened.result : kMmError;
    }
    device.reset(make(std::move(opened.stream)));
    device->StartWorker();
    return kMmNoError;
  }
  virtual void InterruptStream() = 0;
  void StartWorker();

  const uint32_t threadId_;
  const uint32_t message_;
  // Guards queue_, started_ and closing_; taken by the owner's calls (from
  // any thread) and by the worker thread. Messages are posted under it, so
  // they leave in the order buffers complete.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<WaveHeader*> queue_;
  bool closing_ = false;
  // Changed to call off the worker's stream call (reset, close).
  std::atomic<uint32_t> generation_{0};

 private:
  virtual void Work() = 0;
  std::thread worker_;
};

class WaveInDevice final : public WaveDevice {
 public:
  // Opens a capture stream of the format; blockBytes is how much fills one
  // buffer. On failure returns the code and sets *error.
  static uint32_t Open(SoundBackend& backend, const WaveFormat& format, uint32_t blockBytes,
                       uint32_t threadId, std::unique_ptr<WaveInDevice>& device,
                       std::string* error);
  ~WaveInDevice() override;

  uint32_t AddBuffer(WaveHeader& header) { return Enqueue(header); }
  // Buffers are filled only between Start and Reset; captured sound that
  // finds no buffer queued is lost.
  uint32_t Start();
  uint32_t Reset() override;

 private:
  WaveInDevice(uint32_t threadId, uint32_t blockBytes, std::unique_ptr<CaptureStream> stream);
  void Work() override;
  void InterruptStream() override { stream_->Interrupt(); }

  const uint32_t blockBytes_;
  std::unique_ptr<CaptureStream> stream_;
  bool started_ = false;  // guarded by mutex_
};

class WaveOutDevice final : public WaveDevice {
 public:
  static uint32_t Open(SoundBackend& backend, const WaveFormat& format, uint32_t blockBytes,
                       uint32_t threadId, std::unique_ptr<WaveOutDevice>& device,
                       std::string* error);
  ~WaveOutDevice() override;

  // Queues a buffer for playing after those already queued.
  uint32_t Write(WaveHeader& header) { return Enqueue(header); }
  // Also drops what the stream holds unplayed.
  uint32_t Reset() override;

 private:
  explicit WaveOutDevice(uint32_t threadId, std::unique_ptr<PlaybackStream> stream);
  void Work() override;
  void InterruptStream() override { stream_->Interrupt(); }

  std::unique_ptr<PlaybackStream> stream_;
};

// How WaveIn and WaveOut open their device. The backend is the given one or
// else the process default. A format it does not support is refused without
// a try (false, result untouched); otherwise up to kWaveOpenAttempts tries,
// each failure followed by a wait of kWaveOpenRetryMs by the backend's clock
// and then afterFailure. result gets each try's code, error the reason of
// the last failure. True when the device opened.
template <typename Device>
bool OpenWithRetries(const std::shared_ptr<SoundBackend>& given, const WaveFormat& format,
                     uint32_t blockBytes, uint32_t threadId, std::unique_ptr<Device>& device,
                     uint32_t& result, std::string& error, void (*afterFailure)());

}  // namespace dialvo
