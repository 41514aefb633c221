#include "server/Passwords.h"

#include <sodium.h>

#include <algorithm>
#include <vector>

namespace dialvo::server {

namespace {

constexpr size_t kMaxRemembered = 200000;  // about 40 MB at most

// Releases a semaphore slot when the Argon2id computation ends.
class HashingSlot {
 public:
  explicit HashingSlot(std::counting_semaphore<1024>& semaphore) : semaphore_(semaphore) {
    semaphore_.acquire();
  }
  ~HashingSlot() { semaphore_.release(); }
  HashingSlot(const HashingSlot&) = delete;
  HashingSlot& operator=(const HashingSlot&) = delete;

 private:
  std::counting_semaphore<1024>& semaphore_;
};

}  // namespace

std::string RandomToken(size_t bytes) {
  if (sodium_init() < 0) return {};
  std::vector<unsigned char> raw(bytes);
  randombytes_buf(raw.data(), raw.size());
  std::string hex(bytes * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), raw.data(), raw.size());
  hex.pop_back();
  return hex;
}

bool SameSecret(std::string_view a, std::string_view b) {
  return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

HashCost HashCost::Interactive() {
  return {crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE};
}

HashCost HashCost::Minimal() { return {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN}; }

PasswordChecker::PasswordChecker(HashCost cost, int maxConcurrent)
    : cost_(cost), hashing_(std::clamp(maxConcurrent, 1, 1024)) {
  ready_ = sodium_init() >= 0;
  if (ready_) randombytes_buf(key_.data(), key_.size());
}

PasswordChecker::Digest PasswordChecker::DigestOf(std::string_view password) const {
  Digest digest{};
  crypto_generichash(digest.data(), digest.size(),
                     reinterpret_cast<const unsigned char*>(password.data()), password.size(),
                     key_.data(), key_.size());
  return digest;
}

bool PasswordChecker::Hash(std::string_view password, std::string& hash) {
  if (!ready_) return false;
  char out[crypto_pwhash_STRBYTES];
  HashingSlot slot(hashing_);
  argonRuns_.fetch_add(1, std::memory_order_relaxed);
  if (crypto_pwhash_str(out, password.data(), password.size(), cost_.opsLimit, cost_.memLimit) !=
      0) {
    return false;
  }
  hash = out;
  return true;
}

bool PasswordChecker::NeedsRehash(const std::string& storedHash) const {
  return ready_ &&
         crypto_pwhash_str_needs_rehash(storedHash.c_str(), cost_.opsLimit, cost_.memLimit) != 0;
}

bool PasswordChecker::VerifyRemembered(std::string_view password, const std::string& storedHash) {
  if (!ready_) return false;
  const Digest digest = DigestOf(password);
  std::lock_guard lock(mutex_);
  auto it = remembered_.find(storedHash);
  return it != remembered_.end() &&
         sodium_memcmp(it->second.data(), digest.data(), digest.size()) == 0;
}

bool PasswordChecker::VerifyNobody(std::string_view password) {
  if (!ready_) return false;
  std::call_once(nobodyOnce_, [this] {
    std::string hash;
    unsigned char random[16];
    randombytes_buf(random, sizeof random);
    if (Hash(std::string_view(reinterpret_cast<const char*>(random), sizeof random), hash)) {
      nobodyHash_ = std::move(hash);
    }
  });
  if (nobodyHash_.empty()) return false;
  HashingSlot slot(hashing_);
  argonRuns_.fetch_add(1, std::memory_order_relaxed);
  // Only the time it takes matters: the answer is no either way.
  [[maybe_unused]] const int outcome =
      crypto_pwhash_str_verify(nobodyHash_.c_str(), password.data(), password.size());
  return false;
}

bool PasswordChecker::Verify(std::string_view password, const std::string& storedHash) {
  if (!ready_) return false;
  if (VerifyRemembered(password, storedHash)) return true;
  const Digest digest = DigestOf(password);
  bool ok = false;
  {
    HashingSlot slot(hashing_);
    argonRuns_.fetch_add(1, std::memory_order_relaxed);
    ok = crypto_pwhash_str_verify(storedHash.c_str(), password.data(), password.size()) == 0;
  }
  if (ok) {
    std::lock_guard lock(mutex_);
    if (remembered_.size() >= kMaxRemembered) remembered_.clear();
    remembered_[storedHash] = digest;
  }
  return ok;
}

}  // namespace dialvo::server
