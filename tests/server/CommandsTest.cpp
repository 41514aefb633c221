// The program's commands end to end over HTTP, with libcurl as the client.
#include <gtest/gtest.h>

#include "tests/server/Harness.h"

namespace dialvo::server::test {
namespace {

constexpr const char* kXml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

// The login answer: accepted with these buddies, or refused for `why`.
std::string LoginAnswer(const std::string& why, const std::vector<std::string>& buddies = {}) {
  std::string out = std::string(kXml) + "<login>\n<errorcode>" + (why.empty() ? "0" : "1") +
                    "</errorcode>\n<err_description>" + why +
                    "</err_description>\n<show_user_message></show_user_message>\n"
                    "<url_to_navigate></url_to_navigate>\n<popup_url></popup_url>\n";
  for (const auto& buddy : buddies) out += "<userid>" + buddy + "</userid>\n";
  return out + "</login>\n";
}

// The login answer without its report_key element, which is new each time.
std::string WithoutKey(std::string answer) {
  const size_t at = answer.find("<report_key>");
  if (at != std::string::npos) answer.erase(at, answer.find('\n', at) + 1 - at);
  return answer;
}

std::string Buddy(const std::string& user, const std::string& address, int port, int type) {
  return "<buddy>\n<userid>" + user + "</userid>\n<ipaddress>" + address +
         "</ipaddress>\n<listening_port>" + std::to_string(port) + "</listening_port>\n<iptype>" +
         std::to_string(type) + "</iptype>\n<version>5</version>\n</buddy>\n";
}

std::string UserList(const std::string& buddies) {
  return std::string(kXml) + "<userlist>\n<errcode>0</errcode>\n" + buddies + "</userlist>\n";
}

std::string ListBody(const std::string& user, const std::string& password,
                     const std::vector<std::string>& buddies) {
  std::string body = "User=" + user + "&Pass=" + password;
  for (const auto& buddy : buddies) body += "&buddy=" + buddy;
  return body + "&Version=5";
}

class Commands : public ::testing::Test {
 protected:
  void SetUp() override {
    h.AddUser("bob", "secret-b");
    h.AddUser("amy", "secret-a");
  }
  std::string Online(const std::vector<std::string>& buddies) {
    return h.Command("getuserlist.asp", ListBody("amy", "secret-a", buddies));
  }
  Harness h;
};

TEST_F(Commands, DirectoryNamesThisServerAndItsScriptsWhichEveryPathFormReaches) {
  const std::string port = std::to_string(h.Port());
  // The program posts to the bare script name, without a leading slash.
  const Reply reply = Post(h.Port(), "DialvoServer.asp", "version=5");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "[DIALVO]\nCURRENT IP=127.0.0.1:" + port +
                            "\nPATH=dialvo\nlogmein_file=logmein.asp\nlogmeoff_file=logmeoff.asp\n"
                            "iamup_file=iamup.asp\nsyncblist_file=syncblist.asp\n"
                            "getuserlist_file=getuserlist.asp\niamtalking_file=iamtalking.asp\n"
                            "fwtest_file=fwtest.asp\n");
  EXPECT_EQ(Post(h.Port(), "/dialvoserver.ASP", "version=4").body,
            "[DIALVO]\nCURRENT IP=0.0.0.0\n");

  ServiceConfig config;
  config.publicHost = "dialvo.example";
  Harness fixed(config);
  EXPECT_TRUE(Contains(Post(fixed.Port(), "/DialvoServer.asp", "version=5").body,
                       "\nCURRENT IP=dialvo.example\n"));

  // Every form of the object path the program may send reaches the command.
  h.Command("logmein.asp", kBobLogin);
  for (const char* target :
       {"dialvo\\iamup.asp", "/dialvo\\iamup.asp", "/dialvo%5Ciamup.asp", "dialvo%5ciamup.asp",
        "/dialvo/iamup.asp", "dialvo/iamup.asp", "//DIALVO\\IAMUP.ASP"}) {
    const Reply routed = Post(h.Port(), target, kBobLogin);
    EXPECT_EQ(routed.status, 200) << target;
    EXPECT_EQ(routed.body, "+") << target;
  }
  EXPECT_EQ(Post(h.Port(), "/dialvo\\nothing.asp", kBobLogin).status, 404);
  EXPECT_EQ(Post(h.Port(), "/other\\iamup.asp", kBobLogin).status, 404);
}

TEST_F(Commands, BuddyListRoundTripsThroughSyncAndLogin) {
  EXPECT_EQ(h.Command("syncblist.asp",
                      ListBody("bob", "secret-b", {"zed", "%3Cb%3E", "al%20ice", "ZED", "amy"})),
            "+");
  // Names the program cannot hold are dropped, a repeat is kept once.
  EXPECT_EQ(WithoutKey(h.Command("logmein.asp", kBobLogin)), LoginAnswer("", {"zed", "amy"}));
  EXPECT_EQ(h.Command("syncblist.asp", ListBody("bob", "secret-b", {})), "+");
  EXPECT_EQ(WithoutKey(h.Command("logmein.asp", kBobLogin)), LoginAnswer(""));
  EXPECT_TRUE(h.Command("syncblist.asp", ListBody("bob", "wrong-pw", {"x"})).starts_with("-"));
}

TEST_F(Commands, RefusalsAnswerInTheCommandsOwnFormAndLogNobodyIn) {
  const std::string refused = LoginAnswer("Invalid user name or password.");
  EXPECT_EQ(h.Command("logmein.asp", Harness::LoginBody("bob", "wrong-pw", kGuidA)), refused);
  // An unknown user reads exactly like a wrong password.
  EXPECT_EQ(h.Command("logmein.asp", Harness::LoginBody("nobody", "secret-b", kGuidA)), refused);
  EXPECT_EQ(h.Command("logmein.asp", Harness::LoginBody("x%27%20OR%20%271%27%3D%271", "a", kGuidA)),
            refused);
  EXPECT_EQ(h.Command("logmein.asp", Harness::LoginBody("bob", "secret-b", "")),
            LoginAnswer("The login request has no valid InstanceGUID."));
  EXPECT_EQ(h.Command("logmein.asp", "user=bob&Pass=secret-b%ZZ"),
            LoginAnswer("The service could not read the request."));
  EXPECT_EQ(Online({"bob"}), UserList(""));

  // Hostile and oversized bodies get the commands' own refusals.
  h.Command("logmein.asp", kBobLogin);
  const std::string huge = ListBody("amy", "secret-a", std::vector<std::string>(3000, "bob"));
  const Reply reply = Post(h.Port(), "/dialvo/getuserlist.asp", huge);
  EXPECT_EQ(reply.status, 200);
  EXPECT_TRUE(reply.body.starts_with(kXml));
  EXPECT_TRUE(Contains(reply.body, "<errcode>1</errcode>"));
  EXPECT_TRUE(h.Command("iamup.asp", "User=bob&Pass=%").starts_with("#"));
  EXPECT_TRUE(h.Command("iamtalking.asp", "User=%G0").starts_with("-"));
  EXPECT_TRUE(h.Command("logmeoff.asp", std::string(20000, 'x')).starts_with("-"));
  // Unknown parameters are ignored; of two values the first counts.
  EXPECT_EQ(
      WithoutKey(h.Command("logmein.asp", kBobLogin + "&Evil=%3Cscript%3E&Pass=other&%3C%3E=")),
      LoginAnswer(""));
  EXPECT_EQ(Online({"bob", "%3Cscript%3E", "x%27%3B--"}),
            UserList(Buddy("bob", "127.0.0.1", 1720, 1)));
}

TEST_F(Commands, OnlineListPublishesWhereEachBuddyCanBeCalled) {
  h.AddUser("lan", "secret-l");
  h.AddUser("fw", "secret-f");
  h.AddUser("cfg", "secret-c");
  h.AddUser("odd", "secret-o");
  h.AddUser("off", "secret-x");
  h.Command("logmein.asp", Harness::LoginBody("bob", "secret-b", "g-bob", "62.10.20.30", 0, 1800));
  h.Command("logmein.asp", Harness::LoginBody("lan", "secret-l", "g-lan", "LAN", 0));
  // IPType 1: the address the request came from, whatever IPAddr says.
  h.Command("logmein.asp", Harness::LoginBody("fw", "secret-f", "g-fw", "9.9.9.9", 1));
  h.Command("logmein.asp", Harness::LoginBody("cfg", "secret-c", "g-cfg", "1.2.3.4", 2, 1721));
  // Markup is no address: the request's own address is published instead.
  h.Command("logmein.asp", Harness::LoginBody("odd", "secret-o", "g-odd", "%3Cx%3E", 0));
  EXPECT_EQ(Online({"bob", "lan", "nobody", "FW", "off", "cfg", "odd"}),
            UserList(Buddy("bob", "62.10.20.30", 1800, 0) + Buddy("lan", "LAN", 1720, 0) +
                     Buddy("fw", "127.0.0.1", 1720, 1) + Buddy("cfg", "1.2.3.4", 1721, 2) +
                     Buddy("odd", "127.0.0.1", 1720, 0)));
  EXPECT_EQ(h.Command("getuserlist.asp", ListBody("amy", "wrong-pw", {"bob"})),
            std::string(kXml) +
                "<userlist>\n<errcode>1</errcode>\n<err_description>Invalid user name or "
                "password.</err_description>\n</userlist>\n");
}

TEST_F(Commands, LoginExpiresAfterThreeMissedKeepalives) {
  h.Command("logmein.asp", kBobLogin);
  h.Advance(100000);
  EXPECT_EQ(h.Command("iamup.asp", kBobLogin), "+");
  h.Advance(135000);  // exactly three intervals since the keep-alive: still alive
  EXPECT_EQ(Online({"bob"}), UserList(Buddy("bob", "127.0.0.1", 1720, 1)));
  EXPECT_EQ(h.Command("iamup.asp", kBobLogin), "+");
  h.Advance(135001);
  EXPECT_EQ(Online({"bob"}), UserList(""));
  EXPECT_EQ(h.Command("iamup.asp", kBobLogin), "-");

  h.Command("logmein.asp", kBobLogin);
  EXPECT_EQ(h.Command("iamup.asp", Harness::LoginBody("bob", "secret-b", kGuidB)), "-");
  EXPECT_TRUE(
      h.Command("iamup.asp", Harness::LoginBody("bob", "wrong-pw", kGuidA)).starts_with("#"));
  h.GetService().Sweep();
  EXPECT_EQ(h.Command("iamup.asp", kBobLogin), "+");  // sweeping spares live logins
}

TEST_F(Commands, LoggingInElsewhereEndsTheFirstLoginWithAMessage) {
  h.Command("logmein.asp", Harness::LoginBody("bob", "secret-b", kGuidA, "1.1.1.1", 0));
  h.Command("logmein.asp", Harness::LoginBody("bob", "secret-b", kGuidB, "2.2.2.2", 0));
  EXPECT_EQ(h.Command("iamup.asp", Harness::LoginBody("bob", "secret-b", kGuidA, "1.1.1.1", 0)),
            "#You have been logged off because your user name has logged in from another "
            "computer.");
  // A restart keeps the live login, and where it is published.
  h.Stop();
  h.Start();
  EXPECT_EQ(h.Command("iamup.asp", Harness::LoginBody("bob", "secret-b", kGuidB, "2.2.2.2", 0)),
            "+");
  // The first program then logs off; that must not log the second one off.
  EXPECT_EQ(h.Command("logmeoff.asp", kBobLogin), "+");
  EXPECT_EQ(Online({"bob"}), UserList(Buddy("bob", "2.2.2.2", 1720, 0)));
  EXPECT_EQ(h.Command("logmeoff.asp", Harness::LoginBody("bob", "secret-b", kGuidB)), "+");
  EXPECT_EQ(h.Command("iamup.asp", Harness::LoginBody("bob", "secret-b", kGuidB)), "-");
  EXPECT_EQ(Online({"bob"}), UserList(""));
  EXPECT_TRUE(
      h.Command("logmeoff.asp", Harness::LoginBody("bob", "bad-pw", kGuidB)).starts_with("-"));
}

TEST_F(Commands, FwtestSendsOnlyItsOwnTextOnlyToTheRequesterAndIsRateLimited) {
  UdpSocket listener;
  ASSERT_TRUE(listener.Open());
  ASSERT_TRUE(listener.Bind(SockAddr::Loopback(0)));
  std::vector<uint8_t> buffer(1024);
  const auto received = [&] {
    int count = 0;
    while (listener.ReceiveFrom(buffer, 0).status == UdpSocket::Status::kOk) ++count;
    return count;
  };
  // IPAddr names somebody else and Message asks for other bytes; the
  // datagrams still go to the requester only, with the fixed text.
  const std::string body =
      "Version=5&Message=%FF%00EVIL&Port=" + std::to_string(listener.LocalName()->port) +
      "&IPAddr=10.9.9.9&IPType=2";
  EXPECT_EQ(h.Command("fwtest.asp", body),
            std::string(kXml) +
                "<fwtest>\n<ipaddress>127.0.0.1</ipaddress>\n<iptype>2</iptype>\n"
                "<error_code>0</error_code>\n<err_description></err_description>\n</fwtest>\n");
  for (int i = 0; i < 3; ++i) {
    const auto got = listener.ReceiveFrom(buffer, 2000);
    ASSERT_EQ(got.status, UdpSocket::Status::kOk);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<long>(got.size)),
              "Congratulations");
    EXPECT_TRUE(got.from.IsLoopback());
  }
  EXPECT_TRUE(Contains(h.Command("fwtest.asp", body), "<error_code>0<"));
  EXPECT_TRUE(Contains(h.Command("fwtest.asp", body), "<error_code>0<"));
  EXPECT_TRUE(Contains(h.Command("fwtest.asp", body), "<error_code>2<"));
  for (int i = 0; i < 6; ++i)
    ASSERT_EQ(listener.ReceiveFrom(buffer, 2000).status, UdpSocket::Status::kOk);
  EXPECT_EQ(listener.ReceiveFrom(buffer, 100).status, UdpSocket::Status::kTimeout);
  h.Advance(20000);
  EXPECT_TRUE(Contains(h.Command("fwtest.asp", "Version=5&Message=&Port=0&IPAddr=&IPType=1"),
                       "<error_code>1<"));

  // Listening on loopback, the service tests loopback only: never private,
  // link-local, multicast or other loopback-unlike classes.
  for (uint32_t source : {0x0A000001u, 0xC0A80101u, 0xAC100001u, 0xA9FE0001u, 0xE0000001u,
                          0xFFFFFFFFu, 0x00000001u}) {
    const std::string answer = Ask(h.GetService(), source, "fwtest.asp", body);
    EXPECT_TRUE(Contains(answer, "does not send test packets to your address")) << answer;
  }
  ServiceConfig proxied;
  proxied.behindProxy = true;
  Harness behind(proxied);
  EXPECT_TRUE(Contains(Ask(behind.GetService(), 0x7F000001, "fwtest.asp", body),
                       "does not send test packets"));
  // However many datagrams the configuration asks for, three go out.
  ServiceConfig greedy;
  greedy.fwtestDatagrams = 50;
  Harness many(greedy);
  EXPECT_EQ(received(), 0);
  EXPECT_TRUE(Contains(Ask(many.GetService(), 0x7F000001, "fwtest.asp", body), "<error_code>0<"));
  EXPECT_EQ(received(), 3);
}

TEST_F(Commands, LogHasOneLinePerRequestAndNeverAPassword) {
  const std::string secret = "Pw-Very-Secret-77";
  h.AddUser("dan", secret);
  h.Command("logmein.asp", Harness::LoginBody("dan", secret, kGuidA));
  h.Command("logmein.asp", Harness::LoginBody("dan", secret + "x", kGuidA));
  h.Command("iamup.asp", Harness::LoginBody("dan", secret, kGuidA));
  h.Command("getuserlist.asp", ListBody("dan", secret, {"bob"}));
  h.PostForm("app_changepassword.aspx",
             "name=dan&old=" + secret + "&new=" + secret + "2&new2=" + secret + "2");
  const auto lines = h.LogLines();
  ASSERT_EQ(lines.size(), 6u);  // the form page, then the form
  EXPECT_NE(lines[0].find("POST /dialvo/logmein.asp 200 "), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("logmein user=dan accepted"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("refused"), std::string::npos) << lines[1];
  for (const auto& line : lines) EXPECT_EQ(line.find("Secret"), std::string::npos) << line;
}

}  // namespace
}  // namespace dialvo::server::test
