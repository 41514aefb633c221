// The web pages under /app_links/, over HTTP.
#include <gtest/gtest.h>

#include "tests/server/Harness.h"

namespace dialvo::server::test {
namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class Pages : public ::testing::Test {
 protected:
  Reply Page(const std::string& page) { return Get(h.Port(), "/app_links/" + page); }
  Reply Send(const std::string& page, const std::string& form) {
    return Post(h.Port(), "/app_links/" + page, form);
  }
  Harness h;
};

TEST_F(Pages, RegisteringCreatesAnAccountTheProgramCanUse) {
  Reply reply = Send("app_register.aspx", "name=carol&password=secret1&password2=secret1");
  EXPECT_TRUE(Contains(reply.body, "The account carol was created.")) << reply.body;
  EXPECT_TRUE(Contains(h.Command("logmein.asp", Harness::LoginBody("Carol", "secret1", kGuidA)),
                       "<errorcode>0</errorcode>"));

  reply = Send("app_register.aspx", "name=CAROL&password=secret2&password2=secret2");
  EXPECT_TRUE(Contains(reply.body, "The name CAROL is already taken."));
  reply = Send("app_register.aspx", "name=dave&password=secret1&password2=secret9");
  EXPECT_TRUE(Contains(reply.body, "The two passwords differ."));
  reply = Send("app_register.aspx", "name=dave&password=123&password2=123");
  EXPECT_TRUE(Contains(reply.body, "A password has 6 to 128 characters."));
  // A hostile name comes back escaped, never as markup.
  reply = Send("app_register.aspx",
               "name=%3Cscript%3Ealert(1)%3C%2Fscript%3E&password=secret1&password2=secret1");
  EXPECT_TRUE(Contains(reply.body, "A user name has"));
  EXPECT_TRUE(Contains(reply.body, "value=\"&lt;script&gt;alert(1)&lt;/script&gt;\""));
  EXPECT_FALSE(Contains(reply.body, "<script>"));
  // Account creation is rate-limited per source address (five at once).
  for (int i = 0; i < 3; ++i) Send("app_register.aspx", "name=x&password=1&password2=1");
  reply = Send("app_register.aspx", "name=erin&password=secret1&password2=secret1");
  EXPECT_TRUE(Contains(reply.body, "Too many requests")) << reply.body;
}

TEST_F(Pages, ChangingThePasswordEndsKeepalivesWithTheOldOne) {
  h.AddUser("bob", "old-secret");
  h.Command("logmein.asp", Harness::LoginBody("bob", "old-secret", kGuidA));
  EXPECT_TRUE(Contains(Page("app_changepassword.aspx?user=bob").body, "value=\"bob\""));
  Reply reply =
      Send("app_changepassword.aspx", "name=bob&old=guess1&new=new-secret&new2=new-secret");
  EXPECT_TRUE(Contains(reply.body, "The user name or the old password is wrong."));
  reply = Send("app_changepassword.aspx", "name=bob&old=old-secret&new=new-secret&new2=new-secret");
  EXPECT_TRUE(Contains(reply.body, "The password of bob was changed.")) << reply.body;
  EXPECT_TRUE(
      h.Command("iamup.asp", Harness::LoginBody("bob", "old-secret", kGuidA)).starts_with("#"));
  EXPECT_TRUE(Contains(h.Command("logmein.asp", Harness::LoginBody("bob", "new-secret", kGuidA)),
                       "<errorcode>0</errorcode>"));
}

TEST_F(Pages, SearchAccountAndInviteShowWhatTheServiceHolds) {
  h.AddUser("Alice", "secret1");
  h.AddUser("malik", "secret1");
  h.AddUser("bob", "secret1");
  h.Command("syncblist.asp", "User=bob&Pass=secret1&buddy=alice&buddy=malik&Version=5");
  h.Command("logmein.asp", Harness::LoginBody("bob", "secret1", kGuidA, "62.10.20.30", 0, 1800));
  h.Command("logmein.asp", Harness::LoginBody("malik", "secret1", kGuidB));

  std::string page = Page("app_search.aspx?name=ALI").body;
  EXPECT_TRUE(Contains(page, "<td>Alice</td><td></td>"));
  EXPECT_TRUE(Contains(page, "<td>malik</td><td>online</td>"));
  EXPECT_FALSE(Contains(page, "<td>bob</td>"));
  page = Page("app_search.aspx?name=%3Cb%3E").body;
  EXPECT_TRUE(Contains(page, "Nobody's user name contains \"&lt;b&gt;\"."));

  page = Page("app_myaccount.aspx?InstanceGUID=" + std::string(kGuidA)).body;
  for (const char* shown : {"<td>bob</td>", "<td>62.10.20.30</td>", "<td>1800</td>",
                            "<li>alice</li><li>malik</li>", "Directly connected"}) {
    EXPECT_TRUE(Contains(page, shown)) << shown;
  }
  EXPECT_TRUE(
      Contains(Page("app_myaccount.aspx?InstanceGUID=unknown").body, "You are not logged in"));

  page = Page("app_invite.aspx?InstanceGUID=" + std::string(kGuidA)).body;
  EXPECT_TRUE(Contains(page, "your user name is <b>bob</b>"));
  EXPECT_TRUE(Contains(
      page, "http://127.0.0.1:" + std::to_string(h.Port()) + "/app_links/app_register.aspx"));
}

TEST_F(Pages, EveryPageTheProgramLinksToAnswers) {
  for (const char* page :
       {"app_home.aspx", "app_invite.aspx", "app_register.aspx", "app_search.aspx", "app_Help.aspx",
        "app_myaccount.aspx", "app_changepassword.aspx?user=a%20b",
        "app_feedback.aspx?InstanceGUID=x", "app_contexthelp.aspx?id=10",
        "app_contexthelp.aspx?id=13", "app_contexthelp.aspx?id=14", "app_contexthelp.aspx?id=15",
        "app_contexthelp.aspx?id=16", "app_contexthelp.aspx?id=17"}) {
    const Reply reply = Page(page);
    EXPECT_EQ(reply.status, 200) << page;
    EXPECT_TRUE(reply.body.starts_with("<!DOCTYPE html>")) << page;
  }
  // Every help page the program opens has its own text.
  for (const char* id : {"10", "13", "14", "15", "16", "17"}) {
    EXPECT_FALSE(Contains(Page(std::string("app_contexthelp.aspx?id=") + id).body, "no help page"))
        << id;
  }
  EXPECT_TRUE(Contains(Page("app_contexthelp.aspx?id=99").body, "no help page"));
  EXPECT_EQ(Page("app_nothing.aspx").status, 404);
  EXPECT_TRUE(Contains(Send("app_feedback.aspx", "InstanceGUID=x&text=Works+well%21").body,
                       "Your feedback was received."));
  EXPECT_TRUE(Contains(Send("app_feedback.aspx", "text=").body, "Please write"));
}

}  // namespace
}  // namespace dialvo::server::test
