#include "audio/WaveIn.h"

namespace dialvo {

WaveIn::WaveIn(uint32_t samplesPerBuffer, uint32_t sampleRate, uint32_t channels,
               uint32_t bitsPerSample, std::shared_ptr<SoundBackend> backend)
    : buffers_(samplesPerBuffer, sampleRate, channels, bitsPerSample),
      backend_(std::move(backend)) {}

WaveIn::~WaveIn() { Close(); }

void WaveIn::Queue(uint32_t index) {
  WaveHeader& header = buffers_.Renew(index);
  if (device_) device_->AddBuffer(header);
}

int WaveIn::Open(uint32_t threadId) {
  // Opening an open device would leave the old one capturing unseen.
  if (device_) Close();
  stop_ = 0;
  if (!OpenWithRetries(backend_, buffers_.Format(), buffers_.Bytes(), threadId, device_,
                       openResult_, lastOpenError_, nullptr)) {
    return 0;
  }
  // The fifth buffer rests; ReleaseBuffer requeues the one released before.
  for (uint32_t i = 0; i + 1 < kBufferCount; ++i) Queue(i);
  current_ = 0;
  device_->Start();
  return 1;
}

int WaveIn::ReleaseBuffer() {
  WaveDevice::Unprepare(buffers_.Header(current_));
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
