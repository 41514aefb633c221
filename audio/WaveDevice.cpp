#include "audio/WaveDevice.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/ThreadMessages.h"
#include "base/Trace.h"

namespace dialvo {

WaveDevice::WaveDevice(uint32_t threadId, uint32_t message)
    : threadId_(threadId), message_(message) {}

uint32_t WaveDevice::Prepare(WaveHeader& header) {
  if (header.data == nullptr) return kMmInvalidParam;
  header.flags.fetch_or(WHDR_PREPARED);
  return kMmNoError;
}

uint32_t WaveDevice::Unprepare(WaveHeader& header) {
  if (header.IsQueued()) return kWaveStillPlaying;
  header.flags.fetch_and(~WHDR_PREPARED);
  return kMmNoError;
}

uint32_t WaveDevice::Enqueue(WaveHeader& header) {
  std::lock_guard lock(mutex_);
  const uint32_t flags = header.flags.load();
  if ((flags & WHDR_PREPARED) == 0) return kWaveUnprepared;
  if ((flags & WHDR_INQUEUE) != 0) return kWaveStillPlaying;
  if (closing_) return kMmInvalidHandle;
  header.flags.fetch_and(~WHDR_DONE);
  header.flags.fetch_or(WHDR_INQUEUE);
  queue_.push_back(&header);
  wake_.notify_all();
  return kMmNoError;
}

void WaveDevice::Complete(WaveHeader& header) {
  header.flags.fetch_and(~WHDR_INQUEUE);
  header.flags.fetch_or(WHDR_DONE, std::memory_order_release);
  // An owner whose queue is gone has stopped listening; nothing to do then.
  PostThreadMessage(threadId_, message_, reinterpret_cast<uintptr_t>(this),
                    reinterpret_cast<uintptr_t>(&header));
}

void WaveDevice::CompleteAll() {
  for (WaveHeader* header : queue_) Complete(*header);
  queue_.clear();
}

void WaveDevice::StartWorker() {
  worker_ = std::thread([this] { Work(); });
}

uint32_t WaveDevice::Close() {
  {
    std::lock_guard lock(mutex_);
    if (!queue_.empty()) return kWaveStillPlaying;
    closing_ = true;
    generation_.fetch_add(1);
  }
  wake_.notify_all();
  InterruptStream();
  if (worker_.joinable()) worker_.join();
  return kMmNoError;
}

uint32_t WaveInDevice::Open(SoundBackend& backend, const WaveFormat& format, uint32_t blockBytes,
                            uint32_t threadId, std::unique_ptr<WaveInDevice>& device,
                            std::string* error) {
  return Adopt(backend.OpenCapture(format, blockBytes), device, error,
               [&](std::unique_ptr<CaptureStream> stream) {
                 return new WaveInDevice(threadId, blockBytes, std::move(stream));
               });
}

WaveInDevice::WaveInDevice(uint32_t threadId, uint32_t blockBytes,
                           std::unique_ptr<CaptureStream> stream)
    : WaveDevice(threadId, MM_WIM_DATA), blockBytes_(blockBytes), stream_(std::move(stream)) {}

WaveInDevice::~WaveInDevice() {
  Reset();
  Close();
}

uint32_t WaveInDevice::Start() {
  std::lock_guard lock(mutex_);
  started_ = true;
  return kMmNoError;
}

uint32_t WaveInDevice::Reset() {
  std::lock_guard lock(mutex_);
  started_ = false;
  for (WaveHeader* header : queue_) header->bytesRecorded = 0;
  CompleteAll();
  return kMmNoError;
}

void WaveInDevice::Work() {
  std::vector<uint8_t> block(blockBytes_);
  for (;;) {
    StreamCancel cancel;
    {
      std::lock_guard lock(mutex_);
      if (closing_) return;
      cancel = Cancel();
    }
    // Read even while stopped, so that the stream never backs up.
    const StreamResult result = stream_->Read(block, cancel);
    std::lock_guard lock(mutex_);
    if (closing_) return;
    if (result == StreamResult::kFailed) {
      TraceLog("Capture stream failed; the device delivers no more buffers");
      return;
    }
    if (result != StreamResult::kDone || !started_ || queue_.empty()) continue;
    WaveHeader& header = *queue_.front();
    queue_.pop_front();
    const uint32_t bytes = std::min(header.bufferLength, blockBytes_);
    std::memcpy(header.data, block.data(), bytes);
    header.bytesRecorded = bytes;
    Complete(header);
  }
}

uint32_t WaveOutDevice::Open(SoundBackend& backend, const WaveFormat& format, uint32_t blockBytes,
                             uint32_t threadId, std::unique_ptr<WaveOutDevice>& device,
                             std::string* error) {
  return Adopt(backend.OpenPlayback(format, blockBytes), device, error,
               [&](std::unique_ptr<PlaybackStream> stream) {
                 return new WaveOutDevice(threadId, std::move(stream));
               });
}

WaveOutDevice::WaveOutDevice(uint32_t threadId, std::unique_ptr<PlaybackStream> stream)
    : WaveDevice(threadId, MM_WOM_DONE), stream_(std::move(stream)) {}

WaveOutDevice::~WaveOutDevice() {
  Reset();
  Close();
}

uint32_t WaveOutDevice::Reset() {
  {
    std::lock_guard lock(mutex_);
    generation_.fetch_add(1);
    CompleteAll();
  }
  InterruptStream();
  return kMmNoError;
}

void WaveOutDevice::Work() {
  std::vector<uint8_t> block;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
    if (closing_) return;
    WaveHeader* header = queue_.front();
    block.assign(header->data, header->data + header->bufferLength);
    const StreamCancel cancel = Cancel();
    lock.unlock();
    const StreamResult result = stream_->Write(block, cancel);
    lock.lock();
    if (closing_) return;
    if (result == StreamResult::kFailed) {
      TraceLog("Playback stream failed; the device completes no more buffers");
      return;
    }
    // A reset in between has handed the buffer back already.
    if (result != StreamResult::kDone || cancel.Requested() || queue_.empty() ||
        queue_.front() != header) {
      continue;
    }
    queue_.pop_front();
    Complete(*header);
  }
}

template <typename Device>
bool OpenWithRetries(const std::shared_ptr<SoundBackend>& given, const WaveFormat& format,
                     uint32_t blockBytes, uint32_t threadId, std::unique_ptr<Device>& device,
                     uint32_t& result, std::string& error, void (*afterFailure)()) {
  const std::shared_ptr<SoundBackend> backend = given ? given : DefaultSoundBackend();
  if (!backend || !backend->Supports(format)) {
    error = "the sound backend does not support this format";
    return false;
  }
  for (uint32_t attempt = 1; attempt <= kWaveOpenAttempts; ++attempt) {
    result = Device::Open(*backend, format, blockBytes, threadId, device, &error);
    if (result == kMmNoError) {
      error.clear();
      return true;
    }
    TraceLog("Opening a %s sound device failed (attempt %u): %s", backend->Name(), attempt,
             error.c_str());
    backend->DeviceClock().Sleep(kWaveOpenRetryMs);
    if (afterFailure != nullptr) afterFailure();
  }
  return false;
}

template bool OpenWithRetries(const std::shared_ptr<SoundBackend>&, const WaveFormat&, uint32_t,
                              uint32_t, std::unique_ptr<WaveInDevice>&, uint32_t&, std::string&,
                              void (*)());
template bool OpenWithRetries(const std::shared_ptr<SoundBackend>&, const WaveFormat&, uint32_t,
                              uint32_t, std::unique_ptr<WaveOutDevice>&, uint32_t&, std::string&,
                              void (*)());

}  // namespace dialvo
