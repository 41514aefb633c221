#pragma once
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace dialvo {

class WakeEvent;

// A caller waiting for the user's decision. The engine thread that asks and
// the application share it, so that a late answer, or a dialog closing after
// the decision, touches nothing freed. The decision is taken once: the first
// Decide counts and every later one is ignored.
class IncomingRequest {
 public:
  enum : uint32_t { kPending = 1, kAccept = 2, kReject = 3 };

  explicit IncomingRequest(std::string callerName) : callerName_(std::move(callerName)) {}
  IncomingRequest(const IncomingRequest&) = delete;
  IncomingRequest& operator=(const IncomingRequest&) = delete;

  const std::string& CallerName() const { return callerName_; }

  // Writes the decision (kAccept or kReject) and releases the asking thread;
  // false (and nothing changed) when the request was decided already or the
  // value is no decision.
  bool Decide(uint32_t decision);
  // kPending until decided.
  uint32_t Decision() const;

  // The asking thread's wait: returns the decision, or kReject once stop is
  // set or limitMs has passed while nobody has decided (the engine is
  // stopping, or the caller has given up, and nobody must wait for a window
  // that may never answer); that reject is recorded as the decision. The
  // stop event is polled at pollMs intervals.
  uint32_t WaitForDecision(const WakeEvent& stop, uint32_t pollMs = 50,
                           uint32_t limitMs = UINT32_MAX);

 private:
  const std::string callerName_;
  // Guards decision_; taken by the asking engine thread and whoever decides.
  mutable std::mutex mutex_;
  std::condition_variable decided_;
  uint32_t decision_ = kPending;
};

// The data value of EV_INCOMING_CALL and EV_CONFERENCE_REQUEST: a new record
// holding a share of the request. The receiver frees the record like any
// other; the request lives on while anybody holds a share.
struct IncomingRequestRecord {
  std::shared_ptr<IncomingRequest> request;
};

}  // namespace dialvo
