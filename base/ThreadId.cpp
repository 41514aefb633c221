#include "base/ThreadId.h"

#include <atomic>

namespace dialvo {

namespace {
std::atomic<uint32_t> nextId{1};
thread_local uint32_t tlsId = 0;
}  // namespace

uint32_t ReserveThreadId() { return nextId.fetch_add(1, std::memory_order_relaxed); }

void AdoptThreadId(uint32_t id) { tlsId = id; }

uint32_t CurrentThreadId() {
  if (tlsId == 0) tlsId = ReserveThreadId();
  return tlsId;
}

}  // namespace dialvo
