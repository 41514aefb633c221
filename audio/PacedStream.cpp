#include "audio/PacedStream.h"

#include <algorithm>
#include <chrono>

namespace dialvo {

Pacer::Pacer(Clock& clock) : clock_(clock), realTime_(&clock == &SystemClock()) {}

bool Pacer::WaitUntil(uint32_t due, const StreamCancel& cancel) {
  std::unique_lock lock(mutex_);
  for (;;) {
    const uint64_t seen = wakeups_;
    if (cancel.Requested()) return false;
    const auto left = static_cast<int32_t>(due - clock_.TickMs());
    if (left <= 0) return true;
    const std::chrono::milliseconds wait(realTime_ ? left : 1);
    cv_.wait_for(lock, wait, [&] { return wakeups_ != seen; });
  }
}

void Pacer::Wake() {
  {
    std::lock_guard lock(mutex_);
    ++wakeups_;
  }
  cv_.notify_all();
}

uint64_t DurationMs(const WaveFormat& format, uint64_t bytes) {
  if (format.avgBytesPerSec == 0) return 0;
  return bytes * 1000 / format.avgBytesPerSec;
}

void FillSilence(const WaveFormat& format, std::span<uint8_t> block) {
  std::fill(block.begin(), block.end(), format.bitsPerSample == 8 ? 0x80 : 0);
}

PacedCapture::PacedCapture(Clock& clock, const WaveFormat& format, Source source)
    : pacer_(clock), format_(format), source_(std::move(source)), origin_(pacer_.Now()) {}

StreamResult PacedCapture::Read(std::span<uint8_t> block, const StreamCancel& cancel) {
  const auto due = origin_ + static_cast<uint32_t>(DurationMs(format_, bytesRead_ + block.size()));
  if (!pacer_.WaitUntil(due, cancel)) return StreamResult::kCancelled;
  if (!source_(block)) return StreamResult::kFailed;
  bytesRead_ += block.size();
  return StreamResult::kDone;
}

PacedPlayback::PacedPlayback(Clock& clock, const WaveFormat& format, Sink sink)
    : pacer_(clock), format_(format), sink_(std::move(sink)), runStart_(pacer_.Now()) {}

StreamResult PacedPlayback::Write(std::span<const uint8_t> block, const StreamCancel& cancel) {
  if (failed_) return StreamResult::kFailed;
  const uint32_t now = pacer_.Now();
  const auto runEnd = runStart_ + static_cast<uint32_t>(DurationMs(format_, runBytes_));
  const auto length = static_cast<int32_t>(DurationMs(format_, block.size()));
  // A writer up to one block late keeps the schedule (a sound card would
  // still have had the block in its buffer); a later one found the stream
  // idle, and its block starts playing now.
  if (static_cast<int32_t>(now - runEnd) > length) {
    runStart_ = now;
    runBytes_ = 0;
  }
  const auto due = runStart_ + static_cast<uint32_t>(DurationMs(format_, runBytes_ + block.size()));
  if (!pacer_.WaitUntil(due, cancel)) return StreamResult::kCancelled;
  if (!sink_(block)) {
    failed_ = true;
    return StreamResult::kFailed;
  }
  runBytes_ += block.size();
  return StreamResult::kDone;
}

}  // namespace dialvo
