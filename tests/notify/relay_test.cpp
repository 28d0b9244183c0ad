// The relay server's gate: who may relay (a pure check over the peer address
// and `relayclients`, then through the real dispatcher with a non-loopback
// peer), the 1,000-target cap and one log line for many failed sends.
#include <gtest/gtest.h>

#include "notify/refusal_log.h"
#include "notify/relay.h"
#include "protocol/datagram.h"
#include "protocol/messages/notify.h"
#include "server/dispatcher.h"
#include "tests/notify/notify_rig.h"
#include "tests/notify/udp_listener.h"
#include "tests/support/server_home.h"

namespace kestrun::test {
namespace {

constexpr uint32_t kListed = 0x0A000007;    // 10.0.0.7
constexpr uint32_t kUnlisted = 0x0A000005;  // 10.0.0.5

TEST(RelayGate, LoopbackAndListedAddressesOnly) {
  const std::vector<uint32_t> listed = {kListed, 0xC0A80101};
  struct Case {
    uint32_t peer;
    std::vector<uint32_t> relayClients;
    bool accepted;
  };
  const Case cases[] = {
      {0x7F000001, {}, true},       // 127.0.0.1
      {0x7F0A0B0C, {}, true},       // all of 127/8 is loopback
      {kListed, listed, true},      //
      {0xC0A80101, listed, true},   // 192.168.1.1
      {kUnlisted, listed, false},   //
      {kUnlisted, {}, false},       // nothing listed: loopback only
      {0x80000001, listed, false},  // 128.0.0.1 is not loopback
      {0x00000000, {}, false},      //
      {0x7EFFFFFF, {}, false},      // 126.255.255.255
  };
  for (const Case& c : cases)
    EXPECT_EQ(MayRelayFrom(c.peer, c.relayClients), c.accepted) << FormatIPv4(c.peer);
}

// RELAY_MESSAGE_BALLOON listing `count` targets at 127.0.0.1 and `port`.
XDRWRAP RelayBalloon(size_t count, int32_t port) {
  messages::RelayMessageBalloonRequest request{"origin", "Hi", "Done", 1, false, {}};
  request.targets.assign(count, messages::RelayTarget{0x7F000001, port});
  XDRWRAP r;
  messages::EncodeRequest(r, request);
  return r;
}

TEST(RelayGate, UnlistedPeerIsRefusedAndLoggedOnceAMinute) {
  NotifyRig rig("relayclients = {10.0.0.7, bogus}\n");
  RefusalLog refusals([&rig] { return rig.now; });
  rig.context.relayRefusals = &refusals;
  UdpListener client;
  for (int i = 0; i < 3; ++i) {
    XDRWRAP request = RelayBalloon(1, client.port());
    EXPECT_TRUE(ExchangeWithDispatcher(rig.context, request, kUnlisted));
  }
  EXPECT_TRUE(client.Queued().empty());
  const std::string refused =
      "Relay request from IP Address 10.0.0.5 refused - address not listed in \"relayclients\"";
  EXPECT_EQ(CountOf(rig.Log(), refused), 1u) << rig.Log();
  EXPECT_EQ(CountOf(rig.Log(), "Relay Message"), 0u);
  rig.now += 60;
  XDRWRAP again = RelayBalloon(1, client.port());
  ExchangeWithDispatcher(rig.context, again, kUnlisted);
  EXPECT_EQ(CountOf(rig.Log(), refused), 2u);

  XDRWRAP listed = RelayBalloon(1, client.port());
  EXPECT_TRUE(ExchangeWithDispatcher(rig.context, listed, kListed));
  EXPECT_EQ(client.Queued().size(), 1u);
  EXPECT_NE(
      rig.Log().find("Invalid address \"bogus\" in \"relayclients\" at line 3 of kestrun.conf"),
      std::string::npos)
      << rig.Log();
}

TEST(RelayGate, MoreThanAThousandTargetsSendNothing) {
  NotifyRig rig;
  UdpListener client;
  XDRWRAP request = RelayBalloon(kMaxRelayTargets + 1, client.port());
  EXPECT_TRUE(ExchangeWithDispatcher(rig.context, request));
  EXPECT_TRUE(client.Queued().empty());
  EXPECT_NE(rig.Log().find("Relay Message (Balloon Notification) from Kestrun Server on Host "
                           "\"origin\" refused - more than 1000 targets"),
            std::string::npos)
      << rig.Log();
  EXPECT_EQ(CountOf(rig.Log(), "Sent Balloon"), 0u);
}

TEST(RelayGate, ThousandFailedSendsMakeOneLogLine) {
  NotifyRig rig;
  XDRWRAP request = RelayBalloon(kMaxRelayTargets, 0);  // port 0 cannot be sent to
  EXPECT_TRUE(ExchangeWithDispatcher(rig.context, request));
  const std::string log = rig.Log();
  EXPECT_EQ(CountOf(log, "ERROR: Failed to sendto"), 1u);
  EXPECT_NE(log.find("ERROR: Failed to sendto 1000 client(s) (first UDP port 0 at IP Address "
                     "[127.0.0.1])"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Sent Balloon Notification Message to 1000 client(s)"), std::string::npos);
}

}  // namespace
}  // namespace kestrun::test
