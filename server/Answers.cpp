#include "server/Answers.h"

#include <charconv>

#include "server/Text.h"

namespace dialvo::server {

namespace {

constexpr std::string_view kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

void AppendNumber(std::string& out, int64_t number) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  out.append(digits, static_cast<size_t>(end - digits));
}

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
  std::string digits;
  AppendNumber(digits, number);
  Element(out, name, digits);
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
  out += "</login>\n";
  return out;
}

std::string BuildUserListAnswer(const std::vector<OnlineBuddy>& online) {
  std::string out(kXmlDeclaration);
  out.reserve(out.size() + 64 + online.size() * 200);
  out += "<userlist>\n<errcode>0</errcode>\n";
  // The most frequent answer of all: written piecewise, without temporaries.
  for (const auto& buddy : online) {
    out += "<buddy>\n<userid>";
    AppendEscapedMarkup(out, buddy.userId);
    out += "</userid>\n<ipaddress>";
    AppendEscapedMarkup(out, buddy.address);
    out += "</ipaddress>\n<listening_port>";
    AppendNumber(out, buddy.listeningPort);
    out += "</listening_port>\n<iptype>";
    AppendNumber(out, buddy.ipType);
    out += "</iptype>\n<version>";
    AppendNumber(out, buddy.version);
    out += "</version>\n</buddy>\n";
  }
  out += "</userlist>\n";
  return out;
}

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
