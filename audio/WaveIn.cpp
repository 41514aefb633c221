#include "audio/WaveIn.h"

#include "base/Trace.h"

namespace dialvo {

WaveIn::WaveIn(uint32_t samplesPerBuffer, uint32_t sampleRate, uint32_t channels,
               uint32_t bitsPerSample, std::shared_ptr<SoundBackend> backend)
    : format_(WaveFormat::Pcm(sampleRate, channels, bitsPerSample)),
      bufferBytes_(samplesPerBuffer * channels * bitsPerSample / 8),
      memory_(size_t{kBufferCount} * bufferBytes_),
      backend_(std::move(backend)) {}

WaveIn::~WaveIn() { Close(); }

std::span<const uint8_t> WaveIn::Buffer(uint32_t index) const {
  return {memory_.data() + size_t{index} * bufferBytes_, bufferBytes_};
}

void WaveIn::Queue(uint32_t index) {
  WaveHeader& header = headers_[index];
  header.data = memory_.data() + size_t{index} * bufferBytes_;
  header.bufferLength = bufferBytes_;
  header.flags.store(0);
  header.loops = 0;
  header.user = index;
  WaveDevice::Prepare(header);
  if (device_) device_->AddBuffer(header);
}

int WaveIn::Open(uint32_t threadId) {
  // Opening an open device would leave the old one capturing unseen.
  if (device_) Close();
  stop_ = 0;
  std::shared_ptr<SoundBackend> backend = backend_ ? backend_ : DefaultSoundBackend();
  if (!backend || !backend->Supports(format_)) {
    lastOpenError_ = "capture format not supported";
    return 0;
  }
  for (uint32_t attempt = 1; attempt <= kOpenAttempts; ++attempt) {
    openResult_ =
        WaveInDevice::Open(*backend, format_, bufferBytes_, threadId, device_, &lastOpenError_);
    if (openResult_ == kMmNoError) break;
    TraceLog("Opening the capture device failed (attempt %u): %s", attempt, lastOpenError_.c_str());
    backend->DeviceClock().Sleep(kOpenRetryMs);
  }
  if (openResult_ != kMmNoError) return 0;
  lastOpenError_.clear();
  // The fifth buffer rests; ReleaseBuffer requeues the one released before.
  for (uint32_t i = 0; i + 1 < kBufferCount; ++i) Queue(i);
  current_ = 0;
  device_->Start();
  return 1;
}

int WaveIn::ReleaseBuffer() {
  WaveDevice::Unprepare(headers_[current_]);
  if (stop_ != 0) return 1;
  const uint32_t prev = current_ == 0 ? kBufferCount - 1 : current_ - 1;
  current_ = (current_ + 1) % kBufferCount;
  Queue(prev);
  return 1;
}

void WaveIn::Stop() {
  if (stop_ != 0) return;
  stop_ = 1;
  if (device_) device_->Reset();
}

void WaveIn::Close() {
  if (!device_) return;
  device_->Reset();
  device_->Close();
  openResult_ = kMmBadDeviceId;
  device_.reset();
}

}  // namespace dialvo
