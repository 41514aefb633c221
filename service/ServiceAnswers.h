#pragma once
// The service's XML answers read into records. Only element names and the
// text inside elements count: the start of any element empties the text
// buffer, and each element's end hands its name and the buffer to the
// command's rule. A document that is not well formed is unreadable.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace dialvo {

// Runs the XML reader over the whole answer, calling onStart at each start
// tag and onEnd at each end tag with the element's collected text. False
// when the document is not well formed.
bool ReadXmlAnswer(
    std::string_view answer, const std::function<void(std::string_view name)>& onStart,
    const std::function<void(std::string_view name, const std::string& text)>& onEnd);

// The logmein answer; element names are matched exactly.
struct LoginAnswer {
  bool readable = false;
  std::string errorCode = "refused";  // "0" exactly means accepted
  std::string errDescription;
  std::string urlToNavigate;
  std::string popupUrl;
  std::vector<std::string> userIds;  // the user's buddy list kept by the service
  std::string showUserMessage;
  std::string reportKey;  // sent back with the login's call reports; may be absent

  bool Accepted() const { return readable && errorCode == "0"; }
};
// Leading white space is removed before reading.
LoginAnswer ParseLoginAnswer(std::string_view answer);

// One online buddy of a getuserlist answer.
struct OnlineBuddy {
  std::string userId;
  std::string address;  // dotted address, or "LAN" behind an unreachable firewall
  int32_t listeningPort = 1720;
  int32_t version = 1;
  int32_t connectionType = 0;  // the buddy's IPType, 0 to 3
  friend bool operator==(const OnlineBuddy&, const OnlineBuddy&) = default;
};

// The getuserlist answer; element names are matched without regard to case.
struct UserListAnswer {
  bool readable = false;
  int32_t errcode = 0;
  std::string errDescription;
  std::vector<OnlineBuddy> buddies;  // in answer order

  bool Accepted() const { return readable && errcode == 0; }
};
UserListAnswer ParseUserListAnswer(std::string_view answer);

// The fwtest answer; element names are matched without regard to case.
struct FwTestAnswer {
  bool readable = false;
  std::string ipAddress;
  int32_t ipType = 0;
  int32_t errorCode = 0;
  std::string errDescription;
};
FwTestAnswer ParseFwTestAnswer(std::string_view answer);

// The answer without white space at either end.
std::string_view TrimAnswer(std::string_view answer);
// An online-list answer is read only when, trimmed, it starts with "<?xml".
bool LooksLikeXml(std::string_view answer);

}  // namespace dialvo
