#include <gtest/gtest.h>

#include "client/client_config.h"

namespace kestrun::client {
namespace {

const char kConf[] =
    "# global settings\n"
    "port = 7400\n"
    "logfile = /tmp/x.log\n"
    "\n"
    "Backup:\n"
    "program = /bin/true\n"
    "port = 9\n"
    "\n"
    "prod:\n"
    "  server = prod.example.com   # the production box\n"
    "  port = 7500\n"
    "\n"
    "Staging:\n"
    "server = 10.0.0.7\n";

TEST(ClientConfig, GlobalPortAndServerStanzas) {
  const ClientConfig c = ParseClientConfig(kConf);
  EXPECT_EQ(c.port, 7400);
  ASSERT_EQ(c.servers.size(), 2u);  // BACKUP holds a job directive
  EXPECT_EQ(c.servers.at("PROD").host, "prod.example.com");
  EXPECT_EQ(c.servers.at("PROD").port, 7500);
  EXPECT_EQ(c.servers.at("STAGING").port, 0);
}

TEST(ClientConfig, ResolveServerPrefersOptionsThenStanzaThenGlobal) {
  const ClientConfig c = ParseClientConfig(kConf);
  ServerAddress a = ResolveServer(c, "", 0);
  EXPECT_EQ(a.host, "localhost");
  EXPECT_EQ(a.port, 7400);
  a = ResolveServer(c, "Prod", 0);  // stanza names ignore case
  EXPECT_EQ(a.host, "prod.example.com");
  EXPECT_EQ(a.port, 7500);
  a = ResolveServer(c, "staging", 0);  // stanza without port: the global one
  EXPECT_EQ(a.host, "10.0.0.7");
  EXPECT_EQ(a.port, 7400);
  a = ResolveServer(c, "otherhost", 7600);
  EXPECT_EQ(a.host, "otherhost");
  EXPECT_EQ(a.port, 7600);
  a = ResolveServer(c, "prod", 1234);
  EXPECT_EQ(a.port, 1234);
}

TEST(ClientConfig, MissingFileIsEmpty) {
  const ClientConfig c = LoadClientConfig("/nonexistent/kestrun.conf");
  EXPECT_EQ(c.port, 0);
  EXPECT_TRUE(c.servers.empty());
}

TEST(ClientConfig, TheUsersClientConfHoldsDefaultsAndNamedServers) {
  const UserClientConfig u = ParseUserClientConfig(
      "server = build.example.com  # mine\nport = 7401\nuser = alice\nnode = lap\n"
      "\n[Prod]\nserver = kes.example.com\nport = 7500\nuser = ignored\n");
  EXPECT_EQ(u.server.host, "build.example.com");
  EXPECT_EQ(u.server.port, 7401);
  EXPECT_EQ(u.user, "alice");
  EXPECT_EQ(u.node, "lap");
  ASSERT_EQ(u.servers.count("PROD"), 1u);
  EXPECT_EQ(u.servers.at("PROD").host, "kes.example.com");
  EXPECT_EQ(u.servers.at("PROD").port, 7500);
}

TEST(ClientConfig, ServerVariable) {
  const struct {
    const char* value;
    std::optional<std::pair<std::string, int>> want;
  } cases[] = {
      {"kes.example.com:7400", std::pair<std::string, int>{"kes.example.com", 7400}},
      {"kes.example.com", std::pair<std::string, int>{"kes.example.com", 0}},
      {"::1", std::pair<std::string, int>{"::1", 0}},
      {"host:0", std::nullopt},
      {"host:70000", std::nullopt},
      {"host:x", std::nullopt},
      {":7400", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    const std::optional<ServerAddress> a = ParseServerVariable(c.value);
    ASSERT_EQ(a.has_value(), c.want.has_value()) << c.value;
    if (a) {
      EXPECT_EQ(a->host, c.want->first) << c.value;
      EXPECT_EQ(a->port, c.want->second) << c.value;
    }
  }
}

// -s and -p, then KESTRUN_SERVER, then client.conf, then kestrun.conf.
TEST(ClientConfig, SourcesInOrder) {
  ServerSources s;
  s.beside = ParseClientConfig(kConf);
  s.user = ParseUserClientConfig("server = mine\nport = 7401\n[prod]\nserver = p.example\n");
  const auto at = [&] {
    const ServerAddress a = ResolveServer(s);
    return a.host + ":" + std::to_string(a.port);
  };
  EXPECT_EQ(at(), "mine:7401");
  s.variable = ServerAddress{"env.example", 0};
  EXPECT_EQ(at(), "env.example:7401");  // the port from client.conf
  s.variable = ServerAddress{"env.example", 9000};
  EXPECT_EQ(at(), "env.example:9000");
  s.serverOption = "prod";  // client.conf's section before kestrun.conf's stanza
  EXPECT_EQ(at(), "p.example:7401");
  s.serverOption = "staging";
  EXPECT_EQ(at(), "10.0.0.7:7401");
  s.portOption = 1234;
  EXPECT_EQ(at(), "10.0.0.7:1234");
  s = ServerSources{};
  s.beside = ParseClientConfig(kConf);
  EXPECT_EQ(at(), "localhost:7400");
}

}  // namespace
}  // namespace kestrun::client
