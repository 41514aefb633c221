#pragma once
// Creating accounts and changing passwords: the rules shared by the web
// pages and the command line.
#include <string>
#include <string_view>

#include "server/Passwords.h"
#include "server/Store.h"

namespace dialvo::server {

constexpr size_t kMinPasswordLength = 6;
constexpr size_t kMaxPasswordLength = 128;

struct AccountResult {
  bool ok = false;
  std::string message;          // for the user, success or not
  bool badCredentials = false;  // the name or the old password was wrong
};

// Empty when the name or password may be used, else why not.
std::string CheckNewName(std::string_view name);
std::string CheckNewPassword(std::string_view password);

AccountResult CreateAccount(Store& store, PasswordChecker& passwords, std::string_view name,
                            std::string_view password, int64_t nowMs);
AccountResult ChangePassword(Store& store, PasswordChecker& passwords, std::string_view name,
                             std::string_view oldPassword, std::string_view newPassword);

}  // namespace dialvo::server
