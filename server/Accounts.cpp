#include "server/Accounts.h"

#include <vector>

#include "server/Text.h"

namespace dialvo::server {

namespace {
constexpr std::string_view kStoreTrouble =
    "The account could not be saved. Please try again later.";
}

namespace {

// The writing system of a letter of a new user name; kNone for anything
// that is no letter or digit of the safe set.
enum class Script {
  kNone,
  kCommon,
  kLatin,
  kGreek,
  kCyrillic,
  kHebrew,
  kArabic,
  kEastAsian,
  kHangul
};

Script ScriptOf(uint32_t c) {
  if ((c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-') return Script::kCommon;
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return Script::kLatin;
  if (c >= 0xC0 && c <= 0x24F && c != 0xD7 && c != 0xF7) return Script::kLatin;
  if ((c >= 0x386 && c <= 0x3CE && c != 0x387) || (c >= 0x1F00 && c <= 0x1FFC)) {
    return Script::kGreek;
  }
  if (c >= 0x400 && c <= 0x4FF) return Script::kCyrillic;
  if (c >= 0x5D0 && c <= 0x5EA) return Script::kHebrew;
  if ((c >= 0x620 && c <= 0x64A) || (c >= 0x660 && c <= 0x669)) return Script::kArabic;
  // Han with kana: Japanese names mix them.
  if ((c >= 0x3041 && c <= 0x30FA) || (c >= 0x4E00 && c <= 0x9FFF)) return Script::kEastAsian;
  if (c >= 0xAC00 && c <= 0xD7A3) return Script::kHangul;
  return Script::kNone;
}

// Code points of valid UTF-8.
std::vector<uint32_t> CodePoints(std::string_view text) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<uint8_t>(text[i]);
    const int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    uint32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra && i + static_cast<size_t>(k) < text.size(); ++k) {
      c = (c << 6) | (static_cast<uint8_t>(text[i + static_cast<size_t>(k)]) & 0x3F);
    }
    out.push_back(c);
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

}  // namespace

std::string CheckNewName(std::string_view name) {
  // New names: letters and digits of one writing system, and . _ -, so that
  // no name can pass for another (a Cyrillic "а" among Latin letters) or
  // hide a direction or control character. Accounts made under the older,
  // wider rule keep working.
  bool safe = IsValidUserName(name);
  Script script = Script::kCommon;
  for (const uint32_t c : safe ? CodePoints(name) : std::vector<uint32_t>{}) {
    const Script s = ScriptOf(c);
    if (s == Script::kNone || (s != Script::kCommon && script != Script::kCommon && s != script)) {
      safe = false;
      break;
    }
    if (s != Script::kCommon) script = s;
  }
  if (safe) return {};
  return "A user name has 1 to 63 characters: letters of one alphabet, digits, and . _ -";
}

std::string CheckNewPassword(std::string_view password) {
  if (password.size() >= kMinPasswordLength && password.size() <= kMaxPasswordLength) return {};
  return "A password has " + std::to_string(kMinPasswordLength) + " to " +
         std::to_string(kMaxPasswordLength) + " characters.";
}

AccountResult CreateAccount(Store& store, PasswordChecker& passwords, std::string_view name,
                            std::string_view password, int64_t nowMs) {
  std::string problem = CheckNewName(name);
  if (problem.empty()) problem = CheckNewPassword(password);
  if (!problem.empty()) return {false, problem};
  std::string hash;
  if (!passwords.Hash(password, hash)) return {false, std::string(kStoreTrouble)};
  switch (store.AddUser(name, hash, nowMs)) {
    case StoreStatus::kOk:
      return {true, "The account " + std::string(name) + " was created."};
    case StoreStatus::kExists:
      return {false, "The name " + std::string(name) + " is already taken."};
    default:
      return {false, std::string(kStoreTrouble)};
  }
}

AccountResult ChangePassword(Store& store, PasswordChecker& passwords, std::string_view name,
                             std::string_view oldPassword, std::string_view newPassword) {
  UserRecord user;
  const StoreStatus found = store.FindUser(name, user);
  if (found == StoreStatus::kFailed) return {false, std::string(kStoreTrouble)};
  // An unknown name costs what a wrong password costs, so the page does not
  // tell which names exist.
  if (found != StoreStatus::kOk) passwords.VerifyNobody(oldPassword);
  if (found != StoreStatus::kOk || !passwords.Verify(oldPassword, user.passwordHash)) {
    return {false, "The user name or the old password is wrong.", true};
  }
  std::string problem = CheckNewPassword(newPassword);
  if (!problem.empty()) return {false, problem};
  std::string hash;
  if (!passwords.Hash(newPassword, hash) ||
      store.SetPasswordHash(user.id, hash) != StoreStatus::kOk) {
    return {false, std::string(kStoreTrouble)};
  }
  return {true, "The password of " + user.name + " was changed."};
}

}  // namespace dialvo::server
