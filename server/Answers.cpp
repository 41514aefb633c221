#include "server/Answers.h"

#include "server/Text.h"

namespace dialvo::server {

namespace {

constexpr std::string_view kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

void Element(std::string& out, std::string_view name, std::string_view text) {
  out += '<';
  out += name;
  out += '>';
  AppendEscapedMarkup(out, text);
  out += "</";
  out += name;
  out += ">\n";
}

void Element(std::string& out, std::string_view name, int64_t number) {
  Element(out, name, std::to_string(number));
}

void IniLine(std::string& out, std::string_view key, std::string_view value) {
  out += key;
  out += '=';
  // A line break in a value would start a new key; none of ours has one.
  for (char c : value) out += (c == '\r' || c == '\n') ? ' ' : c;
  out += '\n';
}

}  // namespace

std::string DirectoryAnswer(std::string_view currentIp, const ScriptNames& scripts) {
  std::string out = "[DIALVO]\n";
  IniLine(out, "CURRENT IP", currentIp);
  IniLine(out, "PATH", scripts.path);
  IniLine(out, "logmein_file", scripts.logmein);
  IniLine(out, "logmeoff_file", scripts.logmeoff);
  IniLine(out, "iamup_file", scripts.iamup);
  IniLine(out, "syncblist_file", scripts.syncblist);
  IniLine(out, "getuserlist_file", scripts.getuserlist);
  IniLine(out, "iamtalking_file", scripts.iamtalking);
  IniLine(out, "fwtest_file", scripts.fwtest);
  return out;
}

std::string DirectoryRefusal() { return "[DIALVO]\nCURRENT IP=0.0.0.0\n"; }

std::string BuildLoginAnswer(const LoginAnswer& answer) {
  std::string out(kXmlDeclaration);
  out += "<login>\n";
  Element(out, "errorcode", answer.accepted ? "0" : "1");
  Element(out, "err_description", answer.description);
  Element(out, "show_user_message", answer.userMessage);
  Element(out, "url_to_navigate", answer.urlToNavigate);
  Element(out, "popup_url", answer.popupUrl);
  for (const auto& buddy : answer.buddies) Element(out, "userid", buddy);
  if (!answer.reportKey.empty()) Element(out, "report_key", answer.reportKey);
  out += "</login>\n";
  return out;
}

std::string BuddyElement(const OnlineBuddy& buddy) {
  std::string out = "<buddy>\n";
  Element(out, "userid", buddy.userId);
  Element(out, "ipaddress", buddy.address);
  Element(out, "listening_port", buddy.listeningPort);
  Element(out, "iptype", buddy.ipType);
  Element(out, "version", buddy.version);
  out += "</buddy>\n";
  return out;
}

std::string UserListStart() {
  std::string out(kXmlDeclaration);
  out += "<userlist>\n";
  Element(out, "errcode", 0);
  return out;
}

void FinishUserList(std::string& answer) { answer += "</userlist>\n"; }

std::string BuildUserListRefusal(std::string_view description) {
  std::string out(kXmlDeclaration);
  out += "<userlist>\n";
  Element(out, "errcode", 1);
  Element(out, "err_description", description);
  out += "</userlist>\n";
  return out;
}

std::string BuildFwtestAnswer(std::string_view address, int ipType, int errorCode,
                              std::string_view description) {
  std::string out(kXmlDeclaration);
  out += "<fwtest>\n";
  Element(out, "ipaddress", address);
  Element(out, "iptype", ipType);
  Element(out, "error_code", errorCode);
  Element(out, "err_description", description);
  out += "</fwtest>\n";
  return out;
}

std::string SessionAnswer(int64_t sessionId) { return "+OK " + std::to_string(sessionId); }

}  // namespace dialvo::server
