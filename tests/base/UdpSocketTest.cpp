#include "base/UdpSocket.h"

#include <gtest/gtest.h>

#include <vector>

namespace dialvo {
namespace {

UdpSocket BoundLoopback() {
  UdpSocket s;
  EXPECT_TRUE(s.Open());
  EXPECT_TRUE(s.Bind(SockAddr::Loopback(0)));
  return s;
}

TEST(UdpSocket, LoopbackExchangeTimeoutAndOversizedDatagram) {
  UdpSocket a = BoundLoopback();
  UdpSocket b = BoundLoopback();
  const SockAddr aAddr = *a.LocalName();
  const SockAddr bAddr = *b.LocalName();
  EXPECT_TRUE(aAddr.IsLoopback());
  EXPECT_NE(aAddr.port, 0);

  std::vector<uint8_t> buffer(8);
  EXPECT_EQ(b.ReceiveFrom(buffer, 0).status, UdpSocket::Status::kTimeout);

  const std::vector<uint8_t> hello = {1, 2, 3};
  ASSERT_TRUE(a.SendTo(hello, bAddr));
  auto got = b.ReceiveFrom(buffer, 1000);
  ASSERT_EQ(got.status, UdpSocket::Status::kOk);
  EXPECT_EQ(got.size, 3u);
  EXPECT_EQ(got.from, aAddr);

  // Larger than the buffer: reported with its real size and consumed.
  const std::vector<uint8_t> big(20, 7);
  ASSERT_TRUE(a.SendTo(big, bAddr));
  got = b.ReceiveFrom(buffer, 1000);
  EXPECT_EQ(got.status, UdpSocket::Status::kTooLarge);
  EXPECT_EQ(got.size, 20u);
  EXPECT_EQ(b.ReceiveFrom(buffer, 0).status, UdpSocket::Status::kTimeout);
}

TEST(UdpSocket, ConnectedSocketReportsAGonePeerAsRefused) {
  UdpSocket gone = BoundLoopback();
  const SockAddr goneAddr = *gone.LocalName();
  gone.Close();
  UdpSocket s;
  ASSERT_TRUE(s.Open());
  ASSERT_TRUE(s.Connect(goneAddr));
  const std::vector<uint8_t> ping = {9};
  s.Send(ping);
  std::vector<uint8_t> buffer(8);
  auto got = s.ReceiveFrom(buffer, 1000);
  EXPECT_EQ(got.status, UdpSocket::Status::kError);
  EXPECT_EQ(got.error, ECONNREFUSED);
}

TEST(UdpSocket, AddressesParseAndResolve) {
  EXPECT_EQ(ParseIpv4("10.1.2.3"), 0x0A010203u);
  EXPECT_FALSE(ParseIpv4("10.1.2").has_value());
  EXPECT_FALSE(ParseIpv4("host").has_value());
  EXPECT_EQ(ResolveHost("127.0.0.5"), 0x7F000005u);
  EXPECT_EQ(ResolveHost("localhost"), 0x7F000001u);
  EXPECT_FALSE(ResolveHost("").has_value());
  EXPECT_EQ((SockAddr{0x0A010203u, 1720}).ToString(), "10.1.2.3:1720");
}

}  // namespace
}  // namespace dialvo
