#include "engine/IncomingRequest.h"

#include <algorithm>
#include <chrono>

#include "engine/WakeEvent.h"

namespace dialvo {

bool IncomingRequest::Decide(uint32_t decision) {
  if (decision != kAccept && decision != kReject) return false;
  {
    std::lock_guard lock(mutex_);
    if (decision_ != kPending) return false;
    decision_ = decision;
  }
  decided_.notify_all();
  return true;
}

uint32_t IncomingRequest::Decision() const {
  std::lock_guard lock(mutex_);
  return decision_;
}

uint32_t IncomingRequest::WaitForDecision(const WakeEvent& stop, uint32_t pollMs,
                                          uint32_t limitMs) {
  const auto period = std::chrono::milliseconds(std::max<uint32_t>(pollMs, 1));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  std::unique_lock lock(mutex_);
  while (decision_ == kPending) {
    if (stop.IsSet() || std::chrono::steady_clock::now() >= deadline) {
      // Recorded, so that an answer arriving after the engine gave up is
      // refused rather than believed.
      decision_ = kReject;
      break;
    }
    decided_.wait_for(lock, period);
  }
  return decision_;
}

}  // namespace dialvo
