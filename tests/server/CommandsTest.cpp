// The program's commands end to end over HTTP, with libcurl as the client.
#include <gtest/gtest.h>

#include <thread>

#include "server/Text.h"
#include "tests/server/Harness.h"

namespace dialvo::server::test {
namespace {

constexpr const char* kXml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string LoginAccepted(const std::vector<std::string>& buddies) {
  std::string out = std::string(kXml) +
                    "<login>\n<errorcode>0</errorcode>\n<err_description></err_description>\n"
                    "<show_user_message></show_user_message>\n<url_to_navigate></url_to_navigate>\n"
                    "<popup_url></popup_url>\n";
  for (const auto& buddy : buddies) out += "<userid>" + buddy + "</userid>\n";
  return out + "</login>\n";
}

// The login answer without its report_key element, which is new each time.
std::string WithoutKey(std::string answer) {
  const size_t at = answer.find("<report_key>");
  if (at != std::string::npos) answer.erase(at, answer.find('\n', at) + 1 - at);
  return answer;
}

std::string LoginRefused(const std::string& why) {
  return std::string(kXml) + "<login>\n<errorcode>1</errorcode>\n<err_description>" + why +
         "</err_description>\n<show_user_message></show_user_message>\n"
         "<url_to_navigate></url_to_navigate>\n<popup_url></popup_url>\n</login>\n";
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

TEST_F(Commands, DirectoryNamesThisServerAndItsScripts) {
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
  EXPECT_NE(Post(fixed.Port(), "/DialvoServer.asp", "version=5")
                .body.find("\nCURRENT IP=dialvo.example\n"),
            std::string::npos);
}

TEST_F(Commands, EveryFormOfTheObjectPathReachesTheCommand) {
  h.Command("logmein.asp", Harness::LoginBody("bob", "secret-b", kGuidA));
  const std::string body = Harness::LoginBody("bob", "secret-b", kGuidA);
  for (const char* target :
       {"dialvo\\iamup.asp", "/dialvo\\iamup.asp", "/dialvo%5Ciamup.asp", "dialvo%5ciamup.asp",
        "/dialvo/iamup.asp", "dialvo/iamup.asp", "//DIALVO\\IAMUP.ASP"}) {
    const Reply reply = Post(h.Port(), target, body);
    EXPECT_EQ(reply.status, 200) << target;
    EXPECT_EQ(reply.body, "+") << target;
  }
  EXPECT_EQ(Post(h.Port(), "/dialvo\\nothing.asp", body).status, 404);
  EXPECT_EQ(Post(h.Port(), "/other\\iamup.asp", body).status, 404);
}

TEST_F(Commands, BuddyListRoundTripsThroughSyncAndLogin) {
  EXPECT_EQ(h.Command("syncblist.asp",
                      ListBody("bob", "secret-b", {"zed", "%3Cb%3E", "al%20ice", "ZED", "amy"})),
            "+");
  // Names the program cannot hold are dropped, a repeat is kept once.
  EXPECT_EQ(WithoutKey(h.Command("logmein.asp", Harness::LoginBody("bob", "secret-b", kGuidA))),
            LoginAccepted({"zed", "amy"}));
  EXPECT_EQ(h.Command("syncblist.asp", ListBody("bob", "secret-b", {})), "+");
  EXPECT_EQ(WithoutKey(h.Command("logmein.asp", Harness::LoginBody("bob", "secret-b", kGuidA))),
            LoginAccepted({}));
  EXPECT_TRUE(h.Command("syncblist.asp", ListBody("bob", "wrong-pw", {"x"})).starts_with("-"));
}

TEST_F(Commands, RefusedLoginsAnswerInTheLoginFormAndLogNobodyIn) {
  const std::string refused = LoginRefused("Invalid user name or password.");
  EXPECT_EQ(h.Command("logmein.asp", Harness::LoginBody("bob", "wrong-pw", kGuidA)), refused);
  // An unknown user reads exactly like a wrong password.
  EXPECT_EQ(h.Command("logmein.asp", Harness::LoginBody("nobody", "secret-b", kGuidA)), refused);
  EXPECT_EQ(h.Command("logmein.asp", Harness::LoginBody("x%27%20OR%20%271%27%3D%271", "a", kGuidA)),
            refused);
  EXPECT_EQ(h.Command("logmein.asp", Harness::LoginBody("bob", "secret-b", "")),
            LoginRefused("The login request has no valid InstanceGUID."));
  EXPECT_EQ(h.Command("logmein.asp", "user=bob&Pass=secret-b%ZZ"),
            LoginRefused("The service could not read the request."));
  EXPECT_EQ(Online({"bob"}), UserList(""));
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
  h.Command("logmein.asp", Harness::LoginBody("bob", "secret-b", kGuidA));
  const std::string iamup =
      "User=bob&Pass=secret-b&ListeningPort=1720&InstanceGUID=" + std::string(kGuidA) +
      "&IPAddr=&IPType=1&Version=5";
  h.Advance(100000);
  EXPECT_EQ(h.Command("iamup.asp", iamup), "+");
  h.Advance(135000);  // exactly three intervals since the keep-alive: still alive
  EXPECT_EQ(Online({"bob"}), UserList(Buddy("bob", "127.0.0.1", 1720, 1)));
  EXPECT_EQ(h.Command("iamup.asp", iamup), "+");
  h.Advance(135001);
  EXPECT_EQ(Online({"bob"}), UserList(""));
  EXPECT_EQ(h.Command("iamup.asp", iamup), "-");

  h.Command("logmein.asp", Harness::LoginBody("bob", "secret-b", kGuidA));
  EXPECT_EQ(h.Command("iamup.asp", Harness::LoginBody("bob", "secret-b", kGuidB)), "-");
  EXPECT_TRUE(
      h.Command("iamup.asp", Harness::LoginBody("bob", "wrong-pw", kGuidA)).starts_with("#"));
  h.GetService().Sweep();
  EXPECT_EQ(h.Command("iamup.asp", iamup), "+");  // sweeping spares live logins
}

TEST_F(Commands, LoggingInElsewhereEndsTheFirstLoginWithAMessage) {
  h.Command("logmein.asp", Harness::LoginBody("bob", "secret-b", kGuidA, "1.1.1.1", 0));
  h.Command("logmein.asp", Harness::LoginBody("bob", "secret-b", kGuidB, "2.2.2.2", 0));
  EXPECT_EQ(h.Command("iamup.asp", Harness::LoginBody("bob", "secret-b", kGuidA, "1.1.1.1", 0)),
            "#You have been logged off because your user name has logged in from another "
            "computer.");
  EXPECT_EQ(h.Command("iamup.asp", Harness::LoginBody("bob", "secret-b", kGuidB, "2.2.2.2", 0)),
            "+");
  // The first program then logs off; that must not log the second one off.
  EXPECT_EQ(h.Command("logmeoff.asp", Harness::LoginBody("bob", "secret-b", kGuidA)), "+");
  EXPECT_EQ(Online({"bob"}), UserList(Buddy("bob", "2.2.2.2", 1720, 0)));
  EXPECT_EQ(h.Command("logmeoff.asp", Harness::LoginBody("bob", "secret-b", kGuidB)), "+");
  EXPECT_EQ(h.Command("iamup.asp", Harness::LoginBody("bob", "secret-b", kGuidB)), "-");
  EXPECT_EQ(Online({"bob"}), UserList(""));
  EXPECT_TRUE(
      h.Command("logmeoff.asp", Harness::LoginBody("bob", "bad-pw", kGuidB)).starts_with("-"));
}

TEST_F(Commands, CallReportsKeepOneSessionNumberPerConference) {
  h.AddUser("carol", "secret-c");
  h.Command("logmein.asp", Harness::LoginBody("bob", "secret-b", kGuidA));
  h.Command("logmein.asp", Harness::LoginBody("amy", "secret-a", kGuidB));
  const auto report = [&](const std::string& user, const std::string& conference) {
    return h.Command("iamtalking.asp", "User=" + user +
                                           "&RemUser=x&Minutes=3&AvgDelay=120&RemUser=y&Minutes="
                                           "0&AvgDelay=1&SessionID=0&Version=5&IsRecorded=1&"
                                           "VoiceConferenceGUID=" +
                                           conference);
  };
  const std::string first = report("bob", "conf-1");
  ASSERT_TRUE(first.starts_with("+")) << first;
  ASSERT_GE(first.size(), 5u);
  const int64_t session = LeadingNumber(first.substr(4));  // the program reads from index 4
  EXPECT_GT(session, 0);
  EXPECT_EQ(report("amy", "conf-1"), first);
  EXPECT_EQ(report("BOB", "conf-1"), first);
  EXPECT_NE(report("bob", "conf-2"), first);
  // No password in a call report: only a logged-in user may send one.
  EXPECT_TRUE(report("carol", "conf-1").starts_with("-"));
  EXPECT_TRUE(report("nobody", "conf-1").starts_with("-"));
  EXPECT_TRUE(report("bob", "").starts_with("-"));
}

TEST_F(Commands, FwtestSendsToTheRequestersAddressAndIsRateLimited) {
  UdpSocket listener;
  ASSERT_TRUE(listener.Open());
  ASSERT_TRUE(listener.Bind(SockAddr::Loopback(0)));
  const std::string port = std::to_string(listener.LocalName()->port);
  // IPAddr names somebody else; the datagrams still go to the requester only.
  const std::string body =
      "Version=5&Message=Congratulations&Port=" + port + "&IPAddr=10.9.9.9&IPType=2";
  EXPECT_EQ(h.Command("fwtest.asp", body),
            std::string(kXml) +
                "<fwtest>\n<ipaddress>127.0.0.1</ipaddress>\n<iptype>2</iptype>\n"
                "<error_code>0</error_code>\n<err_description></err_description>\n</fwtest>\n");
  std::vector<uint8_t> buffer(1024);
  for (int i = 0; i < 3; ++i) {
    const auto got = listener.ReceiveFrom(buffer, 2000);
    ASSERT_EQ(got.status, UdpSocket::Status::kOk);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<long>(got.size)),
              "Congratulations");
    EXPECT_TRUE(got.from.IsLoopback());
  }
  EXPECT_NE(h.Command("fwtest.asp", body).find("<error_code>0<"), std::string::npos);
  EXPECT_NE(h.Command("fwtest.asp", body).find("<error_code>0<"), std::string::npos);
  EXPECT_NE(h.Command("fwtest.asp", body).find("<error_code>2<"), std::string::npos);
  for (int i = 0; i < 6; ++i)
    ASSERT_EQ(listener.ReceiveFrom(buffer, 2000).status, UdpSocket::Status::kOk);
  EXPECT_EQ(listener.ReceiveFrom(buffer, 100).status, UdpSocket::Status::kTimeout);
  h.Advance(20000);
  EXPECT_NE(
      h.Command("fwtest.asp", "Version=5&Message=&Port=0&IPAddr=&IPType=1").find("<error_code>1<"),
      std::string::npos);
}

TEST_F(Commands, HostileAndOversizedBodiesGetTheCommandsOwnRefusals) {
  h.Command("logmein.asp", Harness::LoginBody("bob", "secret-b", kGuidA));
  const std::string huge = ListBody("amy", "secret-a", std::vector<std::string>(3000, "bob"));
  const Reply reply = Post(h.Port(), "/dialvo/getuserlist.asp", huge);
  EXPECT_EQ(reply.status, 200);
  EXPECT_TRUE(reply.body.starts_with(kXml));
  EXPECT_NE(reply.body.find("<errcode>1</errcode>"), std::string::npos);
  EXPECT_TRUE(h.Command("iamup.asp", "User=bob&Pass=%").starts_with("#"));
  EXPECT_TRUE(h.Command("iamtalking.asp", "User=%G0").starts_with("-"));
  EXPECT_TRUE(h.Command("logmeoff.asp", std::string(20000, 'x')).starts_with("-"));
  // Unknown parameters are ignored; of two values the first counts.
  EXPECT_EQ(WithoutKey(h.Command("logmein.asp", Harness::LoginBody("bob", "secret-b", kGuidA) +
                                                    "&Evil=%3Cscript%3E&Pass=other&%3C%3E=")),
            LoginAccepted({}));
  EXPECT_EQ(Online({"bob", "%3Cscript%3E", "x%27%3B--"}),
            UserList(Buddy("bob", "127.0.0.1", 1720, 1)));
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

TEST_F(Commands, LoginsSurviveARestartOfTheService) {
  h.Command("logmein.asp", Harness::LoginBody("bob", "secret-b", kGuidA, "5.6.7.8", 0));
  h.Stop();
  h.Start();
  EXPECT_EQ(h.Command("iamup.asp", Harness::LoginBody("bob", "secret-b", kGuidA, "5.6.7.8", 0)),
            "+");
  EXPECT_EQ(Online({"bob"}), UserList(Buddy("bob", "5.6.7.8", 1720, 0)));
}

TEST_F(Commands, ParallelClientsAreServedConsistently) {
  h.Command("logmein.asp", Harness::LoginBody("bob", "secret-b", kGuidA));
  std::atomic<int> wrong{0};
  std::vector<std::thread> clients;
  clients.reserve(4);
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&, c] {
      for (int i = 0; i < 25; ++i) {
        const bool keepalive = (i + c) % 2 == 0;
        const Reply reply = keepalive ? Post(h.Port(), "/dialvo/iamup.asp",
                                             Harness::LoginBody("bob", "secret-b", kGuidA,
                                                                c % 2 ? "LAN" : "", c % 2 ? 0 : 1))
                                      : Post(h.Port(), "/dialvo/getuserlist.asp",
                                             ListBody("amy", "secret-a", {"bob"}));
        const bool ok =
            keepalive ? reply.body == "+" : reply.body.find("<userid>bob<") != std::string::npos;
        if (!ok) ++wrong;
      }
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace dialvo::server::test
