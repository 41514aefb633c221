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
inline constexpr const char* kEmptyBuddyNameText = "Buddy name cannot be empty!";
inline constexpr const char* kDuplicateBuddyText = "This buddy is already present in the list";
// The label of a buddy item that is being created.
inline constexpr const char* kNewBuddyPlaceholder = "**new buddy**";

// Characters no buddy name may hold: * & ' ~ , " < > ? % ! @ : ; ` ( ) + =
// | \ and /, and any white space or control character.
bool HasInvalidBuddyCharacter(std::string_view name);

// The end of editing a buddy's label, checked in this order.
enum class BuddyEdit {
  kAccepted,         // add (old label the placeholder) or rename to *normalized
  kEmpty,            // kEmptyBuddyNameText; edit again
  kUnchanged,        // the old name again: nothing changes
  kDropPlaceholder,  // a new item left as the placeholder: remove the item
  kDuplicate,        // kDuplicateBuddyText; edit again
  kInvalid,          // kInvalidBuddyNameText; edit again
};
// newLabel as typed; oldLabel the item's label before editing (the
// placeholder for a new item); names the current list. normalized, when
// given, receives the trimmed lower-case name.
BuddyEdit CheckBuddyEdit(std::string_view newLabel, std::string_view oldLabel,
                         const std::vector<std::string>& names, std::string* normalized);

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
