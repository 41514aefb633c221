#pragma once
#include <cstdint>

namespace dialvo {

// A small process-unique id for the calling thread (never 0), used to address
// thread messages and to record semaphore owners.
uint32_t CurrentThreadId();

// Reserves an id for a thread that is about to start, so that its starter
// knows the id before the thread runs; the new thread adopts it with
// AdoptThreadId before anything else.
uint32_t ReserveThreadId();
void AdoptThreadId(uint32_t id);

}  // namespace dialvo
