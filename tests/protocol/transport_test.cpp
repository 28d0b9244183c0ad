#include "protocol/transport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string_view>
#include <thread>

#include "tests/protocol/wire.h"

namespace kestrun {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

TEST(Framing, OneFieldRequestIs44Bytes) {
  int port = 0;
  std::optional<Socket> listener = CreateListenSocket(&port);
  ASSERT_TRUE(listener);
  ASSERT_GT(port, 0);
  std::optional<ServerConnection> c = ConnectToServer(port, "127.0.0.1");
  ASSERT_TRUE(c);
  uint32_t peer = 0;
  int error = 0;
  std::optional<Socket> s = net::Accept(listener->get(), &peer, &error);
  ASSERT_TRUE(s);
  EXPECT_EQ(peer, 0x7F000001u);
  XDRWRAP m;
  m.BeginEncode();
  m.AddEnum(0);
  m.AddLong(-5);
  SendRequest(m, *c);
  CloseConnection(*c);
  const std::string bytes = testwire::ReadAll(s->get());
  ASSERT_EQ(bytes.size(), 44u);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x12\x5A\xBB\xCD", 4));
  EXPECT_EQ(bytes.substr(4, 4), testwire::BE32(1));                       // buffers
  EXPECT_EQ(bytes.substr(12, 8), testwire::BE32(8) + testwire::BE32(2));  // size, items
  EXPECT_EQ(bytes.substr(20, 16), std::string(16, '\0'));
  // Unscrambled with the seed from the header, the data is the two fields.
  std::string data = bytes.substr(36);
  const uint32_t seed = (uint8_t(bytes[8]) << 24) | (uint8_t(bytes[9]) << 16) |
                        (uint8_t(bytes[10]) << 8) | uint8_t(bytes[11]);
  ScrambleBuffer(seed, data.data(), data.size());
  EXPECT_EQ(data, testwire::Long(0) + testwire::Long(-5));
}

TEST(Framing, SecondBufferHeaderCarriesSizeAndItemsFirst) {
  // A buffer holds at most kMaxItems fields: the next long opens a second.
  XDRWRAP m;
  m.BeginEncode();
  for (int i = 0; i <= kMaxItems; ++i) m.AddLong(i);
  testwire::SocketPair p;
  SendReply(m, p.a.get());
  p.a.Close();
  const std::string bytes = testwire::ReadAll(p.b.get());
  ASSERT_EQ(bytes.size(), 32u + 40000 + 32 + 4);
  EXPECT_EQ(bytes.substr(0, 4), testwire::BE32(2));
  EXPECT_EQ(bytes.substr(8, 8), testwire::BE32(40000) + testwire::BE32(kMaxItems));
  EXPECT_EQ(bytes.substr(32 + 40000, 8), testwire::BE32(4) + testwire::BE32(1));
  EXPECT_EQ(bytes.substr(32 + 40008, 24), std::string(24, '\0'));
}

TEST(Framing, EmptyMessageSendsNothing) {
  XDRWRAP m;
  testwire::SocketPair p;
  SendReply(m, p.a.get());
  p.a.Close();
  EXPECT_EQ(testwire::ReadAll(p.b.get()), "");
}

TEST(Receive, ScrambledMessageDecodes) {
  XDRWRAP r = testwire::ReceiveBytes(testwire::Message(
      {{testwire::Long(42) + testwire::Long(1) + testwire::Str("hi"), 3}}, 0xDEADBEEF));
  EXPECT_EQ(r.GetLong(), 42);
  EXPECT_EQ(r.GetString(), "hi");
}

TEST(Receive, ZeroBuffersYieldsAMessageWithoutFields) {
  std::string header = testwire::BE32(0) + std::string(28, '\0');
  XDRWRAP r = testwire::ReceiveBytes(header);
  EXPECT_THROW(r.GetLong(), DecodeFailure);
}

// Each limit is refused from the header alone: the peer stays connected and
// sends no data, so a receiver that waited for the data would time out.
void ExpectRefusedFromHeader(uint32_t count, uint32_t size, uint32_t items) {
  testwire::SocketPair p;
  const std::string header = testwire::BE32(count) + testwire::BE32(0) + testwire::BE32(size) +
                             testwire::BE32(items) + std::string(16, '\0');
  const SendPiece piece{header.data(), header.size()};
  ASSERT_EQ(net::SendAll(p.a.get(), {&piece, 1}), 0);
  XDRWRAP m;
  const auto start = steady_clock::now();
  EXPECT_THROW(ReceiveMessage(m, p.b.get(), milliseconds(10000)), DecodeFailure);
  EXPECT_LT(steady_clock::now() - start, milliseconds(5000));
}

TEST(Receive, LimitsAreRefusedBeforeAnyDataIsRead) {
  ExpectRefusedFromHeader(501, 4, 1);
  ExpectRefusedFromHeader(1, 131073, 1);
  ExpectRefusedFromHeader(1, 0xFFFFFFFF, 1);  // negative size
  ExpectRefusedFromHeader(1, 4, 10001);
  ExpectRefusedFromHeader(1, 4, 0xFFFFFFFF);  // negative items
}

TEST(Receive, LimitsThemselvesAreAccepted) {
  std::string data(131072, '\0');
  XDRWRAP r = testwire::ReceiveBytes(testwire::Message({{data, 10000}}));
  EXPECT_EQ(r.GetLong(), 0);
}

TEST(Receive, PeerThatStopsMidBufferTimesOut) {
  testwire::SocketPair p;
  const std::string bytes = testwire::Message({{testwire::Long(1) + testwire::Long(2), 2}});
  const SendPiece piece{bytes.data(), bytes.size() - 3};
  ASSERT_EQ(net::SendAll(p.a.get(), {&piece, 1}), 0);
  XDRWRAP m;
  const auto start = steady_clock::now();
  EXPECT_THROW(ReceiveMessage(m, p.b.get(), milliseconds(300)), DecodeFailure);
  EXPECT_GE(steady_clock::now() - start, milliseconds(300));
}

// The reason of a failed receive is kept for the user: a wait that ran out
// of time carries ETIMEDOUT, a read error its own code.
TEST(Receive, FailuresKeepTheirErrorCode) {
  testwire::SocketPair p;
  XDRWRAP m;
  try {
    ReceiveMessage(m, p.b.get(), milliseconds(50));
    ADD_FAILURE() << "no failure";
  } catch (const DecodeFailure& e) {
    EXPECT_EQ(e.error(), ETIMEDOUT);
  }
  // A readable pipe is no socket: the receive itself fails.
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  const Socket readEnd(pipe[0]), writeEnd(pipe[1]);
  ASSERT_EQ(::write(writeEnd.get(), "x", 1), 1);
  try {
    unsigned char byte;
    ReadExactly(readEnd.get(), &byte, 1, milliseconds(50));
    ADD_FAILURE() << "no failure";
  } catch (const DecodeFailure& e) {
    EXPECT_EQ(e.error(), ENOTSOCK);
  }
}

// A reader that took the first bytes of a message with something read
// before it hands them in; any split between those and the socket decodes.
TEST(Receive, BytesAlreadyReceivedAndTheRestFromTheSocket) {
  const std::string text(25000, 'q');
  const std::string bytes = testwire::Message(
      {{testwire::Long(7) + testwire::Long(3) + testwire::Str(text.substr(0, 10000)) +
            testwire::Str(text.substr(10000, 10000)) + testwire::Str(text.substr(20000)),
        5}},
      0x1234);
  for (size_t split :
       {size_t{0}, size_t{1}, size_t{31}, size_t{32}, size_t{33}, bytes.size() - 1, bytes.size()}) {
    testwire::SocketPair p;
    const SendPiece piece{bytes.data() + split, bytes.size() - split};
    ASSERT_EQ(net::SendAll(p.a.get(), {&piece, 1}), 0);
    p.a.ShutdownSend();
    XDRWRAP m;
    ReceiveMessage(m, p.b.get(), std::string_view(bytes).substr(0, split), milliseconds(2000));
    EXPECT_EQ(m.GetLong(), 7) << split;
    EXPECT_EQ(m.GetString(), text) << split;
  }
}

TEST(Receive, ClosedConnectionMidMessageFails) {
  const std::string bytes = testwire::Message({{testwire::Long(1) + testwire::Long(2), 2}});
  EXPECT_THROW(testwire::ReceiveBytes(bytes.substr(0, 38)), DecodeFailure);
}

TEST(Magic, BothMagicsAreAcceptedAndOthersRefused) {
  for (auto [bytes, ok] :
       std::vector<std::pair<std::string, bool>>{{std::string("\x12\x5A\xBB\xCD", 4), true},
                                                 {std::string("\x12\x5A\xBB\xCE", 4), true},
                                                 {std::string("\x12\x5A\xBB\xCF", 4), false},
                                                 {std::string("\x12\x5A", 2), false}}) {
    testwire::SocketPair p;
    const SendPiece piece{bytes.data(), bytes.size()};
    net::SendAll(p.a.get(), {&piece, 1});
    p.a.ShutdownSend();
    EXPECT_EQ(ReadConnectionMagic(p.b.get(), milliseconds(2000)), ok);
  }
}

TEST(Connect, UnresolvableNameGivesNoConnection) {
  EXPECT_FALSE(ConnectToServer(1, "no-such-host.invalid"));
}

}  // namespace
}  // namespace kestrun
