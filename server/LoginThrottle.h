#pragma once
// Failed password checks, counted per key (an account, a source address)
// with exponential back-off: the failure that reaches `freeFailures` makes
// the key wait baseMs, then twice as long after each further failure, up to maxMs. It is
// asked before any password is hashed, so a blocked guess costs nothing.
// A key is forgotten forgetMs after its last failure.
//
// Every counted failure cost an Argon2id run on the bounded hashing pool, so
// the table grows at most a few thousand entries per forget period; at the
// hard cap new keys go uncounted rather than evicting blocked ones.
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace dialvo::server {

class LoginThrottle {
 public:
  struct Policy {
    int freeFailures = 5;
    int64_t baseMs = 1000;
    int64_t maxMs = 300000;
    int64_t forgetMs = 900000;
    size_t capacity = 200000;
  };
  explicit LoginThrottle(Policy policy);

  // 0 when the key may try now, else how long it must wait.
  int64_t WaitMs(const std::string& key, int64_t nowMs) const;
  void Failed(const std::string& key, int64_t nowMs);
  void Succeeded(const std::string& key);
  void Sweep(int64_t nowMs);
  size_t Size() const;

 private:
  struct Entry {
    int failures = 0;
    int64_t lastFailureMs = 0;
    int64_t blockedUntilMs = 0;
  };

  const Policy policy_;
  // Guards entries_; taken by request threads, hashing threads and the sweeper.
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace dialvo::server
