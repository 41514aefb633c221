#include "audio/WaveOut.h"

#include <cstring>

#include "audio/PlaySound.h"
#include "base/Trace.h"

namespace dialvo {

WaveOut::WaveOut(uint32_t samplesPerBuffer, uint32_t sampleRate, uint32_t channels,
                 uint32_t bitsPerSample, std::shared_ptr<SoundBackend> backend)
    : format_(WaveFormat::Pcm(sampleRate, channels, bitsPerSample)),
      bufferBytes_(samplesPerBuffer * channels * bitsPerSample / 8),
      memory_(size_t{kBufferCount} * bufferBytes_),
      backend_(std::move(backend)) {}

WaveOut::~WaveOut() {
  Close();
  // A close refused because buffers were still queued: take them back first,
  // before the ring's memory goes.
  if (device_) {
    device_->Reset();
    device_->Close();
    device_.reset();
  }
}

int WaveOut::Open(uint32_t threadId) {
  // Opening an open device would leave the old one playing unseen.
  if (device_) Close();
  stop_ = 0;
  std::shared_ptr<SoundBackend> backend = backend_ ? backend_ : DefaultSoundBackend();
  if (!backend || !backend->Supports(format_)) {
    lastOpenError_ = "playback format not supported";
    return 0;
  }
  for (uint32_t attempt = 1; attempt <= kOpenAttempts; ++attempt) {
    openResult_ =
        WaveOutDevice::Open(*backend, format_, bufferBytes_, threadId, device_, &lastOpenError_);
    if (openResult_ == kMmNoError) break;
    TraceLog("Opening the playback device failed (attempt %u): %s", attempt,
             lastOpenError_.c_str());
    backend->DeviceClock().Sleep(kOpenRetryMs);
    // A sound of our own may be what holds the device.
    PlaySound(nullptr, 0);
  }
  if (openResult_ != kMmNoError) return 0;
  lastOpenError_.clear();
  return 1;
}

int WaveOut::Write(std::span<const uint8_t> block) {
  if (block.size() < bufferBytes_) return 0;
  CSemLock lock(*this);
  if ((tail_ + 1) % kBufferCount == head_) return 0;
  uint8_t* slot = memory_.data() + size_t{tail_} * bufferBytes_;
  std::memcpy(slot, block.data(), bufferBytes_);
  WaveHeader& header = headers_[tail_];
  header.data = slot;
  header.bufferLength = bufferBytes_;
  header.flags.store(0);
  header.loops = 0;
  WaveDevice::Prepare(header);
  if (device_) device_->Write(header);
  tail_ = (tail_ + 1) % kBufferCount;
  ++outstanding_;
  return 1;
}

int WaveOut::Write(std::span<const int16_t> samples) {
  return Write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(samples.data()),
                                        samples.size_bytes()));
}

int WaveOut::BufferDone() {
  CSemLock lock(*this);
  WaveDevice::Unprepare(headers_[head_]);
  head_ = (head_ + 1) % kBufferCount;
  --outstanding_;
  return 1;
}

void WaveOut::Stop() {
  if (stop_ != 0) return;
  stop_ = 1;
  if (openResult_ == kMmNoError && device_) device_->Reset();
}

void WaveOut::Close() {
  {
    CSemLock lock(*this);
    head_ = 0;
    tail_ = 0;
  }
  if (!device_) return;
  if (device_->Close() == kMmNoError) {
    openResult_ = kMmBadDeviceId;
    device_.reset();
  }
}

uint32_t WaveOut::Head() {
  CSemLock lock(*this);
  return head_;
}

uint32_t WaveOut::Tail() {
  CSemLock lock(*this);
  return tail_;
}

uint32_t WaveOut::Outstanding() {
  CSemLock lock(*this);
  return outstanding_;
}

}  // namespace dialvo
