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
#include "server/dispatcher.h"
#include "tests/support/dispatcher_exchange.h"

namespace kestrun {
namespace {

namespace fs = std::filesystem;

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

  XDRWRAP Keepalive(const std::string& user, const std::string& host, int32_t port, uint32_t peer) {
    XDRWRAP m;
    m.BeginEncode();
    m.AddEnum(CLIENT_KEEPALIVE);
    m.AddString(user);
    m.AddString(host);
    m.AddLong(port);
    std::optional<XDRWRAP> reply = test::ExchangeWithDispatcher(context, m, peer);
    EXPECT_TRUE(reply);
    return reply ? std::move(*reply) : XDRWRAP{};
  }

  XDRWRAP Dump(int32_t selector) {
    XDRWRAP m;
    m.BeginEncode();
    m.AddEnum(DUMP_CLIENT_NODE_NAMES);
    m.AddLong(selector);
    std::optional<XDRWRAP> reply = test::ExchangeWithDispatcher(context, m);
    EXPECT_TRUE(reply);
    return reply ? std::move(*reply) : XDRWRAP{};
  }
};

TEST(ClientKeepalive, DocksAtThePeerAddressAndAnswersOne) {
  Server s;
  XDRWRAP reply = s.Keepalive("alice", "PC1", 5000, 0x0A010203);
  EXPECT_EQ(reply.GetEnum(), 1);
  EXPECT_THROW(reply.GetLong(), DecodeFailure) << "the reply has exactly one field";
  const std::vector<DockedClient> list = s.registry.ListDocked();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].hostName, "PC1");
  EXPECT_EQ(list[0].userName, "alice");
  EXPECT_EQ(list[0].address, 0x0A010203u);
  EXPECT_EQ(list[0].udpPort, 5000);
  EXPECT_EQ(s.log, std::vector<std::string>{
                       "Added alice@PC1 to docked client list (IP Address 10.1.2.3 Port 5000)"});
}

TEST(ClientKeepalive, RequestMissingItsPortGetsNoReplyAndDocksNothing) {
  Server s;
  XDRWRAP m;
  m.BeginEncode();
  m.AddEnum(CLIENT_KEEPALIVE);
  m.AddString("alice");
  m.AddString("PC1");
  EXPECT_FALSE(test::ExchangeWithDispatcher(s.context, m));
  EXPECT_TRUE(s.registry.ListDocked().empty());
}

TEST(DumpClientNodeNames, EmptyRegistryAnswersOneEmptyString) {
  Server s;
  XDRWRAP reply = s.Dump(1);
  EXPECT_EQ(reply.GetString(), "");
  EXPECT_THROW(reply.GetLong(), DecodeFailure);
}

TEST(DumpClientNodeNames, ListsEntriesInOrderWithoutExpiring) {
  Server s;
  s.Keepalive("alice", "PC1", 5000, 0x0A010203);
  s.now += 10;
  s.Keepalive("bob", "PC2", 6001, 0xC0A80005);
  s.now += 175;  // alice is 185 s old: stale, but listing does not expire
  XDRWRAP reply = s.Dump(1);
  EXPECT_EQ(reply.GetString(), "PC1");
  EXPECT_EQ(reply.GetString(), "alice");
  EXPECT_EQ(static_cast<uint32_t>(reply.GetLong()), 0x0A010203u);
  EXPECT_EQ(reply.GetLong(), 5000);
  EXPECT_EQ(reply.GetString(), "PC2");
  EXPECT_EQ(reply.GetString(), "bob");
  EXPECT_EQ(static_cast<uint32_t>(reply.GetLong()), 0xC0A80005u);
  EXPECT_EQ(reply.GetLong(), 6001);
  EXPECT_EQ(reply.GetString(), "");
  EXPECT_EQ(s.registry.ListDocked().size(), 2u);
}

TEST(DumpClientNodeNames, OtherSelectorAnswersTheEmptyList) {
  Server s;
  s.Keepalive("alice", "PC1", 5000, 1);
  XDRWRAP reply = s.Dump(2);
  EXPECT_EQ(reply.GetString(), "");
  EXPECT_THROW(reply.GetLong(), DecodeFailure);
}

TEST(DumpClientNodeNames, ClientWithEmptyHostNameDoesNotHideLaterEntries) {
  Server s;
  s.Keepalive("ghost", "", 1, 1);
  s.Keepalive("bob", "PC2", 2, 2);
  XDRWRAP reply = s.Dump(1);
  EXPECT_EQ(reply.GetString(), "PC2");
  EXPECT_EQ(reply.GetString(), "bob");
  reply.GetLong();
  reply.GetLong();
  EXPECT_EQ(reply.GetString(), "");
}

TEST(DeregisterClient, RemovesTheExactClientAndAnswersCharOne) {
  Server s;
  s.Keepalive("alice", "PC1", 5000, 1);
  s.Keepalive("Alice", "PC1", 5000, 1);
  XDRWRAP m;
  m.BeginEncode();
  m.AddEnum(DEREGISTER_CLIENT);
  m.AddString("PC1");
  m.AddString("alice");
  std::optional<XDRWRAP> reply = test::ExchangeWithDispatcher(s.context, m);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->GetLong(), 1) << "char 1 travels as a long";
  const std::vector<DockedClient> list = s.registry.ListDocked();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].userName, "Alice");
  const std::string log = s.ServerLog();
  EXPECT_NE(log.find(" DeRegistering Client [PC1] UserName [alice]\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace kestrun
