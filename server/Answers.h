#pragma once
// The texts the program reads back: the directory's ini text, the XML
// answers of logmein, getuserlist and fwtest, and the one-line status
// answers. Pure functions; every value that goes into XML is escaped.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dialvo::server {

// Where the commands live: the directory names PATH and one script per
// command, and a command arrives as PATH, a separator and the script.
struct ScriptNames {
  std::string path = "dialvo";
  std::string logmein = "logmein.asp";
  std::string logmeoff = "logmeoff.asp";
  std::string iamup = "iamup.asp";
  std::string syncblist = "syncblist.asp";
  std::string getuserlist = "getuserlist.asp";
  std::string iamtalking = "iamtalking.asp";
  std::string fwtest = "fwtest.asp";
};

// The ini text of the directory: section DIALVO with its nine keys.
// currentIp is "host" or "host:port".
std::string DirectoryAnswer(std::string_view currentIp, const ScriptNames& scripts);
// What the directory answers to a protocol version it does not serve: the
// program reads CURRENT IP 0.0.0.0 as "no service here".
std::string DirectoryRefusal();

struct LoginAnswer {
  bool accepted = false;
  std::string description;  // err_description: why a login was refused
  std::string userMessage;  // show_user_message
  std::string urlToNavigate;
  std::string popupUrl;
  std::vector<std::string> buddies;  // one userid element each
  // report_key: what our program sends back with its call reports; other
  // programs skip the element.
  std::string reportKey;
};
std::string BuildLoginAnswer(const LoginAnswer& answer);

struct OnlineBuddy {
  std::string userId;
  std::string address;  // dotted address, a host name or "LAN"
  int listeningPort = 1720;
  int ipType = 0;
  int version = 0;
};
// One buddy element of the getuserlist answer. The presence table renders it
// once per login change, so that an answer is a run of copies.
std::string BuddyElement(const OnlineBuddy& buddy);
// A getuserlist answer is UserListStart, the buddy elements, then
// FinishUserList.
std::string UserListStart();
void FinishUserList(std::string& answer);
std::string BuildUserListRefusal(std::string_view description);

std::string BuildFwtestAnswer(std::string_view address, int ipType, int errorCode,
                              std::string_view description);

// iamtalking: "+", three characters and the session number.
std::string SessionAnswer(int64_t sessionId);

}  // namespace dialvo::server
