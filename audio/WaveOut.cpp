#include "audio/WaveOut.h"

#include <cstring>

#include "audio/PlaySound.h"

namespace dialvo {

WaveOut::WaveOut(uint32_t samplesPerBuffer, uint32_t sampleRate, uint32_t channels,
                 uint32_t bitsPerSample, std::shared_ptr<SoundBackend> backend)
    : buffers_(samplesPerBuffer, sampleRate, channels, bitsPerSample),
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
  // After each failed try, stop any sound of our own: it may be what holds
  // the device.
  const bool opened =
      OpenWithRetries(backend_, buffers_.Format(), buffers_.Bytes(), threadId, device_, openResult_,
                      lastOpenError_, [] { PlaySound(nullptr, 0); });
  return opened ? 1 : 0;
}

int WaveOut::Write(std::span<const uint8_t> block) {
  if (block.size() < buffers_.Bytes()) return 0;
  CSemLock lock(*this);
  if ((tail_ + 1) % kBufferCount == head_) return 0;
  std::memcpy(buffers_.Slot(tail_), block.data(), buffers_.Bytes());
  WaveHeader& header = buffers_.Renew(tail_);
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
  WaveDevice::Unprepare(buffers_.Header(head_));
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
