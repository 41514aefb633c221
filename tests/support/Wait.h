#pragma once
// Bounded waiting for conditions that other threads bring about.
#include <chrono>
#include <functional>
#include <thread>

namespace dialvo::test {

// Polls pred every millisecond until it holds or timeoutMs passed.
inline bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace dialvo::test
