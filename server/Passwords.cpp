#include "server/Passwords.h"

#include <sodium.h>

#include <algorithm>

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
  if (crypto_pwhash_str(out, password.data(), password.size(), cost_.opsLimit, cost_.memLimit) !=
      0) {
    return false;
  }
  hash = out;
  return true;
}

bool PasswordChecker::Verify(std::string_view password, const std::string& storedHash) {
  if (!ready_) return false;
  const Digest digest = DigestOf(password);
  {
    std::lock_guard lock(mutex_);
    auto it = remembered_.find(storedHash);
    if (it != remembered_.end() &&
        sodium_memcmp(it->second.data(), digest.data(), digest.size()) == 0) {
      return true;
    }
  }
  bool ok = false;
  {
    HashingSlot slot(hashing_);
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
