#include "service/BuddyList.h"

#include "service/Text.h"
#include "settings/Settings.h"

namespace dialvo {

bool HasInvalidBuddyCharacter(std::string_view name) {
  return name.find_first_of("*&'~ ,\"<>?%!@:;`()+=|\\/") != std::string_view::npos;
}

void BuddyList::Replace(const std::vector<std::string>& names) {
  std::vector<std::string> lower;
  lower.reserve(names.size());
  for (const auto& name : names) lower.push_back(ToLower(TrimBlanks(name)));
  std::lock_guard lock(mutex_);
  names_ = std::move(lower);
}

std::vector<std::string> BuddyList::Names() const {
  std::lock_guard lock(mutex_);
  return names_;
}

bool BuddyList::IsBuddy(std::string_view name) const {
  std::lock_guard lock(mutex_);
  for (const auto& entry : names_) {
    if (EqualsNoCase(entry, name)) return true;
  }
  return false;
}

size_t BuddyList::Count() const {
  std::lock_guard lock(mutex_);
  return names_.size();
}

}  // namespace dialvo
