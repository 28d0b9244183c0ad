// The socket calls of the transport, through its own interface only, so that
// the same cases hold for the POSIX and the Winsock implementation.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/error_text.h"
#include "protocol/udp.h"
#include "tests/protocol/wire.h"

namespace kestrun {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr uint32_t kLoopback = 0x7f000001;

TEST(Sockets, LoopbackPairSeesTheSameEndpointsFromBothSides) {
  testwire::SocketPair p;
  ASSERT_TRUE(p.a && p.b);
  uint32_t aAddress = 0, bPeerAddress = 0;
  int aPort = 0, bPeerPort = 0;
  ASSERT_TRUE(net::LocalEndpoint(p.a.get(), &aAddress, &aPort));
  ASSERT_TRUE(net::PeerEndpoint(p.b.get(), &bPeerAddress, &bPeerPort));
  EXPECT_EQ(aAddress, kLoopback);
  EXPECT_EQ(bPeerAddress, kLoopback);
  EXPECT_EQ(aPort, bPeerPort);
}

TEST(Sockets, PiecesArriveInOrderAndShutdownEndsTheStream) {
  testwire::SocketPair p;
  const std::string big(300000, 'b');
  const SendPiece pieces[] = {{"head", 4}, {"", 0}, {big.data(), big.size()}, {"tail", 4}};
  std::thread writer([&] {
    EXPECT_EQ(net::SendAll(p.a.get(), pieces), 0);
    p.a.ShutdownSend();
  });
  const std::string got = testwire::ReadAll(p.b.get());
  writer.join();
  EXPECT_EQ(got, "head" + big + "tail");
}

TEST(Sockets, NothingToReadIsWouldBlockAndATimeout) {
  testwire::SocketPair p;
  char c = 0;
  int error = 0;
  EXPECT_EQ(net::ReceiveAvailable(p.b.get(), &c, 1, &error), -1);
  EXPECT_TRUE(net::IsWouldBlock(error));
  EXPECT_EQ(net::WaitReadable(p.b.get(), milliseconds(20)), WaitResult::Timeout);
  net::PollEntry entries[] = {{p.a.get()}, {p.b.get()}};
  EXPECT_EQ(net::PollReadable(entries, milliseconds(20)), 0);

  const SendPiece x{"x", 1};
  ASSERT_EQ(net::SendAll(p.a.get(), {&x, 1}), 0);
  EXPECT_EQ(net::WaitReadable(p.b.get(), milliseconds(5000)), WaitResult::Ready);
  EXPECT_EQ(net::PollReadable(entries, milliseconds(5000)), 1);
  EXPECT_FALSE(entries[0].ready);
  EXPECT_TRUE(entries[1].ready);
  EXPECT_EQ(net::ReceiveAvailable(p.b.get(), &c, 1, &error), 1);
  EXPECT_EQ(c, 'x');
}

TEST(Sockets, ConnectingToAClosedPortFailsWithTheSystemsCode) {
  int port = 0;
  { std::optional<Socket> gone = net::ListenTcp(&port, 1, kLoopback); }
  int error = 0;
  EXPECT_FALSE(net::ConnectTcp(kLoopback, port, &error));
  EXPECT_NE(error, 0);
  EXPECT_FALSE(SystemErrorText(error).empty());
}

TEST(Sockets, AddressesResolveWithoutALookupWhereTheyCan) {
  const struct {
    const char* host;
    uint32_t address;
  } cases[] = {
      {"localhost", kLoopback}, {"LocalHost", kLoopback}, {"127.0.0.1", kLoopback},
      {"10.1.2.3", 0x0a010203}, {"", 0xffffffff},         {"1.2.3.999", 0xffffffff},
  };
  for (const auto& c : cases) EXPECT_EQ(net::ResolveIPv4(c.host), c.address) << c.host;
}

// A send stuck behind a peer that reads nothing gives up once the wake-up
// has fired and the patience has passed.
TEST(Sockets, AFiredWakeUpEndsASendThatMakesNoProgress) {
  testwire::SocketPair p;
  testwire::SocketPair wake;
  const SendPiece fired{"w", 1};
  ASSERT_EQ(net::SendAll(wake.a.get(), {&fired, 1}), 0);
  const std::vector<char> lots(64 << 20, 'z');
  const SendPiece piece{lots.data(), lots.size()};
  const net::SendWake w{wake.b.get(), milliseconds(100)};
  const auto start = steady_clock::now();
  EXPECT_EQ(net::SendAll(p.a.get(), {&piece, 1}, &w), net::kTimedOut);
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(Datagrams, ADatagramArrivesWholeWithItsSender) {
  int error = 0;
  int port = 0;
  std::optional<DatagramSocket> receiver = DatagramSocket::Bind(kLoopback, &port, &error);
  std::optional<DatagramSocket> sender = DatagramSocket::Open(&error);
  ASSERT_TRUE(receiver && sender) << error;
  char area[64] = {};
  EXPECT_EQ(receiver->ReceiveFrom(area, sizeof area, milliseconds(20), &error), 0);
  const std::string bytes = "balloon";
  ASSERT_EQ(sender->SendTo(kLoopback, port,
                           {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}),
            0);
  uint32_t from = 0;
  EXPECT_EQ(receiver->ReceiveFrom(area, sizeof area, milliseconds(5000), &error, &from), 7);
  EXPECT_EQ(std::string(area, 7), bytes);
  EXPECT_EQ(from, kLoopback);
  EXPECT_NE(sender->SendTo(kLoopback, 0, {}), 0);
}

}  // namespace
}  // namespace kestrun
