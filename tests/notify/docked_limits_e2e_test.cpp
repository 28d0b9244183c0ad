// The built KestrunServer with 1,200 docked clients of 255-character names,
// docked over loopback from 19 source addresses (64 a piece is the most one
// address may dock): the DUMP_CLIENT_NODE_NAMES reply stays a handful of
// buffers and `KestrunServer -showdocked` lists every client.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <string>

#include "notify/docked_registry.h"
#include "protocol/messages/jobs_admin.h"
#include "protocol/messages/notify.h"
#include "protocol/transport.h"
#include "tests/support/ask.h"
#include "tests/support/server_home.h"
#include "tests/support/waiting.h"

namespace kestrun::test {
namespace {

// Sends `request` to the server on 127.0.0.1 from the loopback address
// `source` and reads the reply.
std::optional<XDRWRAP> ExchangeFrom(uint32_t source, int port, XDRWRAP& request) {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(source);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(0x7F000001);
  if (::bind(s.get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
    return std::nullopt;
  ServerConnection connection{0x7F000001, port, std::move(s)};
  SendRequest(request, connection);
  XDRWRAP reply;
  try {
    ReceiveMessage(reply, connection.socket.get(), std::chrono::seconds(10));
  } catch (const DecodeFailure&) {
    return std::nullopt;
  }
  return reply;
}

XDRWRAP Keepalive(const std::string& user, const std::string& host) {
  XDRWRAP m;
  messages::EncodeRequest(m, messages::ClientKeepaliveRequest{user, host, 5000});
  return m;
}

// A 255-character name that starts with `tag`.
std::string LongName(const std::string& tag) {
  return tag + std::string(kMaxDockedNameLength - tag.size(), 'x');
}

TEST(DockedLimits, TwelveHundredClientsFitTheDumpAndShowDocked) {
  constexpr int kClients = 1200;
  TestHome home;
  RunningServer server(home, {{"KESREASON", std::nullopt}});
  ASSERT_TRUE(server.ready()) << server.process().Stderr();
  for (int i = 0; i < kClients; ++i) {
    const uint32_t source = 0x7F000002 + static_cast<uint32_t>(i / kMaxDockedPerAddress);
    XDRWRAP request =
        Keepalive(LongName("u" + std::to_string(i)), LongName("h" + std::to_string(i)));
    std::optional<XDRWRAP> reply = ExchangeFrom(source, server.port(), request);
    ASSERT_TRUE(reply) << i;
    ASSERT_NO_THROW(DecodeWhole<messages::ClientKeepaliveReply>(*reply));
  }
  // The 65th client of one address is refused, and logged once.
  for (const char* host : {"extra1", "extra2"}) {
    XDRWRAP request = Keepalive("u", host);
    ASSERT_TRUE(ExchangeFrom(0x7F000002, server.port(), request));
  }

  XDRWRAP dump;
  messages::EncodeRequest(dump, messages::DumpClientNodeNamesRequest{});
  std::optional<XDRWRAP> reply = Exchange(server.port(), dump);
  ASSERT_TRUE(reply);
  EXPECT_LE(reply->BufferCount(), 8);  // 650 KB in buffers of up to 128 KB
  messages::DumpClientNodeNamesReply expected;
  for (int i = 0; i < kClients; ++i) {
    expected.clients.push_back(
        {LongName("h" + std::to_string(i)), LongName("u" + std::to_string(i)),
         0x7F000002 + static_cast<uint32_t>(i / kMaxDockedPerAddress), 5000});
  }
  EXPECT_TRUE(DecodeWhole<messages::DumpClientNodeNamesReply>(*reply) == expected);

  const ProgramResult shown =
      RunProgram({home.Program(), "-showdocked"}, {{"KESREASON", "LISTBOX"}});
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(CountOf(shown.out, "\n"), static_cast<size_t>(kClients));
  EXPECT_EQ(shown.out.rfind(LongName("u1199") + "," + LongName("h1199") + ",127.0.0.20,5000\n"),
            shown.out.size() - 2 * kMaxDockedNameLength - 18);

  const std::string log = home.Log();
  EXPECT_EQ(CountOf(log, "Refused to dock u@extra"), 1u) << log;
  EXPECT_NE(log.find("Refused to dock u@extra1 - 64 clients already docked from IP Address "
                     "127.0.0.2"),
            std::string::npos);
  StopServerChecked(&server);
}

}  // namespace
}  // namespace kestrun::test
