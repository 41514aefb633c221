#include "service/OnlineList.h"

#include <algorithm>

#include "base/Trace.h"
#include "service/LocalAddress.h"
#include "service/Text.h"

namespace dialvo {

BuddyImage ImageFor(const OnlineBuddy& buddy) {
  switch (buddy.connectionType) {
    case 0:
      return buddy.address == kLanAddress ? BuddyImage::kBehindFirewall : BuddyImage::kCallable;
    case 1:
    case 2:
      return BuddyImage::kCallable;
    case 3:
      return BuddyImage::kLocalOnly;
    default:
      return BuddyImage::kNone;
  }
}

bool OnlineList::ShowOnlineUsers(std::string_view answer) {
  CSemLock lock(pageLock_);
  TraceLog("ShowOnlineUsers called%.*s", static_cast<int>(answer.size()), answer.data());
  UserListAnswer parsed = ParseUserListAnswer(answer);
  if (!parsed.Accepted()) {
    // The last good list stays: emptying it would make the buddies the
    // window still shows impossible to call until the next good answer.
    TraceLog("Failed to process the response for getuserlist");
    return false;
  }
  list_ = std::move(parsed.buddies);
  return true;
}

OnlineRefresh OnlineList::Refresh(std::string_view loggedInUser, bool firstAfterLogin) {
  CSemLock lock(pageLock_);
  TraceLog("Refresh Online Users");
  OnlineRefresh result;
  result.onlineCount = list_.size();
  const auto inList = [this](const std::string& id) {
    return std::any_of(list_.begin(), list_.end(),
                       [&](const OnlineBuddy& r) { return r.userId == id; });
  };
  std::vector<OnlineBuddy> kept;
  for (auto& item : items_) {
    if (inList(item.userId)) {
      kept.push_back(std::move(item));
    } else {
      result.gone.push_back(item.userId);
    }
  }
  items_ = std::move(kept);

  for (const OnlineBuddy& record : list_) {
    if (EqualsNoCase(record.userId, loggedInUser)) continue;
    if (ImageFor(record) == BuddyImage::kNone) continue;
    auto item = std::find_if(items_.begin(), items_.end(),
                             [&](const OnlineBuddy& i) { return i.userId == record.userId; });
    if (item == items_.end()) {
      items_.push_back(record);
      result.newcomers.push_back(record);
    } else if (!(*item == record)) {
      *item = record;
      result.changed.push_back(record);
    }
  }
  result.firstAfterLogin = firstAfterLogin && !result.newcomers.empty();
  return result;
}

bool OnlineList::FindOnlineBuddy(std::string_view name, OnlineBuddy& record) const {
  CSemLock lock(pageLock_);
  for (const auto& r : list_) {
    if (r.userId == name) {
      record = r;
      return true;
    }
  }
  return false;
}

std::vector<OnlineBuddy> OnlineList::Records() const {
  CSemLock lock(pageLock_);
  return list_;
}

std::vector<OnlineBuddy> OnlineList::Items() const {
  CSemLock lock(pageLock_);
  return items_;
}

}  // namespace dialvo
