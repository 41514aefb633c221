#include "service/BuddyList.h"

#include <algorithm>
#include <cctype>

#include "service/Text.h"
#include "settings/Settings.h"

namespace dialvo {

bool HasInvalidBuddyCharacter(std::string_view name) {
  if (name.find_first_of("*&'~ ,\"<>?%!@:;`()+=|\\/") != std::string_view::npos) return true;
  // A tab or line break would split the name where the stored list is read back.
  return std::any_of(name.begin(), name.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isspace(u) != 0 || std::iscntrl(u) != 0;
  });
}

BuddyEdit CheckBuddyEdit(std::string_view newLabel, std::string_view oldLabel,
                         const std::vector<std::string>& names, std::string* normalized) {
  const std::string name = ToLower(TrimSpace(newLabel));
  if (normalized) *normalized = name;
  if (name.empty()) return BuddyEdit::kEmpty;
  const std::string old = ToLower(TrimSpace(oldLabel));
  if (name == old) {
    return old == kNewBuddyPlaceholder ? BuddyEdit::kDropPlaceholder : BuddyEdit::kUnchanged;
  }
  // The item being renamed holds old, which differs from name: any entry
  // equal to name is another buddy.
  for (const std::string& entry : names) {
    if (EqualsNoCase(entry, name)) return BuddyEdit::kDuplicate;
  }
  return HasInvalidBuddyCharacter(name) ? BuddyEdit::kInvalid : BuddyEdit::kAccepted;
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
