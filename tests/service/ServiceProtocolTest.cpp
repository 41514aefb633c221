// Request bodies, answers and addresses as pure functions.
#include <gtest/gtest.h>

#include "service/BuddyList.h"
#include "service/LocalAddress.h"
#include "service/ServiceAddress.h"
#include "service/ServiceAnswers.h"
#include "service/ServiceRequests.h"

namespace dialvo {
namespace {

constexpr const char* kGuid = "0f8fad5b-d9cb-469f-a165-70867728950e";
constexpr const char* kGuidEncoded = "0f8fad5b%2Dd9cb%2D469f%2Da165%2D70867728950e";

PresenceParams Params(uint32_t ipType, const std::string& local = "62.10.20.30") {
  NetworkSettings net;
  net.ipType = ipType;
  net.configuredIp = "fw.example.org";
  net.useAlternateListeningPort = 1;
  net.listeningPort = 5555;
  return MakePresenceParams("a b&c", "p@ss=1", net, kGuid, local);
}

TEST(ServiceRequests, UrlEncodeKeepsOnlyLettersAndDigits) {
  EXPECT_EQ(UrlEncode("a b&c"), "a%20b%26c");
  EXPECT_EQ(UrlEncode("AZaz09"), "AZaz09");
  EXPECT_EQ(UrlEncode("-._~+%/"), "%2D%2E%5F%7E%2B%25%2F");
  EXPECT_EQ(UrlEncode("caf\xE9"), "caf%E9");
  EXPECT_EQ(UrlEncode(std::string("\0\n", 2)), "%00%0A");
}

TEST(ServiceRequests, PresenceBodiesByteForByte) {
  const PresenceParams p = Params(0);
  const std::string guid = std::string("&InstanceGUID=") + kGuidEncoded;
  const std::string address = "&IPAddr=62%2E10%2E20%2E30&IPType=0&Version=5";
  EXPECT_EQ(BuildLogmeinBody(p),
            "user=a%20b%26c&Pass=p%40ss%3D1&ListeningPort=5555" + guid + address);
  EXPECT_EQ(BuildIamupBody(p),
            "User=a%20b%26c&Pass=p%40ss%3D1&ListeningPort=5555" + guid + address);
  EXPECT_EQ(BuildLogmeoffBody(p), "User=a%20b%26c&Pass=p%40ss%3D1" + guid + address);
}

TEST(ServiceRequests, ConnectionTypeChoosesTheAddressSent) {
  const auto tail = [](const PresenceParams& p) {
    const std::string body = BuildIamupBody(p);
    return body.substr(body.find("&IPAddr="));
  };
  EXPECT_EQ(tail(Params(1)), "&IPAddr=&IPType=1&Version=5");
  EXPECT_EQ(tail(Params(2)), "&IPAddr=fw%2Eexample%2Eorg&IPType=2&Version=5");
  EXPECT_EQ(tail(Params(3)), "&IPAddr=fw%2Eexample%2Eorg&IPType=3&Version=5");
  EXPECT_EQ(tail(Params(4, "LAN")), "&IPAddr=LAN&IPType=0&Version=5");
  EXPECT_EQ(tail(Params(7)), "&IPAddr=62%2E10%2E20%2E30&IPType=0&Version=5");
}

TEST(ServiceRequests, ListAndReportBodiesByteForByte) {
  EXPECT_EQ(BuildGetUserListBody("me", "pw", {"x", "y z"}),
            "User=me&Pass=pw&buddy=x&buddy=y%20z&Version=5");
  EXPECT_EQ(BuildGetUserListBody("me", "", {}), "User=me&Pass=&Version=5");
  EXPECT_EQ(BuildSyncBuddyListBody("me", "pw", {"b", "a"}),
            "User=me&Pass=pw&buddy=b&buddy=a&Version=5");

  EXPECT_EQ(BuildIamTalkingBody("me", {{"ann", 0, 1}, {"bo b", 12, 140}}, 1234, true, kGuid),
            std::string("User=me&RemUser=ann&Minutes=0&AvgDelay=1&RemUser=bo%20b&Minutes=12"
                        "&AvgDelay=140&SessionID=1234&Version=5&IsRecorded=1"
                        "&VoiceConferenceGUID=") +
                kGuidEncoded);
  EXPECT_EQ(BuildIamTalkingBody("me", {}, 0, false, ""),
            "User=me&SessionID=0&Version=5&IsRecorded=0&VoiceConferenceGUID=");
  EXPECT_EQ(BuildIamTalkingBody("me", {}, 0, false, "", "0a1f"),
            "User=me&SessionID=0&Version=5&IsRecorded=0&VoiceConferenceGUID=&ReportKey=0a1f");

  EXPECT_EQ(BuildFwTestBody(1720, "", 1),
            "Version=5&Message=Congratulations&Port=1720&IPAddr=&IPType=1");
  EXPECT_EQ(BuildFwTestBody(5000, "1.2.3.4", 0),
            "Version=5&Message=Congratulations&Port=5000&IPAddr=1%2E2%2E3%2E4&IPType=0");
}

TEST(ServiceRequests, SessionNumberComesFromTheFirstAcceptedReport) {
  EXPECT_EQ(SessionIdAfterAnswer(0, "+OK 42"), 42u);
  EXPECT_EQ(SessionIdAfterAnswer(0, "+abc1234"), 1234u);
  EXPECT_EQ(SessionIdAfterAnswer(7, "+OK 42"), 7u);  // already set: unchanged
  EXPECT_EQ(SessionIdAfterAnswer(0, "-OK 42"), 0u);
  EXPECT_EQ(SessionIdAfterAnswer(0, "+OK"), 0u);  // too short
  EXPECT_EQ(SessionIdAfterAnswer(0, "+OK x"), 0u);
}

TEST(BuddyList, LabelEditsAreCheckedInOrder) {
  const std::vector<std::string> names = {"alice", "cy", "x@y"};
  const auto check = [&](std::string_view typed, std::string_view old) {
    return CheckBuddyEdit(typed, old, names, nullptr);
  };
  std::string name;
  EXPECT_EQ(CheckBuddyEdit(" Bob\t", "cy", names, &name), BuddyEdit::kAccepted);
  EXPECT_EQ(name, "bob");
  EXPECT_EQ(check("alice_2", kNewBuddyPlaceholder), BuddyEdit::kAccepted);
  EXPECT_EQ(check("alice.b", kNewBuddyPlaceholder), BuddyEdit::kAccepted);

  EXPECT_EQ(check(" \t ", "cy"), BuddyEdit::kEmpty);
  EXPECT_EQ(check("CY ", "cy"), BuddyEdit::kUnchanged);
  EXPECT_EQ(check(" **NEW Buddy** ", kNewBuddyPlaceholder), BuddyEdit::kDropPlaceholder);
  // The placeholder typed over a real buddy is just a bad name.
  EXPECT_EQ(check(kNewBuddyPlaceholder, "cy"), BuddyEdit::kInvalid);

  EXPECT_EQ(check("ALICE", kNewBuddyPlaceholder), BuddyEdit::kDuplicate);
  EXPECT_EQ(check("Alice", "cy"), BuddyEdit::kDuplicate);  // renamed onto another buddy
  EXPECT_EQ(check("X@Y", "cy"), BuddyEdit::kDuplicate);    // checked before the characters

  for (const char* bad : {"al ice", "al\tice", "al\nice", "a\001b", "a\x7f", "a/b", "a&b"}) {
    EXPECT_EQ(check(bad, kNewBuddyPlaceholder), BuddyEdit::kInvalid) << bad;
  }
  EXPECT_TRUE(HasInvalidBuddyCharacter("a\rb"));
  EXPECT_FALSE(HasInvalidBuddyCharacter("ann-1_x.y"));
}

TEST(ServiceRequests, WebPagesCarryTheirQueryOnlyWhileLoggedIn) {
  EXPECT_EQ(ServicePageUrl("web.example:8080", ServicePage::kInvite, true, kGuid, "a b"),
            std::string("http://web.example:8080/app_links/app_invite.aspx?InstanceGUID=") +
                kGuidEncoded);
  EXPECT_EQ(
      ServicePageUrl("https://web.example/", ServicePage::kChangePassword, false, kGuid, "a b"),
      "https://web.example/app_links/app_changepassword.aspx");
}

TEST(ServiceAnswers, LoginAnswerNamesAreExact) {
  LoginAnswer a = ParseLoginAnswer(
      "\r\n  <?xml version=\"1.0\"?><r><errorcode>0</errorcode><userid>Bob</userid>"
      "<UserID>ignored</UserID><userid>carol</userid><popup_url>http://p</popup_url>"
      "<show_user_message>Hi &amp; welcome</show_user_message>"
      "<url_to_navigate>http://u</url_to_navigate><extra>x</extra>"
      "<report_key>5e1f</report_key></r>");
  EXPECT_TRUE(a.readable);
  EXPECT_TRUE(a.Accepted());
  EXPECT_EQ(a.userIds, (std::vector<std::string>{"Bob", "carol"}));
  EXPECT_EQ(a.popupUrl, "http://p");
  EXPECT_EQ(a.showUserMessage, "Hi & welcome");
  EXPECT_EQ(a.urlToNavigate, "http://u");
  EXPECT_EQ(a.reportKey, "5e1f");

  // Only the exact text "0" accepts; a missing errorcode refuses.
  EXPECT_FALSE(ParseLoginAnswer("<r><errorcode> 0</errorcode></r>").Accepted());
  EXPECT_FALSE(ParseLoginAnswer("<r><ErrorCode>0</ErrorCode></r>").Accepted());
  a = ParseLoginAnswer("<r><err_description>Bad password</err_description></r>");
  EXPECT_TRUE(a.readable);
  EXPECT_FALSE(a.Accepted());
  EXPECT_EQ(a.errorCode, "refused");
  EXPECT_EQ(a.errDescription, "Bad password");

  // Not well formed: unreadable, nothing of it kept.
  a = ParseLoginAnswer("<r><errorcode>0</errorcode><userid>x</r>");
  EXPECT_FALSE(a.readable);
  EXPECT_TRUE(a.userIds.empty());
  EXPECT_FALSE(ParseLoginAnswer("Server busy").readable);
  EXPECT_FALSE(ParseLoginAnswer(std::string("<r>\0</r>", 8)).readable);
}

TEST(ServiceAnswers, UserListNamesIgnoreCaseAndMissingFieldsKeepDefaults) {
  const UserListAnswer a = ParseUserListAnswer(
      "<?xml version=\"1.0\"?><list>"
      "<BUDDY><UserID>Ann</UserID><IPAddress>1.2.3.4</IPAddress>"
      "<Listening_Port> 5000x</Listening_Port><IPTYPE>2</IPTYPE><Version>5</Version></BUDDY>"
      "<buddy><userid>bob</userid><ipaddress>LAN</ipaddress></buddy>"
      "<buddy><userid>cy</userid><listening_port>abc</listening_port></buddy>"
      "<ERRCODE>0</ERRCODE></list>");
  ASSERT_TRUE(a.Accepted());
  ASSERT_EQ(a.buddies.size(), 3u);
  EXPECT_EQ(a.buddies[0], (OnlineBuddy{"Ann", "1.2.3.4", 5000, 5, 2}));
  EXPECT_EQ(a.buddies[1], (OnlineBuddy{"bob", "LAN", 1720, 1, 0}));
  EXPECT_EQ(a.buddies[2].listeningPort, 0);  // present but no digits
  EXPECT_EQ(LeadingNumber("99999999999999"), 2147483647);

  const UserListAnswer refused = ParseUserListAnswer(
      "<list><errcode>3</errcode><err_description>no</err_description>"
      "<buddy><userid>x</userid></buddy></list>");
  EXPECT_TRUE(refused.readable);
  EXPECT_FALSE(refused.Accepted());
  EXPECT_EQ(refused.errDescription, "no");

  EXPECT_FALSE(ParseUserListAnswer("<list><buddy></list>").readable);
  EXPECT_TRUE(LooksLikeXml(" \r\n<?xml version=\"1.0\"?><a/>"));
  EXPECT_FALSE(LooksLikeXml("<list/>"));
}

TEST(ServiceAnswers, FirewallTestAnswer) {
  FwTestAnswer a = ParseFwTestAnswer(
      "<r><IPAddress>5.6.7.8</IPAddress><iptype>1</iptype><Err_Description>-</Err_Description>"
      "</r>");
  EXPECT_TRUE(a.readable);
  EXPECT_EQ(a.ipAddress, "5.6.7.8");
  EXPECT_EQ(a.ipType, 1);
  EXPECT_EQ(a.errorCode, 0);  // missing: success
  a = ParseFwTestAnswer("<r><error_code>7</error_code></r>");
  EXPECT_EQ(a.errorCode, 7);
  EXPECT_FALSE(ParseFwTestAnswer("<r>").readable);
}

TEST(ServiceAddress, HostsUrlsAndObjectPaths) {
  EXPECT_EQ(ParseServiceHost("dir.example").port, 80);
  EXPECT_EQ(ParseServiceHost("127.0.0.1:8720").host, "127.0.0.1");
  EXPECT_EQ(ParseServiceHost("127.0.0.1:8720").port, 8720);
  EXPECT_EQ(ParseServiceHost("https://dir.example/svc/").baseUrl, "https://dir.example/svc");
  EXPECT_EQ(ParseServiceHost("https://dir.example/svc/").port, 443);
  EXPECT_EQ(ParseServiceHost("x:99999").port, 0);

  ServerLocation loc;
  loc.path = "dialvo/v5";
  EXPECT_EQ(loc.ObjectPath("logmein.asp"), "dialvo/v5\\logmein.asp");
  EXPECT_EQ(RequestUrl("127.0.0.1:8720", loc.ObjectPath("logmein.asp")),
            "http://127.0.0.1:8720/dialvo/v5%5Clogmein.asp");
  EXPECT_EQ(RequestUrl("http://h/base", "/a b?.asp"), "http://h/base/a%20b%3F.asp");

  // A directory reached over https never sends the commands over http.
  EXPECT_EQ(CommandHost("dir.example", "10.1.1.1:8720"), "10.1.1.1:8720");
  EXPECT_EQ(CommandHost("HTTPS://dir.example", "10.1.1.1:8720"), "https://10.1.1.1:8720");
  EXPECT_EQ(CommandHost("https://dir.example", "http://10.1.1.1"), "https://10.1.1.1");
  EXPECT_EQ(CommandHost("https://dir.example", "https://h:1"), "https://h:1");
  EXPECT_EQ(CommandHost("http://dir.example", "https://h:1"), "https://h:1");
}

TEST(ServiceAddress, DirectoryAnswerIsReadFieldByField) {
  const std::string full =
      "junk before\r\n[Other]\r\nPATH=wrong\r\n[dialvo]\r\n CURRENT IP = 10.1.1.1:8720 \r\n"
      "PATH=app\r\nlogmein_file=\"in.asp\"\r\nlogmeoff_file=off.asp\r\niamup_file=up.asp\r\n"
      "syncblist_file=sync.asp\r\ngetuserlist_file=list.asp\r\niamtalking_file=talk.asp\r\n"
      "FWTEST_FILE=fw.asp\r\n";
  ServerLocation loc;
  ASSERT_TRUE(ReadServerLocation(full, loc));
  EXPECT_EQ(loc, (ServerLocation{"10.1.1.1:8720", "app", "in.asp", "off.asp", "up.asp", "sync.asp",
                                 "list.asp", "talk.asp", "fw.asp"}));

  // Without fwtest_file: false, the other eight updated, the last kept.
  ServerLocation old{"o", "o", "o", "o", "o", "o", "o", "o", "old-fw"};
  std::string noFw = full.substr(0, full.find("FWTEST_FILE"));
  EXPECT_FALSE(ReadServerLocation(noFw, old));
  EXPECT_EQ(old.iamtalkingFile, "talk.asp");
  EXPECT_EQ(old.fwtestFile, "old-fw");

  // CURRENT IP 0.0.0.0 (or missing): false before anything else is read.
  ServerLocation untouched{"o", "o", "o", "o", "o", "o", "o", "o", "o"};
  EXPECT_FALSE(ReadServerLocation("[DIALVO]\nCURRENT IP=0.0.0.0\nPATH=p\n", untouched));
  EXPECT_FALSE(ReadServerLocation("<html>404</html>", untouched));
  EXPECT_EQ(untouched.path, "o");
}

TEST(LocalAddress, PrivateRanges) {
  for (const char* a :
       {"127.0.0.1", "10.0.0.7", "192.168.1.5", "169.254.3.3", "172.16.0.1", "172.31.255.255"}) {
    EXPECT_TRUE(IsPrivateAddress(a)) << a;
  }
  for (const char* a :
       {"127.0.0.2", "172.15.1.1", "172.32.1.1", "62.10.20.30", "11.0.0.1", "192.169.0.1"}) {
    EXPECT_FALSE(IsPrivateAddress(a)) << a;
  }
}

TEST(LocalAddress, StatusTextFollowsTheConnectionType) {
  NetworkSettings net;
  net.useHttpProxy = 1;
  EXPECT_EQ(AddressStatusFor(net, "")->text, "HTTP proxy not reachable");
  net.useHttpProxy = 0;
  net.ipType = 4;  // shown like a direct connection
  EXPECT_EQ(AddressStatusFor(net, "LAN")->text, "Behind firewall");
  EXPECT_EQ(AddressStatusFor(net, "LAN")->firewall, AddressStatus::Firewall::kBehind);
  net.configuredIp = "fw.example";
  net.ipType = 3;
  EXPECT_EQ(AddressStatusFor(net, "LAN")->text, "Internal IP:fw.example");
  EXPECT_EQ(AddressStatusFor(net, "LAN")->firewall, AddressStatus::Firewall::kNotBehind);
  net.ipType = 5;
  EXPECT_FALSE(AddressStatusFor(net, "LAN").has_value());
}

}  // namespace
}  // namespace dialvo
