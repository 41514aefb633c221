#include "server/Presence.h"

#include <algorithm>
#include <mutex>
#include <unordered_set>

#include "server/Answers.h"
#include "server/Text.h"

namespace dialvo::server {

namespace {

// Raises an atomic time to `value` unless it is already later.
void RaiseTo(std::atomic<int64_t>& time, int64_t value) {
  int64_t seen = time.load(std::memory_order_relaxed);
  while (seen < value && !time.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

Published PublishedOf(const LoginRecord& login) {
  return {login.address, login.ipType, login.listeningPort, login.version, login.sourceIp};
}

}  // namespace

Presence::Presence(int64_t lifetimeMs, int64_t persistEveryMs)
    : lifetimeMs_(lifetimeMs), persistEveryMs_(persistEveryMs) {}

bool Presence::Live(const Slot& slot, int64_t nowMs) const {
  return nowMs - slot.lastSeen.load(std::memory_order_relaxed) <= lifetimeMs_;
}

std::string Presence::EndedKey(std::string_view key, std::string_view guid) {
  std::string out(key);
  out += '\n';  // names never hold a line break
  out += guid;
  return out;
}

std::string Presence::ElementOf(const LoginRecord& login) {
  return BuddyElement(
      {login.userName, login.address, login.listeningPort, login.ipType, login.version});
}

std::unique_ptr<Presence::Slot> Presence::MakeSlot(const LoginRecord& login) {
  auto slot = std::make_unique<Slot>();
  slot->login = login;
  slot->element = ElementOf(login);
  slot->lastSeen = login.lastSeenMs;
  slot->persistedSeen = login.lastSeenMs;
  return slot;
}

void Presence::Remove(const std::string& key) {
  auto it = slots_.find(key);
  if (it == slots_.end()) return;
  auto instance = byInstance_.find(it->second->login.instanceGuid);
  if (instance != byInstance_.end() && instance->second == key) byInstance_.erase(instance);
  slots_.erase(it);
}

void Presence::Load(const std::vector<LoginRecord>& logins) {
  std::unique_lock lock(mutex_);
  for (const auto& login : logins) {
    const std::string key = AsciiLower(login.userName);
    byInstance_[login.instanceGuid] = key;
    slots_[key] = MakeSlot(login);
  }
}

Presence::StartResult Presence::Start(const std::string& key, const LoginRecord& login,
                                      std::string_view endedReason) {
  std::unique_lock lock(mutex_);
  StartResult result;
  auto it = slots_.find(key);
  if (it != slots_.end()) {
    const Slot& old = *it->second;
    if (old.login.instanceGuid != login.instanceGuid && Live(old, login.lastSeenMs)) {
      ended_[EndedKey(key, old.login.instanceGuid)] = {std::string(endedReason), login.lastSeenMs};
      result.endedOtherInstance = true;
    }
    Remove(key);
  }
  // Another user's login from the same instance is left to expire: an
  // InstanceGUID proves nothing, so a login must never end another account's.
  ended_.erase(EndedKey(key, login.instanceGuid));
  slots_[key] = MakeSlot(login);
  slots_[key]->epoch = ++epoch_;
  byInstance_[login.instanceGuid] = key;
  return result;
}

void Presence::Unsaved(const std::string& key, std::string_view instanceGuid) {
  std::shared_lock lock(mutex_);
  auto it = slots_.find(key);
  if (it != slots_.end() && it->second->login.instanceGuid == instanceGuid) {
    it->second->unsaved.store(true);
  }
}

Presence::TouchResult Presence::Touch(const std::string& key, std::string_view instanceGuid,
                                      const Published& published, int64_t nowMs) {
  TouchResult result;
  {
    std::shared_lock lock(mutex_);
    auto it = slots_.find(key);
    if (it == slots_.end() || it->second->login.instanceGuid != instanceGuid ||
        !Live(*it->second, nowMs)) {
      auto ended = ended_.find(EndedKey(key, instanceGuid));
      if (ended != ended_.end()) {
        result.state = Keepalive::kEnded;
        result.endedReason = ended->second.reason;
      }
      return result;
    }
    Slot& slot = *it->second;
    if (PublishedOf(slot.login) == published) {
      RaiseTo(slot.lastSeen, nowMs);
      int64_t persisted = slot.persistedSeen.load(std::memory_order_relaxed);
      result.persist = nowMs - persisted >= persistEveryMs_ &&
                       slot.persistedSeen.compare_exchange_strong(persisted, nowMs);
      result.unsaved = slot.unsaved.exchange(false);
      result.state = Keepalive::kAlive;
      result.login = slot.login;
      result.login.lastSeenMs = nowMs;
      return result;
    }
  }
  // The published values changed: update them under the exclusive lock.
  std::unique_lock lock(mutex_);
  auto it = slots_.find(key);
  if (it == slots_.end() || it->second->login.instanceGuid != instanceGuid ||
      !Live(*it->second, nowMs)) {
    return result;  // ended meanwhile
  }
  Slot& slot = *it->second;
  slot.login.address = published.address;
  slot.login.ipType = published.ipType;
  slot.login.listeningPort = published.listeningPort;
  slot.login.version = published.version;
  slot.login.sourceIp = published.sourceIp;
  slot.element = ElementOf(slot.login);
  slot.epoch = ++epoch_;
  RaiseTo(slot.lastSeen, nowMs);
  RaiseTo(slot.persistedSeen, nowMs);
  slot.unsaved.store(false);
  result.state = Keepalive::kAlive;
  result.changed = true;
  result.login = slot.login;
  result.login.lastSeenMs = nowMs;
  return result;
}

bool Presence::End(const std::string& key, std::string_view instanceGuid) {
  std::unique_lock lock(mutex_);
  ended_.erase(EndedKey(key, instanceGuid));
  auto it = slots_.find(key);
  if (it == slots_.end() || it->second->login.instanceGuid != instanceGuid) return false;
  Remove(key);
  return true;
}

bool Presence::Find(const std::string& key, int64_t nowMs, LoginRecord& out) const {
  std::shared_lock lock(mutex_);
  auto it = slots_.find(key);
  if (it == slots_.end() || !Live(*it->second, nowMs)) return false;
  out = it->second->login;
  out.lastSeenMs = it->second->lastSeen.load(std::memory_order_relaxed);
  return true;
}

bool Presence::FindByInstance(std::string_view instanceGuid, int64_t nowMs,
                              LoginRecord& out) const {
  std::string key;
  {
    std::shared_lock lock(mutex_);
    auto it = byInstance_.find(std::string(instanceGuid));
    if (it == byInstance_.end()) return false;
    key = it->second;
  }
  return Find(key, nowMs, out);
}

size_t Presence::AppendOnline(const std::vector<std::string_view>& names, int64_t nowMs,
                              std::string& elements) const {
  // A buddy named twice is listed once. Lists are short: a linear search
  // over what was found beats a hash set up to a few hundred entries.
  std::vector<const Slot*> found;
  std::unordered_set<const Slot*> many;
  const bool longList = names.size() > 256;
  if (!longList) found.reserve(names.size());
  size_t count = 0;
  std::string key;
  std::shared_lock lock(mutex_);
  for (const auto& name : names) {
    key.assign(name);
    AsciiLowerInPlace(key);
    auto it = slots_.find(key);
    if (it == slots_.end() || !Live(*it->second, nowMs)) continue;
    const Slot* slot = it->second.get();
    const bool repeated = longList ? !many.insert(slot).second
                                   : std::find(found.begin(), found.end(), slot) != found.end();
    if (repeated) continue;
    if (!longList) found.push_back(slot);
    elements += slot->element;
    ++count;
  }
  return count;
}

size_t Presence::Sweep(int64_t nowMs) {
  std::unique_lock lock(mutex_);
  std::vector<std::string> expired;
  for (const auto& [key, slot] : slots_) {
    if (!Live(*slot, nowMs)) expired.push_back(key);
  }
  for (const auto& key : expired) Remove(key);
  std::erase_if(ended_,
                [&](const auto& entry) { return nowMs - entry.second.endedMs > lifetimeMs_; });
  return expired.size();
}

size_t Presence::LiveCount(int64_t nowMs) const {
  std::shared_lock lock(mutex_);
  size_t count = 0;
  for (const auto& entry : slots_) count += Live(*entry.second, nowMs) ? 1 : 0;
  return count;
}

void Presence::Merge(const std::vector<LoginRecord>& logins, bool complete, uint64_t since,
                     std::string_view endedReason, int64_t nowMs) {
  std::unique_lock lock(mutex_);
  std::unordered_set<std::string> listed;
  for (const auto& login : logins) {
    std::string key = AsciiLower(login.userName);
    auto it = slots_.find(key);
    if (it != slots_.end() && it->second->epoch > since) {
      listed.insert(std::move(key));
      continue;
    }
    if (it != slots_.end() && it->second->login.instanceGuid == login.instanceGuid) {
      Slot& slot = *it->second;
      RaiseTo(slot.lastSeen, login.lastSeenMs);
      RaiseTo(slot.persistedSeen, login.lastSeenMs);
      if (!(PublishedOf(slot.login) == PublishedOf(login))) {
        std::string reportKey = std::move(slot.login.reportKey);
        slot.login = login;
        slot.login.reportKey = std::move(reportKey);
        slot.element = ElementOf(slot.login);
      }
    } else {
      if (it != slots_.end()) {
        if (Live(*it->second, nowMs)) {
          ended_[EndedKey(key, it->second->login.instanceGuid)] = {std::string(endedReason), nowMs};
        }
        Remove(key);
      }
      slots_[key] = MakeSlot(login);
      byInstance_[login.instanceGuid] = key;
    }
    listed.insert(std::move(key));
  }
  if (!complete) return;
  std::vector<std::string> gone;
  for (const auto& [key, slot] : slots_) {
    if (slot->epoch <= since && listed.count(key) == 0) gone.push_back(key);
  }
  for (const auto& key : gone) Remove(key);
}

}  // namespace dialvo::server
