// Pure pieces: form bodies, name rules, escaping, numbers, the command line.
#include "server/Text.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "server/BatchedLog.h"
#include "server/Form.h"
#include "server/HttpServer.h"
#include "server/Options.h"

namespace dialvo::server {
namespace {

// "t<thread> <index>": one line of the concurrent-writers case.
std::string ThreadLine(int thread, int index) {
  std::string line = "t";
  line += std::to_string(thread);
  line += ' ';
  line += std::to_string(index);
  return line;
}

TEST(Form, KeepsOrderRepeatsAndEmptyValuesIgnoresNameCaseAndRefusesBadEncoding) {
  auto form = Form::Parse("user=a%20b%26c&Pass=p%2Bq+r&buddy=x&&buddy=y&IPAddr=&IPType=1&");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->Get("User"), "a b&c");
  EXPECT_EQ(form->Get("pass"), "p+q r");  // '+' is a space, %2B a plus
  EXPECT_EQ(form->GetAll("BUDDY"), (std::vector<std::string_view>{"x", "y"}));
  EXPECT_TRUE(form->Has("IPAddr"));
  EXPECT_EQ(form->Get("IPAddr"), "");
  EXPECT_FALSE(form->Has("Version"));
  EXPECT_EQ(form->Pairs().size(), 6u);

  for (const char* body : {"a=%", "a=%4", "a=%G1", "a=1&%zz=2", "a=%%41"}) {
    EXPECT_FALSE(Form::Parse(body)) << body;
  }
  const auto decoded = Form::Parse("a=%41%e9%00z");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->Get("a"), std::string("A\xE9\0z", 4));
}

TEST(Text, UserNamesFollowTheProgramsRules) {
  for (const char* good : {"alice", "alice_2", "alice.b", "Bob-9", "\xC3\xA9mile"}) {
    EXPECT_TRUE(IsValidUserName(good)) << good;
  }
  EXPECT_TRUE(IsValidUserName(std::string(63, 'a')));
  EXPECT_FALSE(IsValidUserName(std::string(64, 'a')));
  EXPECT_FALSE(IsValidUserName(""));
  EXPECT_FALSE(IsValidUserName("\xE9mile"));  // Latin-1, not UTF-8
  EXPECT_FALSE(IsValidUserName("tab\tname"));
  for (char c : std::string("*&'~ ,\"<>?%!@:;`()+=|\\/")) {
    EXPECT_FALSE(IsValidUserName(std::string("a") + c + "b")) << c;
  }
}

TEST(Text, EscapedMarkupIsAlwaysWellFormed) {
  EXPECT_EQ(EscapeMarkup("<a href='x'>&\"</a>"), "&lt;a href=&#39;x&#39;&gt;&amp;&quot;&lt;/a&gt;");
  EXPECT_EQ(EscapeMarkup("\xC3\xA9t\xC3\xA9"), "\xC3\xA9t\xC3\xA9");
  // Bytes XML cannot carry: broken UTF-8, an overlong '<', controls, U+FFFE.
  EXPECT_EQ(EscapeMarkup("a\xE9z\xC0\xBC\x01\x7F\xEF\xBF\xBE\n"), "a?z???????\n");
  EXPECT_EQ(EscapeForLog("pa\tss\xFF"), "pa\\x09ss\\xFF");
}

TEST(Text, LeadingNumberReadsDigitsUpToTheFirstOther) {
  EXPECT_EQ(LeadingNumber(" 42abc"), 42);
  EXPECT_EQ(LeadingNumber("abc"), 0);
  EXPECT_EQ(LeadingNumber(""), 0);
  EXPECT_EQ(LeadingNumber("-5"), 0);
  EXPECT_EQ(LeadingNumber("99999999999999999999999"), INT64_MAX);
}

TEST(Options, ParsesServingAndAccountCommands) {
  Options o;
  std::string error;
  ASSERT_TRUE(ParseOptions({"--listen", "0.0.0.0:80", "--db", "/x.db", "--public-host",
                            "dialvo.example:8080", "--keepalive", "5"},
                           o, error));
  EXPECT_EQ(o.action, Options::Action::kServe);
  EXPECT_EQ(o.listen, (SockAddr{0, 80}));
  EXPECT_EQ(o.db, "/x.db");
  EXPECT_EQ(o.publicHost, "dialvo.example:8080");
  EXPECT_EQ(o.keepAliveS, 5);

  o = {};
  ASSERT_TRUE(ParseOptions({"--db", "/x.db", "user", "add", "bob", "pw"}, o, error));
  EXPECT_EQ(o.action, Options::Action::kUserAdd);
  EXPECT_EQ(o.name, "bob");
  EXPECT_EQ(o.password, "pw");

  for (const auto& bad : std::vector<std::vector<std::string>>{{"--listen", "localhost:1"},
                                                               {"--listen", "1.2.3.4:65536"},
                                                               {"--keepalive", "0"},
                                                               {"--listen"},
                                                               {"--bogus", "1"},
                                                               {"user", "del"},
                                                               {"user", "rename", "a"},
                                                               {"serve"}}) {
    o = {};
    EXPECT_FALSE(ParseOptions(bad, o, error)) << bad[0];
    EXPECT_FALSE(error.empty());
  }
  // Clients are told the listening host, without port 80.
  EXPECT_EQ(HostForClients(SockAddr::Loopback(8720)), "127.0.0.1:8720");
  EXPECT_EQ(HostForClients(SockAddr::Loopback(80)), "127.0.0.1");
  EXPECT_FALSE(HostForClients(SockAddr::Any(8720)).starts_with("0.0.0.0"));
}

TEST(Options, DatabaseLivesUnderTheXdgDataDirectory) {
  setenv("HOME", "/home/u", 1);
  setenv("XDG_DATA_HOME", "/data", 1);
  EXPECT_EQ(DefaultDatabasePath(), "/data/Orvanta/dialvo-server.db");
  setenv("XDG_DATA_HOME", "relative", 1);  // ignored: must be absolute
  EXPECT_EQ(DefaultDatabasePath(), "/home/u/.local/share/Orvanta/dialvo-server.db");
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(DefaultDatabasePath(), "/home/u/.local/share/Orvanta/dialvo-server.db");
}

TEST(RequestLog, LineIsPrintableAndCut) {
  const std::string line =
      FormatRequestLog(1'700'000'000'123, "10.0.0.1", "POST",
                       "/dialvo\\x\n" + std::string(300, 'p'), 200, 42, "note\r\n");
  EXPECT_TRUE(line.starts_with("2023-11-14T22:13:20.123Z 10.0.0.1 POST /dialvo\\x\\x0A"));
  EXPECT_NE(line.find("... 200 42us note\\x0D\\x0A"), std::string::npos);
  EXPECT_EQ(line.find('\n'), std::string::npos);
}

std::string ReadAll(int fd) {
  std::string text;
  char chunk[4096];
  ssize_t n = 0;
  while ((n = ::read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
  return text;
}

// Lines from many request threads come out whole, each thread's in order,
// and nothing waiting is lost when the service stops.
TEST(RequestLog, BatchedLinesArriveWholeAndInOrderAndAreFlushedAtTheEnd) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string text;
  std::thread reader([&] { text = ReadAll(fds[0]); });
  {
    BatchedLog log(fds[1], 60'000);  // only the end flushes
    const LogSink sink = log.Sink();
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&sink, t] {
        for (int i = 0; i < 500; ++i) sink(ThreadLine(t, i));
      });
    }
    for (auto& thread : threads) thread.join();
  }
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);
  int next[4] = {};
  size_t lines = 0;
  for (size_t start = 0; start < text.size(); ++lines) {
    const size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(start, end - start);
    const int t = line[1] - '0';
    ASSERT_EQ(line, ThreadLine(t, next[t]));
    ++next[t];
    start = end + 1;
  }
  EXPECT_EQ(lines, 2000u);
}

TEST(RequestLog, LinesBeyondTheBacklogAreCountedNotKept) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    BatchedLog log(fds[1], 60'000, 10);
    log.Add("12345");  // 6 bytes with its newline
    log.Add("1234");   // would make 11
    log.Add("123");    // exactly 10
    log.Add("x");
  }
  ::close(fds[1]);
  EXPECT_EQ(ReadAll(fds[0]), "12345\n123\nlog: 2 lines dropped, the log could not keep up\n");
  ::close(fds[0]);
}

}  // namespace
}  // namespace dialvo::server
