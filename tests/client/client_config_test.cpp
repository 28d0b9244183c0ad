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

}  // namespace
}  // namespace kestrun::client
