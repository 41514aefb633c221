#include "server/Accounts.h"

#include "server/Text.h"

namespace dialvo::server {

namespace {
constexpr std::string_view kStoreTrouble =
    "The account could not be saved. Please try again later.";
}

std::string CheckNewName(std::string_view name) {
  if (IsValidUserName(name)) return {};
  return "A user name has 1 to 63 characters and no blanks or any of "
         "* & ' ~ , \" < > ? % ! @ : ; ` ( ) + = | \\ /.";
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
  if (found != StoreStatus::kOk || !passwords.Verify(oldPassword, user.passwordHash)) {
    return {false, "The user name or the old password is wrong."};
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
