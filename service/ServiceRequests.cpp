#include "service/ServiceRequests.h"

#include <cctype>
#include <limits>

#include "service/ServiceAddress.h"
#include "service/Text.h"

namespace dialvo {

namespace {

// The address part shared by login, logoff and keep-alive.
std::string AddressPart(const AddressParams& a) {
  return "&IPAddr=" + UrlEncode(a.ipAddr) + "&IPType=" + std::to_string(a.ipType);
}

std::string BuddyParts(const std::vector<std::string>& buddies) {
  std::string text;
  for (const auto& name : buddies) text += "&buddy=" + UrlEncode(name);
  return text;
}

}  // namespace

std::string UrlEncode(std::string_view value) {
  return PercentEncode(value, [](unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
  });
}

int32_t LeadingNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  }
  return static_cast<int32_t>(value);
}

AddressParams ChooseAddress(const NetworkSettings& settings, const std::string& localAddress) {
  switch (settings.ipType) {
    case 1:
      return {"", 1};
    case 2:
    case 3:
      return {settings.configuredIp, settings.ipType};
    default:
      return {localAddress, 0};
  }
}

PresenceParams MakePresenceParams(std::string user, std::string password,
                                  const NetworkSettings& settings, std::string instanceGuid,
                                  const std::string& localAddress) {
  PresenceParams p;
  p.user = std::move(user);
  p.password = std::move(password);
  p.listeningPort = settings.EffectiveListeningPort();
  p.instanceGuid = std::move(instanceGuid);
  p.address = ChooseAddress(settings, localAddress);
  return p;
}

std::string BuildLogmeinBody(const PresenceParams& p) {
  return "user=" + UrlEncode(p.user) + "&Pass=" + UrlEncode(p.password) +
         "&ListeningPort=" + std::to_string(p.listeningPort) +
         "&InstanceGUID=" + UrlEncode(p.instanceGuid) + AddressPart(p.address) +
         "&Version=" + kProtocolVersion;
}

std::string BuildLogmeoffBody(const PresenceParams& p) {
  return "User=" + UrlEncode(p.user) + "&Pass=" + UrlEncode(p.password) +
         "&InstanceGUID=" + UrlEncode(p.instanceGuid) + AddressPart(p.address) +
         "&Version=" + kProtocolVersion;
}

std::string BuildIamupBody(const PresenceParams& p) {
  return "User=" + UrlEncode(p.user) + "&Pass=" + UrlEncode(p.password) +
         "&ListeningPort=" + std::to_string(p.listeningPort) +
         "&InstanceGUID=" + UrlEncode(p.instanceGuid) + AddressPart(p.address) +
         "&Version=" + kProtocolVersion;
}

std::string BuildGetUserListBody(std::string_view user, std::string_view password,
                                 const std::vector<std::string>& buddies) {
  return "User=" + UrlEncode(user) + "&Pass=" + UrlEncode(password) + BuddyParts(buddies) +
         "&Version=" + kProtocolVersion;
}

std::string BuildSyncBuddyListBody(std::string_view user, std::string_view password,
                                   const std::vector<std::string>& buddies) {
  return BuildGetUserListBody(user, password, buddies);
}

std::string BuildIamTalkingBody(std::string_view user, const std::vector<ReportRow>& rows,
                                uint32_t sessionId, bool isRecorded,
                                std::string_view conferenceGuid, std::string_view reportKey) {
  std::string body = "User=" + UrlEncode(user);
  for (const auto& row : rows) {
    body += "&RemUser=" + UrlEncode(row.name) + "&Minutes=" + std::to_string(row.minutes) +
            "&AvgDelay=" + std::to_string(row.averageDelayMs);
  }
  body += "&SessionID=" + std::to_string(sessionId) + "&Version=" + kProtocolVersion +
          "&IsRecorded=" + (isRecorded ? "1" : "0") +
          "&VoiceConferenceGUID=" + UrlEncode(conferenceGuid);
  if (!reportKey.empty()) body += "&ReportKey=" + UrlEncode(reportKey);
  return body;
}

uint32_t SessionIdAfterAnswer(uint32_t sessionId, std::string_view answer) {
  if (sessionId != 0 || answer.size() < 5 || answer[0] != '+') return sessionId;
  return static_cast<uint32_t>(LeadingNumber(answer.substr(4)));
}

std::string BuildFwTestBody(uint32_t port, std::string_view ipAddr, uint32_t ipType) {
  return std::string("Version=") + kProtocolVersion + "&Message=" + UrlEncode("Congratulations") +
         "&Port=" + std::to_string(port) + "&IPAddr=" + UrlEncode(ipAddr) +
         "&IPType=" + std::to_string(ipType);
}

std::string ServicePageUrl(std::string_view webHost, ServicePage page, bool loggedIn,
                           std::string_view instanceGuid, std::string_view user) {
  const char* path = "";
  std::string query;
  const std::string guidQuery = "?InstanceGUID=" + UrlEncode(instanceGuid);
  switch (page) {
    case ServicePage::kHome:
      path = "/app_links/app_home.aspx";
      break;
    case ServicePage::kInvite:
      path = "/app_links/app_invite.aspx";
      query = guidQuery;
      break;
    case ServicePage::kRegister:
      path = "/app_links/app_register.aspx";
      break;
    case ServicePage::kSearch:
      path = "/app_links/app_search.aspx";
      break;
    case ServicePage::kHelp:
      path = "/app_links/app_Help.aspx";
      break;
    case ServicePage::kMyAccount:
      path = "/app_links/app_myaccount.aspx";
      query = guidQuery;
      break;
    case ServicePage::kChangePassword:
      path = "/app_links/app_changepassword.aspx";
      query = "?user=" + std::string(user);
      break;
    case ServicePage::kFeedback:
      path = "/app_links/app_feedback.aspx";
      query = guidQuery;
      break;
  }
  return ParseServiceHost(webHost).baseUrl + path + (loggedIn ? query : std::string());
}

std::string ContextHelpUrl(std::string_view webHost, std::string_view id) {
  return ParseServiceHost(webHost).baseUrl + "/app_links/app_contexthelp.aspx?id=" + UrlEncode(id);
}

}  // namespace dialvo
