// SHOW_HELP_TEXT and the KESTRACE line, through the dispatcher over a real
// socket.
#include <gtest/gtest.h>

#include <thread>

#include "config/server_config.h"
#include "protocol/messages/jobs_admin.h"
#include "protocol/transport.h"
#include "server/dispatcher.h"
#include "tests/config/conf_fixture.h"
#include "tests/protocol/wire.h"
#include "tests/support/ask.h"

namespace kestrun {
namespace {

using messages::JobHelpEntry;
using messages::ShowHelpTextReply;
using messages::ShowHelpTextRequest;

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
  // The group-restricted job is missing for a user outside its group.
  EXPECT_EQ(test::AskDispatcher<ShowHelpTextReply>(
                server, ShowHelpTextRequest{"alice", {"OWNER", "missing"}}),
            (ShowHelpTextReply{{{"ALPHA", "Copies files", {"dev", ""}}, {"BETA", "", {"", ""}}}}));
}

TEST_F(HelpTextTest, WithoutAttributeNamesEachJobEndsWithCharZero) {
  Load("Alpha:\nHelpText = h\n");
  EXPECT_EQ(test::AskDispatcher<ShowHelpTextReply>(server, ShowHelpTextRequest{"bob", {}}),
            (ShowHelpTextReply{{{"ALPHA", "h", {}}}}));
}

TEST_F(HelpTextTest, NoJobsGiveOneEmptyString) {
  Load("Port = 1\n");
  EXPECT_EQ(test::AskDispatcher<ShowHelpTextReply>(server, ShowHelpTextRequest{"bob", {"x"}}),
            ShowHelpTextReply{});
}

TEST_F(HelpTextTest, ACountBeyondTheNamesSentAbandonsTheRequest) {
  Load("Alpha:\n");
  // Two billion names announced, one sent.
  using testwire::Long;
  const std::string fields = Long(SHOW_HELP_TEXT) + Long(1) + testwire::Str("bob") +
                             Long(2000000000) + Long(1) + testwire::Str("one");
  testwire::SocketPair p;
  std::thread serverThread([&] {
    ProcessClientRequest(server, p.b.get(), 0);
    p.b.ShutdownSend();
  });
  const std::string bytes = testwire::Message({{fields, 6}});
  const SendPiece piece{bytes.data(), bytes.size()};
  net::SendAll(p.a.get(), {&piece, 1});
  serverThread.join();
  EXPECT_EQ(testwire::ReadAll(p.a.get()), "");  // no reply at all
}

TEST_F(HelpTextTest, TraceLineIsLoggedWhileKestraceIsDefined) {
  Load("LogFile = " + home.File("k.log") + "\n");
  ::setenv("KESTRACE", "1", 1);
  test::AskDispatcher<messages::EchoReply>(server, messages::EchoRequest{-5});
  for (int32_t type : {42, 14}) {
    XDRWRAP request;  // of no known type
    request.BeginEncode();
    request.AddEnum(type);
    test::ExchangeWithDispatcher(server, request);
  }
  ::unsetenv("KESTRACE");
  test::AskDispatcher<messages::EchoReply>(server, messages::EchoRequest{1});
  std::string log;
  std::istringstream in(home.Read("k.log"));
  for (std::string line; std::getline(in, line);) log += line.substr(20) + "\n";
  EXPECT_EQ(log,
            "Received RequestType=0 (ECHO_REQUEST)\nReceived RequestType=42 (Unknown)\n"
            "Received RequestType=14 (Unknown)\n");
}

}  // namespace
}  // namespace kestrun
