#pragma once
#include <cstdint>
#include <string>

#include "base/CSem.h"

namespace dialvo {

// A caller waiting for the user's decision. It lives on the stack of the
// engine thread that asked, and is valid only until Decide has been called.
struct IncomingRequest {
  enum : uint32_t { kPending = 1, kAccept = 2, kReject = 3 };

  std::string callerName;
  CSem* decisionSemaphore = nullptr;  // held by the asking thread
  uint32_t decision = kPending;
};

// Writes the decision and releases the asking thread. Must be called exactly
// once per request; the request must not be touched afterwards.
inline void Decide(IncomingRequest* request, uint32_t decision) {
  CSem* semaphore = request->decisionSemaphore;
  request->decision = decision;
  semaphore->SignalSemaphore();
}

}  // namespace dialvo
