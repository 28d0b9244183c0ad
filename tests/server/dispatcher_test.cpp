// The dispatcher driven over a real loopback connection: a client sends the
// magic and a request, the test's server side runs ProcessClientRequest on
// the accepted socket, and the client reads the exact reply bytes.
#include "server/dispatcher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <thread>

#include "config/server_config.h"
#include "jobs/preload.h"
#include "protocol/messages/dialog.h"
#include "protocol/messages/jobs_admin.h"
#include "protocol/transport.h"
#include "tests/protocol/wire.h"
#include "tests/support/ask.h"

namespace kestrun {
namespace {

struct Exchange {
  std::string replyBytes;
  std::string stdoutText;
};

// Sends `requestBytes` (magic included) and returns what the server answered.
Exchange Serve(const std::string& requestBytes, ServerContext server = {}) {
  int port = 0;
  std::optional<Socket> listener = CreateListenSocket(&port);
  EXPECT_TRUE(listener);
  std::optional<ServerConnection> client = ConnectToServer(port, "127.0.0.1");
  EXPECT_TRUE(client);
  uint32_t peer = 0;
  int error = 0;
  std::optional<Socket> accepted = net::Accept(listener->get(), &peer, &error);
  EXPECT_TRUE(accepted);
  const SendPiece piece{requestBytes.data(), requestBytes.size()};
  EXPECT_EQ(net::SendAll(client->socket.get(), {&piece, 1}), 0);
  client->socket.ShutdownSend();

  testing::internal::CaptureStdout();
  EXPECT_TRUE(ReadConnectionMagic(accepted->get(), std::chrono::milliseconds(2000)));
  ProcessClientRequest(server, accepted->get(), peer);
  accepted->Close();
  Exchange out;
  out.stdoutText = testing::internal::GetCapturedStdout();
  out.replyBytes = testwire::ReadAll(client->socket.get());
  return out;
}

std::string Request(const std::string& fields, int items, uint32_t magic = ConnectionMagic) {
  return testwire::Message({{fields, items}}, 12345, magic);
}

XDRWRAP DecodeReply(const std::string& bytes) {
  return testwire::ReceiveBytes(bytes);
}

TEST(Dispatcher, EchoAnswersDoneAndTheSameValue) {
  Exchange ex = Serve(Request(testwire::Long(ECHO_REQUEST) + testwire::Long(-5), 2));
  EXPECT_EQ(ex.stdoutText, "ProcessClientRequest\n");
  XDRWRAP reply = DecodeReply(ex.replyBytes);
  EXPECT_EQ(test::DecodeWhole<messages::EchoReply>(reply), messages::EchoReply{-5});
}

TEST(Dispatcher, SecondMagicIsServedTheSame) {
  Exchange ex = Serve(
      Request(testwire::Long(ECHO_REQUEST) + testwire::Long(77), 2, AlternateConnectionMagic));
  XDRWRAP reply = DecodeReply(ex.replyBytes);
  EXPECT_EQ(test::DecodeWhole<messages::EchoReply>(reply), messages::EchoReply{77});
}

// A type without a handler gets one 32-byte header announcing one buffer of
// 0 bytes and 0 items, and nothing else.
void ExpectEmptyReply(int32_t type) {
  Exchange ex = Serve(Request(testwire::Long(type), 1));
  ASSERT_EQ(ex.replyBytes.size(), 32u) << type;
  EXPECT_EQ(ex.replyBytes.substr(0, 4), testwire::BE32(1));
  EXPECT_EQ(ex.replyBytes.substr(8, 24), std::string(24, '\0'));
  EXPECT_EQ(ex.stdoutText, "ProcessClientRequest\n");
}

TEST(Dispatcher, TypesWithoutHandlerGetAnEmptyReply) {
  for (int32_t type : {10, 14, 16, 17, 42, -1}) ExpectEmptyReply(type);
}

TEST(Dispatcher, BackgroundStatusRequestsAreAcceptedWithoutAction) {
  // Extra fields after the type are not read.
  for (int32_t type : {SYNC_BACKGROUND_PROC_STATUS, RECORD_BACKGROUND_PROC_PID}) {
    Exchange ex = Serve(Request(testwire::Long(type) + testwire::Long(9), 2));
    EXPECT_EQ(ex.replyBytes.size(), 32u);
  }
}

TEST(Dispatcher, UndecodableRequestIsAbandonedWithoutReply) {
  // The echo value is missing: the handler's read fails.
  Exchange ex = Serve(Request(testwire::Long(ECHO_REQUEST), 1));
  EXPECT_EQ(ex.replyBytes, "");
  EXPECT_EQ(ex.stdoutText, "ProcessClientRequest\n");
  // A truncated header never reaches the handler.
  Exchange cut = Serve(std::string("\x12\x5A\xBB\xCD", 4) + std::string(10, '\0'));
  EXPECT_EQ(cut.replyBytes, "");
  EXPECT_EQ(cut.stdoutText, "ProcessClientRequest\n");
}

TEST(Dispatcher, ARequestThatRunsOutOfMemoryFailsAloneAndIsLogged) {
  const std::filesystem::path log =
      std::filesystem::temp_directory_path() / ("kes-dispatch-" + std::to_string(::getpid()));
  ServerConfig config;
  config.SetLogFile(log.string());
  ServerContext server;
  server.config = &config;
  server.preloadHooks = std::make_shared<PreloadHooks>();
  server.preloadHooks->killAll = [](std::string_view, uint32_t) { throw std::bad_alloc(); };
  XDRWRAP cancel;
  messages::EncodeRequest(cancel, messages::CancelDialogRequest{"JOB", "ann", "pc1", 7});
  const XdrBuffer& fields = *cancel.Buffers().front();
  Exchange ex =
      Serve(Request(std::string(fields.data.data(), fields.Size), fields.NumItems), server);
  EXPECT_EQ(ex.replyBytes, "");
  std::ifstream in(log);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove(log);
  EXPECT_NE(text.find(" ann@pc1 cancels dialog for job JOB\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" Request 27 (CANCEL_DIALOG) failed: out of memory\n"), std::string::npos)
      << text;
}

TEST(Dispatcher, TraceNamesFollowTheTable) {
  EXPECT_EQ(RequestTypeName(0), "ECHO_REQUEST");
  EXPECT_EQ(RequestTypeName(11), "DEREGISTER_CLIENT");
  EXPECT_EQ(RequestTypeName(29), "GET_USERS_IN_GROUP");
  for (int32_t t : {10, 14, 16, 17, 30, 42, -1}) EXPECT_EQ(RequestTypeName(t), "Unknown") << t;
}

}  // namespace
}  // namespace kestrun
