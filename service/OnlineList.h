#pragma once
// The buddies that are online, as the last accepted online-list answer gave
// them, and the items shown for them. Refreshing compares the two and says
// what changed, so that a window or a terminal announces real changes only.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/CSem.h"
#include "service/ServiceAnswers.h"

namespace dialvo {

// How a buddy can be reached, as an item shows it.
enum class BuddyImage {
  kNone,            // a connection type outside 0 to 3: no item
  kCallable,        // type 0 with an address, 1 or 2
  kBehindFirewall,  // type 0 with the address "LAN"
  kLocalOnly,       // type 3: calls from its own local network only
};
BuddyImage ImageFor(const OnlineBuddy& buddy);

// What one refresh changed among the items shown.
struct OnlineRefresh {
  std::vector<std::string> gone;       // items removed, in item order
  std::vector<OnlineBuddy> newcomers;  // items added, in list order
  std::vector<OnlineBuddy> changed;    // items kept whose record changed
  bool firstAfterLogin = false;        // newcomers are those of a fresh login
  size_t onlineCount = 0;              // records of the list, the user included
};

class OnlineList {
 public:
  // Reads an online-list answer. Accepted (readable and errcode 0): the list
  // becomes its records. Otherwise the list stays as it was. Returns
  // acceptance.
  bool ShowOnlineUsers(std::string_view answer);
  // Brings the items up to date with the list. The logged-in user gets no
  // item; firstAfterLogin is reported only when there are newcomers.
  OnlineRefresh Refresh(std::string_view loggedInUser, bool firstAfterLogin);
  // Copies the first record whose user id equals name exactly.
  bool FindOnlineBuddy(std::string_view name, OnlineBuddy& record) const;
  std::vector<OnlineBuddy> Records() const;
  // Records of the items shown, in item order.
  std::vector<OnlineBuddy> Items() const;

 private:
  mutable CSem pageLock_;  // guards list_ and items_; taken by the timer thread and the owner
  std::vector<OnlineBuddy> list_;
  std::vector<OnlineBuddy> items_;
};

}  // namespace dialvo
