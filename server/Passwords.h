#pragma once
// Password hashing with Argon2id (libsodium). Only hash strings are stored.
//
// Every command carries the password, and a keep-alive arrives every 45 s per
// user, so verifying each one with Argon2id would cost the service a core per
// few dozen users. A password that verified once against a stored hash is
// remembered as a keyed BLAKE2b digest (random key per process, memory only);
// later requests with the same password and the same stored hash compare
// digests. Anything else, a wrong password included, goes through Argon2id,
// so guessing is no faster than against the hash itself. At most
// maxConcurrent Argon2id computations run at once, which bounds their memory.
//
// A name without an account is checked against a hash made with the same
// cost, so that a refusal takes as long whether the name exists or not.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <semaphore>
#include <string>
#include <string_view>
#include <unordered_map>

namespace dialvo::server {

struct HashCost {
  uint64_t opsLimit;
  size_t memLimit;
  static HashCost Interactive();  // libsodium's interactive limits (64 MiB)
  static HashCost Minimal();      // for tests only
};

// `bytes` random bytes as lower-case hex, for tokens handed to clients.
std::string RandomToken(size_t bytes);
// Compares secrets in time independent of where they differ.
bool SameSecret(std::string_view a, std::string_view b);

class PasswordChecker {
 public:
  PasswordChecker(HashCost cost, int maxConcurrent);
  PasswordChecker(const PasswordChecker&) = delete;
  PasswordChecker& operator=(const PasswordChecker&) = delete;

  // False only when libsodium cannot run (initialisation or memory).
  bool Hash(std::string_view password, std::string& hash);
  bool Verify(std::string_view password, const std::string& storedHash);
  // True when this password verified against this hash before: no Argon2id.
  bool VerifyRemembered(std::string_view password, const std::string& storedHash);
  // The cost of Verify for a user that does not exist; always false.
  bool VerifyNobody(std::string_view password);
  // True when the hash was made with other parameters than this checker's:
  // it is replaced at the next good login.
  bool NeedsRehash(const std::string& storedHash) const;
  // Argon2id computations so far (hashes and verifications).
  uint64_t ArgonRuns() const { return argonRuns_.load(std::memory_order_relaxed); }

 private:
  using Digest = std::array<unsigned char, 32>;
  Digest DigestOf(std::string_view password) const;

  const HashCost cost_;
  bool ready_ = false;
  std::array<unsigned char, 32> key_{};
  std::counting_semaphore<1024> hashing_;
  std::atomic<uint64_t> argonRuns_{0};
  std::once_flag nobodyOnce_;
  std::string nobodyHash_;  // set once, under nobodyOnce_
  // Guards remembered_; taken by request threads around a lookup or insert.
  std::mutex mutex_;
  std::unordered_map<std::string, Digest> remembered_;  // stored hash -> digest
};

}  // namespace dialvo::server
