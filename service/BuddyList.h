#pragma once
// The user's buddy list: lower-case names in list order. Read by the timer
// thread while the owner's thread may replace it.
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace dialvo {

inline constexpr const char* kInvalidBuddyNameText =
    "This buddy name contains invalid characters or spaces";
// Characters no buddy name may hold: * & ' ~ space , " < > ? % ! @ : ; `
// ( ) + = | \ and /.
bool HasInvalidBuddyCharacter(std::string_view name);

class BuddyList {
 public:
  // Takes the names in order, each trimmed and in lower case.
  void Replace(const std::vector<std::string>& names);
  std::vector<std::string> Names() const;
  // Whether name is on the list, without regard to case.
  bool IsBuddy(std::string_view name) const;
  size_t Count() const;

 private:
  mutable std::mutex mutex_;  // guards names_; taken by the owner's thread and the timer thread
  std::vector<std::string> names_;
};

}  // namespace dialvo
