// The HTTP client and the local address against real sockets on loopback.
#include "service/ServiceClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "base/NamedThread.h"
#include "service/LocalAddress.h"
#include "settings/Settings.h"
#include "tests/service/FakeHttpServer.h"
#include "tests/service/FakeService.h"
#include "tests/service/Tinyproxy.h"
#include "tests/support/LoopbackPorts.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/Wait.h"

namespace dialvo {
namespace {

using test::FakeHttpServer;
using test::HttpRequest;
using test::HttpResponse;

struct ClientFixture {
  test::ScratchDir tmp;
  SettingsStore settings{tmp.File("conf")};
  ServiceClientOptions Options(uint32_t timeoutSeconds = 10, uint32_t stepMs = 1000) {
    ServiceClientOptions o;
    o.timeoutSeconds = timeoutSeconds;
    o.waitStepMs = stepMs;
    o.cacheDirectory = tmp.File("cache");
    return o;
  }
};

TEST(ServiceClient, PostsTheBodyWithTheOneContentTypeHeaderAndTakesWhateverComesBack) {
  ClientFixture f;
  // 4095-byte pieces: in the first, everything after its zero byte is lost;
  // the second piece is whole again.
  std::string sent = "head";
  sent += '\0';
  sent += "lost";
  sent.resize(AnswerCutter::kPiece, 'z');
  sent += "second piece";
  FakeHttpServer server([&](const HttpRequest& r) {
    if (r.target == "/missing.asp") return HttpResponse::Text(404, "<html>Not here</html>");
    return HttpResponse::Text(200, r.target == "/zero.asp" ? sent : "+OK");
  });
  CServiceClient client(f.settings, f.Options());
  // Long enough that a client would ask for "100 continue" unless told not to.
  const std::string body = "User=" + std::string(3000, 'x') + "&Version=5";
  std::string answer;
  ASSERT_TRUE(client.Post(server.HostPort(), "dialvo\\iamup.asp", body, answer));
  EXPECT_EQ(answer, "+OK");

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const HttpRequest& r = requests[0];
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.target, "/dialvo%5Ciamup.asp");
  EXPECT_EQ(r.head.substr(r.head.find(' ', 5) + 1, 10), "HTTP/1.1\r\n");
  EXPECT_EQ(r.HeaderCount("Content-Type"), 1);
  EXPECT_EQ(r.Header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(r.Header("Content-Length"), std::to_string(body.size()));
  EXPECT_EQ(r.Header("Host"), server.HostPort());
  EXPECT_EQ(r.Header("User-Agent"), "Orvanta Dialvo");
  EXPECT_EQ(r.HeaderCount("Expect"), 0);
  EXPECT_EQ(r.HeaderCount("Accept"), 0);
  EXPECT_EQ(r.body, body);

  // Error pages and zero bytes are the answer too.
  ASSERT_TRUE(client.Post(server.HostPort(), "missing.asp", "a=1", answer));
  EXPECT_EQ(answer, "<html>Not here</html>");
  ASSERT_TRUE(client.Post(server.HostPort(), "zero.asp", "a=1", answer));
  EXPECT_EQ(answer, "headsecond piece");
  // The pieces do not depend on how the bytes arrive.
  std::string cut;
  AnswerCutter cutter;
  for (size_t i = 0; i < sent.size(); i += 1000) cutter.Append(sent.substr(i, 1000), cut);
  EXPECT_EQ(cut, "headsecond piece");
}

HttpResponse Hang(const HttpRequest&) { return HttpResponse::Hang(); }

TEST(ServiceClient, FailuresLeaveTheAnswerAsItWasAndNoAnswerEndsAtTheLimitOrOnAbort) {
  ClientFixture f;
  FakeHttpServer server(Hang);
  // A limit of 2 s checked every 100 ms: the caller gives up after 3 steps.
  CServiceClient client(f.settings, f.Options(2, 100));
  const int threadsBefore = NamedThread::LiveObjects();
  std::string answer = "previous";
  // Left to a network time-out instead, the test would run into its own.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Post(server.HostPort(), "x.asp", "a=1", answer));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(answer, "previous");
  EXPECT_EQ(NamedThread::LiveObjects(), threadsBefore);  // no worker outlives its Post
  EXPECT_EQ(server.Requests().size(), 1u);

  const std::string closed = "127.0.0.1:" + std::to_string(test::UnusedLoopbackPort());
  EXPECT_FALSE(client.Post(closed, "x.asp", "a=1", answer));
  EXPECT_FALSE(client.Post("", "x.asp", "a=1", answer));
  EXPECT_EQ(answer, "previous");

  // A limit past the test's own time-out: only the abort ends the request,
  // and every later one.
  CServiceClient patient(f.settings, f.Options(600, 1000));
  bool posted = true;
  std::thread caller([&] { posted = patient.Post(server.HostPort(), "x.asp", "a=1", answer); });
  ASSERT_TRUE(test::WaitFor([&] { return server.Requests().size() == 2; }));
  patient.Abort();
  caller.join();
  EXPECT_FALSE(posted);
  EXPECT_EQ(answer, "previous");
  EXPECT_TRUE(patient.Aborted());
  EXPECT_FALSE(patient.Post(server.HostPort(), "x.asp", "a=2", answer));
  EXPECT_EQ(server.Requests().size(), 2u);
}

TEST(ServiceClient, ProxySettingsRouteRequestsThroughARealProxy) {
  ClientFixture f;
  test::Tinyproxy proxy(f.tmp.Path());
  ASSERT_NE(proxy.Port(), 0) << "tinyproxy could not be started";
  FakeHttpServer server([](const HttpRequest&) { return HttpResponse::Text(200, "ok"); });
  CServiceClient client(f.settings, f.Options());

  NetworkSettings net{
      .httpProxyName = " 127.0.0.1 ", .useHttpProxy = 1, .httpProxyPort = proxy.Port()};
  ASSERT_TRUE(SaveNetworkSettings(f.settings, net));
  std::string answer;
  ASSERT_TRUE(client.Post(server.HostPort(), "p\\x.asp", "a=1", answer));
  EXPECT_EQ(answer, "ok");

  // With the flag off the proxy name is ignored.
  net.useHttpProxy = 0;
  ASSERT_TRUE(SaveNetworkSettings(f.settings, net));
  ASSERT_TRUE(client.Post(server.HostPort(), "p\\x.asp", "a=2", answer));

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[0].Header("Via").find("tinyproxy"), std::string::npos);
  EXPECT_EQ(requests[0].target, "/p%5Cx.asp");
  EXPECT_EQ(requests[0].body, "a=1");
  EXPECT_EQ(requests[0].Header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(requests[1].HeaderCount("Via"), 0);

  // A proxy that is not there fails the request.
  net.useHttpProxy = 1;
  net.httpProxyPort = test::UnusedLoopbackPort();
  ASSERT_TRUE(SaveNetworkSettings(f.settings, net));
  EXPECT_FALSE(client.Post(server.HostPort(), "p\\x.asp", "a=3", answer));
}

TEST(ServiceClient, ServerLocationFileStaysOnlyAfterAFailure) {
  ClientFixture f;
  test::FakeService service;
  ServiceClientOptions options = f.Options();
  options.directoryHost = service.DirectoryHost();
  CServiceClient client(f.settings, options);
  const auto file = f.tmp.File("cache/DialvoServer.ini");
  EXPECT_EQ(client.LocationFilePath(), file);

  ServerLocation loc;
  ASSERT_TRUE(client.FetchServerLocation(loc));
  EXPECT_EQ(loc.currentIp, service.DirectoryHost());
  EXPECT_EQ(loc.fwtestFile, "fwtest.asp");
  EXPECT_FALSE(std::filesystem::exists(file));
  const auto calls = service.Calls("DialvoServer.asp");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].body, "version=5");

  const std::string partial = "[DIALVO]\nCURRENT IP=10.9.9.9\nPATH=p2\nlogmein_file=in2\n";
  service.SetAnswer("DialvoServer.asp",
                    [&](const test::Form&) { return HttpResponse::Text(200, partial); });
  EXPECT_FALSE(client.FetchServerLocation(loc));
  EXPECT_EQ(loc.logmeinFile, "in2");
  EXPECT_EQ(loc.logmeoffFile, "logmeoff.asp");
  EXPECT_EQ(test::ReadFile(file), partial);

  // The directory host itself unreachable: the file is left empty.
  options.directoryHost = "127.0.0.1:" + std::to_string(test::UnusedLoopbackPort());
  CServiceClient offline(f.settings, options);
  EXPECT_FALSE(offline.FetchServerLocation(loc));
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(test::ReadFile(file), "");
}

LocalAddressProbe Probe(const std::string& target, const std::vector<std::string>& own) {
  LocalAddressProbe probe;
  probe.directoryHost = target;
  probe.hostAddresses = [own] { return own; };
  probe.connectTimeoutMs = 2000;
  return probe;
}

TEST(LocalAddress, PublicAddressThatReachesTheTargetElseLanElseEmpty) {
  // A listener standing in for the service host.
  FakeHttpServer service(Hang);
  const NetworkSettings direct;
  // 127.0.0.2 counts as public and is bindable on loopback.
  EXPECT_EQ(GetLocalAddress(direct, Probe(service.HostPort(), {"192.168.1.5", "127.0.0.2"})),
            "127.0.0.2");
  EXPECT_EQ(GetLocalAddress(direct, Probe(service.HostPort(), {"10.0.0.7"})), "LAN");
  EXPECT_EQ(GetLocalAddress(direct, Probe(service.HostPort(), {})), "LAN");
  // A public address that cannot be bound ends the detection at once.
  EXPECT_EQ(GetLocalAddress(direct, Probe(service.HostPort(), {"192.0.2.77", "127.0.0.2"})), "");

  const std::string closed = "127.0.0.1:" + std::to_string(test::UnusedLoopbackPort());
  EXPECT_EQ(GetLocalAddress(direct, Probe(closed, {"10.0.0.7"})), "");
  EXPECT_EQ(GetLocalAddress(direct, Probe("", {})), "");

  // Through a proxy the proxy is the target: the service need not be reachable.
  FakeHttpServer proxy(Hang);
  NetworkSettings net{
      .httpProxyName = "  127.0.0.1 ", .useHttpProxy = 1, .httpProxyPort = proxy.Port()};
  EXPECT_EQ(GetLocalAddress(net, Probe(closed, {})), "LAN");
  net.httpProxyName = "   ";
  EXPECT_EQ(GetLocalAddress(net, Probe(service.HostPort(), {})), "");
}

}  // namespace
}  // namespace dialvo
