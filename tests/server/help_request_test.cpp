// SHOW_HELP_TEXT and the KESTRACE line, through the dispatcher over a real
// socket.
#include <gtest/gtest.h>

#include <thread>

#include "config/server_config.h"
#include "protocol/transport.h"
#include "server/dispatcher.h"
#include "tests/config/conf_fixture.h"
#include "tests/protocol/wire.h"

namespace kestrun {
namespace {

// Sends `request` to ProcessClientRequest on one end of a socket pair and
// returns the reply read from the other end.
XDRWRAP Exchange(ServerContext& server, XDRWRAP& request) {
  testwire::SocketPair p;
  std::thread serverThread([&] {
    ProcessClientRequest(server, p.b.get(), 0x7F000001);
    p.b.ShutdownSend();
  });
  SendReply(request, p.a.get());
  XDRWRAP reply;
  ReceiveMessage(reply, p.a.get(), std::chrono::milliseconds(5000));
  serverThread.join();
  return reply;
}

XDRWRAP HelpRequest(const std::string& user, const std::vector<std::string>& names) {
  XDRWRAP m;
  m.BeginEncode();
  m.AddEnum(SHOW_HELP_TEXT);
  m.AddString(user);
  m.AddLong(static_cast<int32_t>(names.size()));
  for (const std::string& n : names) m.AddString(n);
  return m;
}

struct HelpTextTest : testing::Test {
  void Load(const std::string& text) {
    home.WriteConf(text);
    testconf::LoadCapturing(config);
    server.config = &config;
  }
  testconf::TempHome home;
  ServerConfig config{home.ConfPath()};
  ServerContext server;
};

TEST_F(HelpTextTest, ListsVisibleJobsWithTheirAttributesInRequestOrder) {
  Load(
      "Alpha:\nHelpText = Copies files\nAttributeOwner = ops\nAttributeowner = dev\n\n"
      "Beta:\nProgram = b\n\nHidden:\nGroup = Admins\nHelpText = secret\n");
  XDRWRAP request = HelpRequest("alice", {"OWNER", "missing"});
  XDRWRAP reply = Exchange(server, request);
  EXPECT_EQ(reply.GetString(), "ALPHA");
  EXPECT_EQ(reply.GetString(), "Copies files");
  EXPECT_EQ(reply.GetLong(), 1);
  EXPECT_EQ(reply.GetString(), "dev");
  EXPECT_EQ(reply.GetLong(), 1);
  EXPECT_EQ(reply.GetString(), "");
  EXPECT_EQ(reply.GetLong(), 0);
  EXPECT_EQ(reply.GetString(), "BETA");
  EXPECT_EQ(reply.GetString(), "");
  EXPECT_EQ(reply.GetLong(), 1);
  EXPECT_EQ(reply.GetString(), "");
  EXPECT_EQ(reply.GetLong(), 1);
  EXPECT_EQ(reply.GetString(), "");
  EXPECT_EQ(reply.GetLong(), 0);
  // The group-restricted job is missing for a user outside its group.
  EXPECT_EQ(reply.GetString(), "");
  EXPECT_EQ(reply.FieldsLeft(), 0);
}

TEST_F(HelpTextTest, WithoutAttributeNamesEachJobEndsWithCharZero) {
  Load("Alpha:\nHelpText = h\n");
  XDRWRAP request = HelpRequest("bob", {});
  XDRWRAP reply = Exchange(server, request);
  EXPECT_EQ(reply.GetString(), "ALPHA");
  EXPECT_EQ(reply.GetString(), "h");
  EXPECT_EQ(reply.GetLong(), 0);
  EXPECT_EQ(reply.GetString(), "");
  EXPECT_EQ(reply.FieldsLeft(), 0);
}

TEST_F(HelpTextTest, NoJobsGiveOneEmptyString) {
  Load("Port = 1\n");
  XDRWRAP request = HelpRequest("bob", {"x"});
  XDRWRAP reply = Exchange(server, request);
  EXPECT_EQ(reply.GetString(), "");
  EXPECT_EQ(reply.FieldsLeft(), 0);
}

TEST_F(HelpTextTest, ACountBeyondTheNamesSentAbandonsTheRequest) {
  Load("Alpha:\n");
  XDRWRAP request;
  request.BeginEncode();
  request.AddEnum(SHOW_HELP_TEXT);
  request.AddString("bob");
  request.AddLong(2000000000);
  request.AddString("one");
  testwire::SocketPair p;
  std::thread serverThread([&] {
    ProcessClientRequest(server, p.b.get(), 0);
    p.b.ShutdownSend();
  });
  SendReply(request, p.a.get());
  serverThread.join();
  EXPECT_EQ(testwire::ReadAll(p.a.get()), "");  // no reply at all
}

TEST_F(HelpTextTest, TraceLineIsLoggedWhileKestraceIsDefined) {
  Load("LogFile = " + home.File("k.log") + "\n");
  ::setenv("KESTRACE", "1", 1);
  for (int32_t type : {0, 42, 14}) {
    XDRWRAP request;
    request.BeginEncode();
    request.AddEnum(type);
    request.AddLong(-5);
    Exchange(server, request);
  }
  ::unsetenv("KESTRACE");
  XDRWRAP request;
  request.BeginEncode();
  request.AddEnum(ECHO_REQUEST);
  request.AddLong(1);
  Exchange(server, request);
  std::string log;
  std::istringstream in(home.Read("k.log"));
  for (std::string line; std::getline(in, line);) log += line.substr(20) + "\n";
  EXPECT_EQ(log,
            "Received RequestType=0 (ECHO_REQUEST)\nReceived RequestType=42 (Unknown)\n"
            "Received RequestType=14 (Unknown)\n");
}

}  // namespace
}  // namespace kestrun
