// The web pages under /app_links/, over HTTP.
#include <gtest/gtest.h>

#include "tests/server/Harness.h"

namespace dialvo::server::test {
namespace {

class Pages : public ::testing::Test {
 protected:
  Reply Page(const std::string& page) { return Get(h.Port(), "/app_links/" + page); }
  Reply Send(const std::string& page, const std::string& form) { return h.PostForm(page, form); }
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

TEST_F(Pages, SearchAccountAndInviteShowWhatTheServiceHoldsToWhomItMayShowIt) {
  h.AddUser("Alice", "secret1");
  h.AddUser("malik", "secret1");
  h.AddUser("bob", "secret1");
  h.Command("syncblist.asp", "User=bob&Pass=secret1&buddy=alice&buddy=malik&Version=5");
  h.Command("logmein.asp", Harness::LoginBody("bob", "secret1", kGuidA, "62.10.20.30", 0, 1800));
  h.Command("logmein.asp", Harness::LoginBody("malik", "secret1", kGuidB));

  std::string page = Page("app_search.aspx?name=ALI").body;
  EXPECT_TRUE(Contains(page, "<td>Alice</td><td></td>"));
  EXPECT_FALSE(Contains(page, "<td>malik</td>"));  // the beginning of a name, not a part
  EXPECT_FALSE(Contains(page, "<td>bob</td>"));
  EXPECT_TRUE(Contains(Page("app_search.aspx?name=Mal").body, "<td>malik</td><td>online</td>"));
  page = Page("app_search.aspx?name=%3Cb%3E").body;
  EXPECT_TRUE(Contains(page, "Nobody's user name starts with \"&lt;b&gt;\"."));
  // Searches are rate-limited per source: ten at once, three of them above.
  int answered = 0;
  for (int i = 0; i < 12; ++i) {
    if (!Contains(Page("app_search.aspx?name=x").body, "Too many searches")) ++answered;
  }
  EXPECT_EQ(answered, 7);
  h.Advance(2000);
  EXPECT_FALSE(Contains(Page("app_search.aspx?name=x").body, "Too many searches"));

  // The program's link answers with a session cookie and a link without
  // the GUID; the page itself needs the cookie.
  const auto account = [&](const std::string& cookies) {
    return Get(h.Port(), "/app_links/app_myaccount.aspx", {"Cookie: " + cookies}).body;
  };
  const Reply link = Page("app_myaccount.aspx?InstanceGUID=" + std::string(kGuidA));
  EXPECT_EQ(link.status, 303);
  EXPECT_TRUE(Contains(link.headers, "Location: /app_links/app_myaccount.aspx\r\n"));
  const std::string cookie =
      "dialvo_session=" + Between(link.headers, "Set-Cookie: dialvo_session=", ';');
  EXPECT_TRUE(Contains(Between(link.headers, cookie, '\n'), "; HttpOnly; SameSite=Strict\r"))
      << link.headers;
  EXPECT_TRUE(Contains(Page("app_myaccount.aspx").body, "You are not logged in"));
  EXPECT_TRUE(Contains(account("other=1; dialvo_session=forged"), "You are not logged in"));
  page = account("other=1; " + cookie);
  for (const char* shown : {"<td>bob</td>", "<td>62.10.20.30</td>", "<td>1800</td>",
                            "<li>alice</li><li>malik</li>", "Directly connected"}) {
    EXPECT_TRUE(Contains(page, shown)) << shown;
  }
  EXPECT_TRUE(
      Contains(Page("app_myaccount.aspx?InstanceGUID=unknown").body, "You are not logged in"));
  // The session is signed: a token with any other signature shows nothing,
  // and it ends after 15 minutes even while the login lives on.
  std::string forged = cookie;
  forged.back() = forged.back() == '0' ? '1' : '0';
  EXPECT_TRUE(Contains(account(forged), "You are not logged in"));
  h.SetWallClockBy(int64_t{15} * 60 * 1000);
  EXPECT_TRUE(Contains(account(cookie), "You are not logged in"));

  page = Page("app_invite.aspx?InstanceGUID=" + std::string(kGuidA)).body;
  EXPECT_TRUE(Contains(page, "your user name is <b>bob</b>"));
  EXPECT_TRUE(Contains(
      page, "http://127.0.0.1:" + std::to_string(h.Port()) + "/app_links/app_register.aspx"));

  // The GUID opens the page only from the login's address, and a session
  // ends with the login.
  HttpRequest elsewhere;
  elsewhere.method = "GET";
  elsewhere.path = "/app_links/app_myaccount.aspx";
  elsewhere.query = {{"InstanceGUID", kGuidA}};
  elsewhere.sourceIp = 0x0A000002;  // 10.0.0.2
  const HttpResponse refused = h.GetService().Handle(elsewhere);
  EXPECT_EQ(refused.status, 200);
  EXPECT_TRUE(Contains(refused.body, "You are not logged in"));
  const std::string fresh =
      "dialvo_session=" +
      Between(Page("app_myaccount.aspx?InstanceGUID=" + std::string(kGuidA)).headers,
              "Set-Cookie: dialvo_session=", ';');
  EXPECT_TRUE(Contains(account(fresh), "<td>bob</td>"));
  h.Command("logmeoff.asp", Harness::LoginBody("bob", "secret1", kGuidA));
  EXPECT_TRUE(Contains(account(fresh), "You are not logged in"));
}

TEST_F(Pages, FormsPostedFromAnotherSiteAreRefused) {
  const std::string form = "name=carol&password=secret1&password2=secret1";
  const std::string own = "127.0.0.1:" + std::to_string(h.Port());
  const auto post = [&](const std::string& header) {
    return h.PostForm("app_register.aspx", form, {header});
  };
  const std::vector<std::string> foreign = {
      "Origin: https://evil.example", "Referer: http://evil.example/page?x=" + own, "Origin: null",
      "Origin: http://" + own + ".evil.example"};
  for (const auto& header : foreign) {
    const Reply reply = post(header);
    EXPECT_EQ(reply.status, 403) << header;
    EXPECT_TRUE(Contains(reply.body, "sent from another web site")) << header;
  }

  // A post without the token of this visitor's form page (a page elsewhere
  // cannot read it), with the token of another form or of another visitor's
  // cookie is refused, and the form comes back filled in with a fresh token.
  const Reply page = Page("app_feedback.aspx");
  EXPECT_TRUE(Contains(page.headers, "dialvo_form=")) << page.headers;
  EXPECT_TRUE(Contains(page.headers, "HttpOnly; SameSite=Strict")) << page.headers;
  const std::string cookie = "Cookie: dialvo_form=0123456789abcdef0123456789abcdef";
  const std::vector<std::pair<std::string, std::vector<std::string>>> forged = {
      {"text=My+words", {}},
      {"text=My+words", {cookie}},
      {"text=My+words&form_token=" + std::string(64, 'a'), {cookie}},
  };
  for (const auto& [body, headers] : forged) {
    const Reply reply = Post(h.Port(), "/app_links/app_feedback.aspx", body, headers);
    EXPECT_EQ(reply.status, 403) << body;
    EXPECT_TRUE(Contains(reply.body, "not sent from a page of this service")) << body;
    EXPECT_TRUE(Contains(reply.body, ">My words</textarea>")) << reply.body;
    EXPECT_TRUE(Contains(reply.body, "name=\"form_token\"")) << reply.body;
  }
  const std::string registerPage = Page("app_register.aspx").body;
  const std::string otherToken = Between(registerPage, "name=\"form_token\" value=\"", '"');
  ASSERT_EQ(otherToken.size(), 64u);
  EXPECT_EQ(
      Post(h.Port(), "/app_links/app_feedback.aspx", "text=hi&form_token=" + otherToken, {cookie})
          .status,
      403);
  EXPECT_FALSE(Contains(Page("app_search.aspx?name=carol").body, "<td>carol</td>"));

  // From this service's own page, the same forms go through.
  EXPECT_TRUE(Contains(post("Origin: http://" + own).body, "The account carol was created."));
  EXPECT_TRUE(Contains(h.PostForm("app_feedback.aspx", "text=hi",
                                  {"Referer: http://" + own + "/app_links/app_feedback.aspx"})
                           .body,
                       "Thank you"));
}

TEST_F(Pages, EveryPageTheProgramLinksToAnswers) {
  // Each answers; each help page the program opens has its own text.
  for (const char* page :
       {"app_home.aspx", "app_invite.aspx", "app_register.aspx", "app_search.aspx", "app_Help.aspx",
        "app_myaccount.aspx", "app_changepassword.aspx?user=a%20b",
        "app_feedback.aspx?InstanceGUID=x", "app_contexthelp.aspx?id=10",
        "app_contexthelp.aspx?id=13", "app_contexthelp.aspx?id=14", "app_contexthelp.aspx?id=15",
        "app_contexthelp.aspx?id=16", "app_contexthelp.aspx?id=17"}) {
    const Reply reply = Page(page);
    EXPECT_EQ(reply.status, 200) << page;
    EXPECT_TRUE(reply.body.starts_with("<!DOCTYPE html>")) << page;
    EXPECT_FALSE(Contains(reply.body, "no help page")) << page;
  }
  EXPECT_TRUE(Contains(Page("app_contexthelp.aspx?id=99").body, "no help page"));
  EXPECT_EQ(Page("app_nothing.aspx").status, 404);
  EXPECT_TRUE(Contains(Send("app_feedback.aspx", "InstanceGUID=x&text=Works+well%21").body,
                       "Your feedback was received."));
  EXPECT_TRUE(Contains(Send("app_feedback.aspx", "text=").body, "Please write"));
}

}  // namespace
}  // namespace dialvo::server::test
