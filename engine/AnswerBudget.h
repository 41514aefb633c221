#pragma once
// How much the listening server may send, unasked, to one source address.
// Anybody can put any source address on a datagram, so every answer that
// goes out before the source has shown it is really there is paid for from
// a token bucket per IP address: a burst big enough for a name query and a
// whole dialogue, refilled slowly. A source that keeps asking gets less and
// less. An accepted caller's handshake is charged too, and refunded once the
// caller has shown it receives at its address: one that never does pays
// that debt back before the address is answered again.
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace dialvo {

class AnswerBudget {
 public:
  AnswerBudget(uint32_t burstBytes, uint32_t refillBytesPerSecond);

  // Takes bytes from the source's allowance; false, and nothing taken, when
  // less is left.
  bool Spend(uint32_t ip, uint32_t bytes, uint32_t nowMs);
  // Charges bytes that went out anyway; the allowance may fall into a debt
  // of up to four bursts.
  void Charge(uint32_t ip, uint32_t bytes, uint32_t nowMs);
  // Gives back bytes charged before (never beyond a full burst).
  void Refund(uint32_t ip, uint32_t bytes, uint32_t nowMs);

  // Sources tracked at most; beyond that the ones with a full allowance,
  // then the longest untouched, are forgotten.
  static constexpr size_t kMaxSources = 4096;

 private:
  // Allowances are kept in byte-milliseconds so that refills stay whole.
  struct Entry {
    int64_t milli = 0;
    uint32_t tick = 0;
  };
  Entry& Refilled(uint32_t ip, uint32_t nowMs);
  void Forget(uint32_t nowMs);

  const int64_t burst_;   // byte-milliseconds
  const int64_t refill_;  // byte-milliseconds per millisecond
  // Guards entries_; taken by the server thread and the incoming-request
  // threads. Innermost.
  std::mutex mutex_;
  std::unordered_map<uint32_t, Entry> entries_;
};

}  // namespace dialvo
