// SEND_MESSAGE_TO_CLIENT, job notifications and the tray menu through the real
// dispatcher, with loopback UDP listeners receiving the datagrams; relayed
// messages go through a second, real server.
#include <gtest/gtest.h>

#include <map>

#include "notify/notifications.h"
#include "notify/notify_requests.h"
#include "protocol/datagram.h"
#include "protocol/messages/notify.h"
#include "server/dispatcher.h"
#include "tests/notify/notify_rig.h"
#include "tests/notify/udp_listener.h"
#include "tests/support/ask.h"
#include "tests/support/server_home.h"
#include "tests/support/waiting.h"

namespace kestrun::test {
namespace {

struct Named {
  std::string name;
  int32_t kind;
};

XDRWRAP Balloon(const std::vector<Named>& recipients, const std::string& text = "Done") {
  messages::SendMessageToClientRequest request{{}, 1, "Hi", text, false};
  for (const Named& n : recipients)
    request.recipients.push_back({n.name, static_cast<messages::RecipientKind>(n.kind)});
  XDRWRAP r;
  messages::EncodeRequest(r, request);
  return r;
}

// The statuses of the reply.
std::vector<int32_t> Statuses(std::optional<XDRWRAP>& reply) {
  if (!reply) return {-1};
  std::vector<int32_t> s;
  for (messages::RecipientStatus status :
       DecodeWhole<messages::SendMessageToClientReply>(*reply).statuses)
    s.push_back(static_cast<int32_t>(status));
  return s;
}

struct ResolveCase {
  const char* name;
  std::vector<Named> recipients;
  std::vector<int32_t> statuses;
  size_t toPc1, toPc2, toCarol;  // balloons each docked client receives
};

// bob is docked on PC1 and PC2, carol on PC2; zed nowhere.
const ResolveCase kResolveCases[] = {
    {"UserOnTwoMachines", {{"bob", 3}}, {1}, 1, 1, 0},
    {"UserAnyCase", {{"BOB", 3}}, {1}, 1, 1, 0},
    {"HostWithNobody", {{"PC9", 2}}, {2}, 0, 0, 0},
    {"HostReachesEveryUser", {{"PC2", 2}}, {1}, 0, 1, 1},
    {"UserAndHostOnlyThere", {{"bob", 3}, {"PC1", 2}}, {1, 5}, 1, 0, 0},
    {"GroupNobodyDocked", {{"Far", 1}}, {1}, 0, 0, 0},
    {"GroupAndUserOnceEach", {{"Ops", 1}, {"bob", 3}}, {1, 1}, 1, 1, 0},
    {"TwoGroupsSharingBob", {{"Ops", 1}, {"Dev", 1}}, {1, 1}, 1, 1, 1},
    {"UnknownGroup", {{"Nope", 1}}, {4}, 0, 0, 0},
    {"GroupWithoutMembers", {{"Empty", 1}}, {4}, 0, 0, 0},
    {"UserDockedNowhere", {{"zed", 3}}, {3}, 0, 0, 0},
    {"UnknownKindNotProcessed", {{"x", 9}}, {5}, 0, 0, 0},
    {"EmptyList", {}, {}, 0, 0, 0},
};

class Resolve : public testing::TestWithParam<ResolveCase> {};

TEST_P(Resolve, StatusesAndDatagrams) {
  const ResolveCase& c = GetParam();
  NotifyRig rig;
  UdpListener pc1, pc2, carol;
  rig.Dock("bob", "PC1", pc1.port());
  rig.Dock("bob", "PC2", pc2.port());
  rig.Dock("carol", "PC2", carol.port());
  XDRWRAP request = Balloon(c.recipients);
  std::optional<XDRWRAP> reply = ExchangeWithDispatcher(rig.context, request);
  EXPECT_EQ(Statuses(reply), c.statuses);
  const std::vector<uint8_t> expected = EncodeBalloonDatagram({"Hi", "Done", 1, false});
  const std::string bytes(expected.begin(), expected.end());
  EXPECT_EQ(pc1.Queued(), std::vector<std::string>(c.toPc1, bytes));
  EXPECT_EQ(pc2.Queued(), std::vector<std::string>(c.toPc2, bytes));
  EXPECT_EQ(carol.Queued(), std::vector<std::string>(c.toCarol, bytes));
  const size_t sent = c.toPc1 + c.toPc2 + c.toCarol;
  EXPECT_NE(rig.Log().find("Sent Balloon Notification Message to " + std::to_string(sent) +
                           " client(s)\n"),
            std::string::npos)
      << rig.Log();
}

INSTANTIATE_TEST_SUITE_P(Recipients, Resolve, testing::ValuesIn(kResolveCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SendMessage, HundredThousandCharacterTextArrivesShortened) {
  NotifyRig rig;
  UdpListener pc1;
  rig.Dock("bob", "PC1", pc1.port());
  XDRWRAP request = Balloon({{"bob", 3}}, std::string(100000, 'x'));
  std::optional<XDRWRAP> reply = ExchangeWithDispatcher(rig.context, request);
  EXPECT_EQ(Statuses(reply), std::vector<int32_t>{1});
  const std::vector<std::string> got = pc1.Queued();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].size(), kMaxDatagramSize);
  const auto d = DecodeDatagram({reinterpret_cast<const uint8_t*>(got[0].data()), got[0].size()});
  ASSERT_TRUE(d);
  EXPECT_EQ(d->balloon.text, std::string(1372, 'x'));
}

TEST(SendMessage, UnusablePortIsLoggedAndNobodyListeningIsNot) {
  NotifyRig rig;
  UdpListener alive;
  rig.Dock("bob", "PC1", 0);
  rig.Dock("bob", "PC2", alive.port() == 65535 ? 65534 : alive.port() + 1);  // likely unused
  XDRWRAP request = Balloon({{"bob", 3}});
  std::optional<XDRWRAP> reply = ExchangeWithDispatcher(rig.context, request);
  EXPECT_EQ(Statuses(reply), std::vector<int32_t>{1});
  EXPECT_NE(rig.Log().find("ERROR: Failed to sendto UDP port 0 at IP Address [127.0.0.1]"),
            std::string::npos);
  EXPECT_EQ(CountOf(rig.Log(), "ERROR: Failed to sendto"), 1u) << rig.Log();
  EXPECT_NE(rig.Log().find("Sent Balloon Notification Message to 2 client(s)"), std::string::npos);
}

TEST(SendMessage, StaleClientFoundByHostIsReportedWhenSending) {
  NotifyRig rig;
  UdpListener pc1;
  rig.Dock("alice", "PC1", pc1.port());
  rig.now += 181;
  XDRWRAP request = Balloon({{"PC1", 2}});
  std::optional<XDRWRAP> reply = ExchangeWithDispatcher(rig.context, request);
  EXPECT_EQ(Statuses(reply), std::vector<int32_t>{1});
  EXPECT_TRUE(pc1.Queued().empty());
  EXPECT_NE(rig.Log().find("ERROR: Could not find entry for client alice@PC1 - client machine "
                           "registered?"),
            std::string::npos);
}

TEST(JobNotify, RunGroupMembersGetTheJobStateDatagrams) {
  NotifyRig rig;
  UdpListener pc1, carol;
  rig.Dock("bob", "PC1", pc1.port());
  rig.Dock("carol", "PC2", carol.port());
  NotifyJobState(rig.config, rig.docked, ",Ops,,Nope,", true);
  NotifyJobState(rig.config, rig.docked, "Ops", false);
  NotifyJobState(rig.config, rig.docked, "", true);
  EXPECT_EQ(pc1.Queued(), (std::vector<std::string>{Bytes({0, 0, 0x76, 0xFD, 0, 0, 0, 0x0F}),
                                                    Bytes({0, 0, 0x76, 0xFD, 0, 0, 0, 0x19})}));
  EXPECT_TRUE(carol.Queued().empty());
}

// A first server in this process relays to a real server on loopback.
class Relay : public testing::Test {
 protected:
  void SetUp() override {
    relay = std::make_unique<RunningServer>(relayHome);
    ASSERT_TRUE(relay->ready()) << relay->process().Stderr();
  }
  void TearDown() override {
    relay->Stop();
    ExpectNoSanitizerFindings(relay->process().Stderr());
  }
  std::string RelayConf(int port) {
    return "relayserver = 127.0.0.1\nrelayport = " + std::to_string(port) + "\n";
  }
  bool RelayLogHas(const std::string& text, size_t times = 1) {
    return WaitUntil([&] { return CountOf(relayHome.Log(), text) >= times; });
  }
  TestHome relayHome;
  std::unique_ptr<RunningServer> relay;
};

TEST_F(Relay, BalloonGoesThroughTheRelayAndStaleTargetsAreLeftOut) {
  NotifyRig rig(RelayConf(relay->port()));
  UdpListener alice, bob;
  rig.Dock("alice", "PC1", alice.port());
  rig.now += 100;
  rig.Dock("bob", "PC1", bob.port());
  rig.now += 100;  // alice is stale now, but the host walk still lists her first
  XDRWRAP request = Balloon({{"PC1", 2}});
  std::optional<XDRWRAP> reply = ExchangeWithDispatcher(rig.context, request);
  EXPECT_EQ(Statuses(reply), std::vector<int32_t>{1});
  const std::optional<std::string> got = bob.Next();
  ASSERT_TRUE(got);
  const std::vector<uint8_t> expected = EncodeBalloonDatagram({"Hi", "Done", 1, false});
  EXPECT_EQ(*got, std::string(expected.begin(), expected.end()));
  EXPECT_TRUE(
      RelayLogHas("Relay Message (Balloon Notification) Received from Kestrun Server on "
                  "Host \""));
  EXPECT_TRUE(RelayLogHas("Sent Balloon Notification Message to 1 client(s)\n"));
  EXPECT_TRUE(alice.Queued().empty());
  const std::string log = rig.Log();
  EXPECT_NE(log.find("ERROR: Could not find entry for client alice@PC1"), std::string::npos);
  EXPECT_NE(log.find("Sent Balloon Notification Message to 1 client(s) via Relay Server 127.0.0.1 "
                     "(Port " +
                     std::to_string(relay->port()) + ")"),
            std::string::npos)
      << log;
}

TEST_F(Relay, JobStatesGoThroughTheRelay) {
  NotifyRig rig(RelayConf(relay->port()));
  UdpListener bob;
  rig.Dock("bob", "PC1", bob.port());
  NotifyJobState(rig.config, rig.docked, "Ops", true);
  EXPECT_EQ(bob.Next(), Bytes({0, 0, 0x76, 0xFD, 0, 0, 0, 0x0F}));
  NotifyJobState(rig.config, rig.docked, "Ops", false);
  EXPECT_EQ(bob.Next(), Bytes({0, 0, 0x76, 0xFD, 0, 0, 0, 0x19}));
  EXPECT_TRUE(RelayLogHas("Relay Message (Job Started) Received from Kestrun Server on Host"));
  EXPECT_TRUE(RelayLogHas("Sent Job Stopped Message to 1 client(s)"));
  EXPECT_NE(rig.Log().find("Sent Job Started Notification Message to 1 client(s) via Relay Server"),
            std::string::npos);
}

TEST_F(Relay, RelayThatIsDownIsLoggedAndStatusesStillReported) {
  NotifyRig rig(RelayConf(FreePort()));
  UdpListener bob;
  rig.Dock("bob", "PC1", bob.port());
  XDRWRAP request = Balloon({{"bob", 3}, {"Nope", 1}});
  std::optional<XDRWRAP> reply = ExchangeWithDispatcher(rig.context, request);
  EXPECT_EQ(Statuses(reply), (std::vector<int32_t>{1, 4}));
  NotifyJobState(rig.config, rig.docked, "Ops", true);
  const std::string log = rig.Log();
  EXPECT_EQ(CountOf(log, "Could not establish connection to Relay Server \"127.0.0.1\" (Port "),
            2u);
  EXPECT_NE(log.find("Sent Balloon Notification Message to 0 client(s) via Relay Server"),
            std::string::npos);
  EXPECT_NE(log.find("Sent Job Started Notification Message to 0 client(s) via Relay Server"),
            std::string::npos);
  EXPECT_TRUE(bob.Queued().empty());
}

// 1500 targets go to the relay server as two requests, 1000 and 500; the
// relay logs its failed sends (port 0) in one line per request.
TEST_F(Relay, LongTargetListsGoInBatchesOfAThousand) {
  NotifyRig rig(RelayConf(relay->port()));
  for (uint32_t i = 0; i < 1500; ++i)
    rig.docked.DockOrRefresh("PC" + std::to_string(i), 0x7F000100 + i / 64, 0, "bob");
  XDRWRAP request = Balloon({{"bob", 3}});
  std::optional<XDRWRAP> reply = ExchangeWithDispatcher(rig.context, request);
  EXPECT_EQ(Statuses(reply), std::vector<int32_t>{1});
  EXPECT_TRUE(RelayLogHas("Sent Balloon Notification Message to 1000 client(s)\n"));
  EXPECT_TRUE(RelayLogHas("Sent Balloon Notification Message to 500 client(s)\n"));
  EXPECT_EQ(CountOf(relayHome.Log(), "ERROR: Failed to sendto"), 2u) << relayHome.Log();
  EXPECT_NE(rig.Log().find("Sent Balloon Notification Message to 1500 client(s) via Relay Server"),
            std::string::npos);
}

// Tray menu: which jobs bob is offered.
const char* const kMenuJobs =
    "\nWithTitle:\nprogram = a\ntraymenu = on\ntitle = Nice Title\n"
    "\nNoTitle:\nprogram = a\ntraymenu = on\n"
    "\nOthersOnly:\nprogram = a\ntraymenu = on\ngroup = Dev2\n"
    "\nOpsOnly:\nprogram = a\ntraymenu = on\ngroup = Ops\n"
    "\nDenied:\nprogram = a\ntraymenu = on\ndenyifjobrunning = BLOCKER\n"
    "\nBraces:\nprogram = a\ntraymenu = on\nallowifjobrunning = {}\n"
    "\nNotInMenu:\nprogram = a\n";

std::vector<std::string> Menu(NotifyRig& rig) {
  const auto reply = AskDispatcher<messages::GetJobsForUserReply>(
      rig.context, messages::GetJobsForUserRequest{"PC1", "bob", 5000});
  if (!reply) return {"no reply"};
  std::vector<std::string> items;
  for (const messages::TrayMenuItem& item : reply->items)
    items.push_back(item.jobName + "=" + item.menuText);
  return items;
}

TEST(TrayMenu, OffersVisibleRunnableMenuJobsAndDocks) {
  NotifyRig rig(kMenuJobs);
  rig.running.AddRunningJob(4242, "BLOCKER", std::nullopt, std::nullopt);
  EXPECT_EQ(Menu(rig), (std::vector<std::string>{"WITHTITLE=Nice Title", "NOTITLE=NOTITLE",
                                                 "OPSONLY=OPSONLY"}));
  rig.running.RemoveRunningJob(4242);
  EXPECT_EQ(Menu(rig), (std::vector<std::string>{"WITHTITLE=Nice Title", "NOTITLE=NOTITLE",
                                                 "OPSONLY=OPSONLY", "DENIED=DENIED"}));
  const std::string log = rig.Log();
  EXPECT_EQ(CountOf(log, "bob@PC1 requests system tray menu items"), 2u);
  EXPECT_EQ(CountOf(log, "Added bob@PC1 to docked client list (IP Address 127.0.0.1 Port 5000)"),
            1u);
  EXPECT_EQ(rig.docked.HostsForUser("bob"), std::vector<std::string>{"PC1"});
}

}  // namespace
}  // namespace kestrun::test
