// The docking requests through the real dispatcher, field by field.
#include "notify/docked_requests.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/server_config.h"

#include "notify/docked_registry.h"
#include "protocol/messages/jobs_admin.h"
#include "protocol/messages/notify.h"
#include "server/dispatcher.h"
#include "tests/support/ask.h"

namespace kestrun {
namespace {

namespace fs = std::filesystem;
using namespace messages;

struct Server {
  std::time_t now = 1'700'000'000;
  std::vector<std::string> log;
  DockedRegistry registry{[this] { return now; },
                          [this](const std::string& l) { log.push_back(l); }};
  ServerConfig config;  // its log file gets the request handlers' lines
  std::string logDir;
  ServerContext context{};
  Server() {
    std::string pattern = (fs::temp_directory_path() / "kestrun-docked-XXXXXX").string();
    logDir = ::mkdtemp(pattern.data());
    config.SetLogFile(logDir + "/server.log");
    context.docked = &registry;
    context.config = &config;
  }
  ~Server() { fs::remove_all(logDir); }

  std::string ServerLog() const {
    std::ifstream in(logDir + "/server.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // True when the keepalive was answered with its one-field reply.
  bool Keepalive(const std::string& user, const std::string& host, int32_t port, uint32_t peer) {
    return test::AskDispatcher<ClientKeepaliveReply>(context,
                                                     ClientKeepaliveRequest{user, host, port}, peer)
        .has_value();
  }

  std::optional<DumpClientNodeNamesReply> Dump(int32_t selector) {
    return test::AskDispatcher<DumpClientNodeNamesReply>(context,
                                                         DumpClientNodeNamesRequest{selector});
  }
};

TEST(ClientKeepalive, DocksAtThePeerAddressAndAnswersOne) {
  Server s;
  EXPECT_TRUE(s.Keepalive("alice", "PC1", 5000, 0x0A010203));
  const std::vector<DockedClient> list = s.registry.ListDocked();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].hostName, "PC1");
  EXPECT_EQ(list[0].userName, "alice");
  EXPECT_EQ(list[0].address, 0x0A010203u);
  EXPECT_EQ(list[0].udpPort, 5000);
  EXPECT_EQ(s.log, std::vector<std::string>{
                       "Added alice@PC1 to docked client list (IP Address 10.1.2.3 Port 5000)"});
}

// The keepalive's user and host (two strings, as a deregistration has them)
// and no port.
struct KeepaliveWithoutPort {
  static constexpr RequestType kType = CLIENT_KEEPALIVE;
  void Encode(XDRWRAP& out) const { DeregisterClientRequest{"alice", "PC1"}.Encode(out); }
};

TEST(ClientKeepalive, RequestMissingItsPortGetsNoReplyAndDocksNothing) {
  Server s;
  XDRWRAP m;
  EncodeRequest(m, KeepaliveWithoutPort{});
  EXPECT_FALSE(test::ExchangeWithDispatcher(s.context, m));
  EXPECT_TRUE(s.registry.ListDocked().empty());
}

TEST(DumpClientNodeNames, EmptyRegistryAnswersOneEmptyString) {
  Server s;
  EXPECT_EQ(s.Dump(1), DumpClientNodeNamesReply{});
}

TEST(DumpClientNodeNames, ListsEntriesInOrderWithoutExpiring) {
  Server s;
  s.Keepalive("alice", "PC1", 5000, 0x0A010203);
  s.now += 10;
  s.Keepalive("bob", "PC2", 6001, 0xC0A80005);
  s.now += 175;  // alice is 185 s old: stale, but listing does not expire
  EXPECT_EQ(s.Dump(1), (DumpClientNodeNamesReply{{{"PC1", "alice", 0x0A010203, 5000},
                                                  {"PC2", "bob", 0xC0A80005, 6001}}}));
  EXPECT_EQ(s.registry.ListDocked().size(), 2u);
}

TEST(DumpClientNodeNames, OtherSelectorAnswersTheEmptyList) {
  Server s;
  s.Keepalive("alice", "PC1", 5000, 1);
  EXPECT_EQ(s.Dump(2), DumpClientNodeNamesReply{});
}

TEST(DumpClientNodeNames, ClientWithEmptyHostNameDoesNotHideLaterEntries) {
  Server s;
  s.Keepalive("ghost", "", 1, 1);
  s.Keepalive("bob", "PC2", 2, 2);
  EXPECT_EQ(s.Dump(1), (DumpClientNodeNamesReply{{{"PC2", "bob", 2, 2}}}));
}

TEST(DeregisterClient, RemovesTheExactClientAndAnswersCharOne) {
  Server s;
  s.Keepalive("alice", "PC1", 5000, 1);
  s.Keepalive("Alice", "PC1", 5000, 1);
  EXPECT_TRUE(test::AskDispatcher<DeregisterClientReply>(s.context,
                                                         DeregisterClientRequest{"PC1", "alice"}));
  const std::vector<DockedClient> list = s.registry.ListDocked();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].userName, "Alice");
  const std::string log = s.ServerLog();
  EXPECT_NE(log.find(" DeRegistering Client [PC1] UserName [alice]\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace kestrun
