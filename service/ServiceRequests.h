#pragma once
// The form bodies of the service's commands, built as pure functions.
// Parameters come in a fixed order; every value is form-encoded except the
// version, the flags and decimal numbers.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "settings/Settings.h"

namespace dialvo {

// The protocol version every request carries.
inline constexpr const char* kProtocolVersion = "5";

// Letters and digits stay; every other byte becomes %XX (upper-case hex),
// the space included.
std::string UrlEncode(std::string_view value);

// Reads a decimal number: leading white space skipped, digits up to the
// first non-digit, 0 when there are none. Saturates instead of overflowing.
int32_t LeadingNumber(std::string_view text);

// What a request says about where this PC can be called.
struct AddressParams {
  std::string ipAddr;
  uint32_t ipType = 0;  // 0 to 3
};
// Type 1 sends no address (the service takes the one the request came
// from), 2 and 3 the configured one, anything else the detected one as 0.
AddressParams ChooseAddress(const NetworkSettings& settings, const std::string& localAddress);

// The values that login, logoff and keep-alive requests share.
struct PresenceParams {
  std::string user;
  std::string password;
  uint32_t listeningPort = kDefaultListeningPort;  // where the voice engine listens
  std::string instanceGuid;
  AddressParams address;
};
// The listening port is the one the engine really uses: ListeningPort only
// while the alternate-port flag is set (a stored port that is not in use
// would send every caller to a closed port).
PresenceParams MakePresenceParams(std::string user, std::string password,
                                  const NetworkSettings& settings, std::string instanceGuid,
                                  const std::string& localAddress);

std::string BuildLogmeinBody(const PresenceParams& p);
std::string BuildLogmeoffBody(const PresenceParams& p);
std::string BuildIamupBody(const PresenceParams& p);
std::string BuildGetUserListBody(std::string_view user, std::string_view password,
                                 const std::vector<std::string>& buddies);
std::string BuildSyncBuddyListBody(std::string_view user, std::string_view password,
                                   const std::vector<std::string>& buddies);

// One participant of a running call, as a call report states it.
struct ReportRow {
  std::string name;
  uint32_t minutes = 0;
  uint32_t averageDelayMs = 0;
};
// reportKey: the one the login answer gave, if any; it binds the report to
// this login wherever it is sent from.
std::string BuildIamTalkingBody(std::string_view user, const std::vector<ReportRow>& rows,
                                uint32_t sessionId, bool isRecorded,
                                std::string_view conferenceGuid, std::string_view reportKey = {});
// The call's session number after a report's answer: a call without one
// takes the number from the fifth character of an accepted answer.
uint32_t SessionIdAfterAnswer(uint32_t sessionId, std::string_view answer);

std::string BuildFwTestBody(uint32_t port, std::string_view ipAddr, uint32_t ipType);

// Pages of the service's web site, opened in the user's browser.
enum class ServicePage {
  kHome,
  kInvite,
  kRegister,
  kSearch,
  kHelp,
  kMyAccount,
  kChangePassword,
  kFeedback
};
// webHost is the directory host setting; the query is added only while
// logged in.
std::string ServicePageUrl(std::string_view webHost, ServicePage page, bool loggedIn,
                           std::string_view instanceGuid, std::string_view user);
// The service's context help page with this number.
std::string ContextHelpUrl(std::string_view webHost, std::string_view id);

}  // namespace dialvo
