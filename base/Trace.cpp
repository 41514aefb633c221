#include "base/Trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

namespace dialvo {

namespace {
std::mutex hookMutex;  // guards hook; taken by SetTraceHook and by every traced line
std::shared_ptr<TraceHook> hook;
std::atomic<bool> hookSet{false};
}  // namespace

void SetTraceHook(TraceHook newHook) {
  std::lock_guard lock(hookMutex);
  hook = newHook ? std::make_shared<TraceHook>(std::move(newHook)) : nullptr;
  hookSet.store(hook != nullptr, std::memory_order_release);
}

void TraceLog(const char* format, ...) {
  if (!hookSet.load(std::memory_order_acquire)) return;
  std::shared_ptr<TraceHook> current;
  {
    std::lock_guard lock(hookMutex);
    current = hook;
  }
  if (!current) return;
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  (*current)(line);
}

}  // namespace dialvo
