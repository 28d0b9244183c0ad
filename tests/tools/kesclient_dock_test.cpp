// kesclient against the built server: `dock --print` shows only the datagrams
// that come from the server it docked at, and texts from the server (a
// balloon, a user name that a running job's client claimed) are printed with
// their control characters escaped.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include "protocol/datagram.h"
#include "protocol/messages/notify.h"
#include "protocol/udp.h"
#include "tests/support/ask.h"
#include "tests/support/server_home.h"
#include "tests/support/waiting.h"

namespace kestrun::test {
namespace {

std::vector<std::string> Kesclient(int port, const std::string& user,
                                   std::vector<std::string> rest) {
  return KesclientCommand(port, user, "PC1", rest);
}

TEST(KesclientDock, ShowsOnlyTheServersDatagramsWithControlsEscaped) {
  TestHome home;
  RunningServer server(home);
  ASSERT_TRUE(server.ready()) << server.process().Stderr();
  ChildProcess dock(Kesclient(server.port(), "bob", {"dock", "--print"}));
  const std::string docked = "docked as bob@PC1, listening on UDP port ";
  ASSERT_TRUE(dock.WaitForStdout(docked + "", std::chrono::seconds(10))) << dock.Stderr();
  ASSERT_TRUE(dock.WaitForStdout("\n", std::chrono::seconds(10)));
  const int dockPort = std::stoi(dock.Stdout().substr(docked.size()));

  // A forged balloon from another local address, to the port the client
  // announced, arrives first and is dropped.
  int forgerPort = 0;
  int error = 0;
  std::optional<DatagramSocket> forger = DatagramSocket::Bind(0x7F000002, &forgerPort, &error);
  ASSERT_TRUE(forger) << error;
  const std::vector<uint8_t> forged =
      EncodeBalloonDatagram({"Forged", "\x1B]0;pwned\x07 call 555", 3, true});
  ASSERT_EQ(forger->SendTo(0x7F000001, dockPort, forged), 0);
  EXPECT_TRUE(
      dock.WaitForStderr("kesclient: ignoring datagrams from 127.0.0.2 (not the server; a "
                         "relay server needs --accept)\n",
                         std::chrono::seconds(10)))
      << dock.Stderr();

  // The server's own balloon, asked for by any client, with terminal controls.
  using namespace messages;
  EXPECT_EQ(
      Ask<SendMessageToClientReply>(
          server.port(),
          SendMessageToClientRequest{
              {{"bob", RecipientKind::kUser}}, 1, "T\x1B]0;x\x07", "a\r\x1B[2Jb\xC2\x9B", false}),
      SendMessageToClientReply{{RecipientStatus::kOkay}});  // bob: resolved
  ASSERT_TRUE(dock.WaitForStdout("balloon [info] T\\x1B]0;x\\x07: a\\r\\x1B[2Jb\\xC2\\x9B\n",
                                 std::chrono::seconds(10)))
      << dock.Stdout();
  const std::string seen = dock.Stdout();
  EXPECT_EQ(seen.find("Forged"), std::string::npos) << seen;
  EXPECT_EQ(seen.find('\x1B'), std::string::npos) << seen;

  dock.Signal(SIGINT);
  EXPECT_EQ(dock.WaitExit(std::chrono::seconds(10)), 0);
  StopServerChecked(&server);
  ExpectNoSanitizerFindings(dock.Stderr());
}

// A plain `dock` registers as the login name on this host, as `run` does,
// so a balloon to that user arrives.
TEST(KesclientDock, APlainDockIsReachedByTheLoginName) {
  TestHome home;
  RunningServer server(home);
  ASSERT_TRUE(server.ready()) << server.process().Stderr();
  const passwd* pw = ::getpwuid(::getuid());
  ASSERT_NE(pw, nullptr);
  const std::string login = pw->pw_name;
  const std::vector<EnvChange> env{
      {"USER", std::nullopt}, {"HOME", home.path()}, {"XDG_CONFIG_HOME", std::nullopt}};
  ChildProcess dock(
      {BinDirectory() + "/kesclient", "-p", std::to_string(server.port()), "dock", "--print"}, env);
  ASSERT_TRUE(dock.WaitForStdout("docked as " + login + "@", std::chrono::seconds(10)))
      << dock.Stdout() << dock.Stderr();
  TestHome tool;
  tool.CopyProgram("kesnotify");
  tool.CopyProgram("libkesnotify.so");
  tool.WriteConfig("port=" + std::to_string(server.port()) + "\n");
  const ProgramResult sent =
      RunProgram({tool.path() + "/kesnotify", "-user", login, "-text", "hello", "-title", "T"},
                 {{"KESCLIENTNODENAME", std::nullopt},
                  {"KESSERVER", std::nullopt},
                  {"KESPORT", std::nullopt}});
  EXPECT_EQ(sent.status, 0) << sent.out << sent.err;
  EXPECT_TRUE(dock.WaitForStdout("balloon [none] T: hello\n", std::chrono::seconds(10)))
      << dock.Stdout();
  dock.Signal(SIGINT);
  EXPECT_EQ(dock.WaitExit(std::chrono::seconds(10)), 0);
  StopServerChecked(&server);
}

TEST(KesclientActive, ShowsTheClaimedUserNameEscaped) {
  TestHome home;
  RunningServer server(home, {}, "\nWAIT:\n  program = /bin/sleep\n  param = 30\n  usetty = off\n");
  ASSERT_TRUE(server.ready()) << server.process().Stderr();
  ChildProcess run(Kesclient(server.port(), "eve\x1B[2J\rroot", {"-T", "run", "WAIT"}));
  ProgramResult active;
  EXPECT_TRUE(WaitUntil([&] {
    active = RunProgram(Kesclient(server.port(), "bob", {"active"}));
    return active.out.find("WAIT") != std::string::npos;
  })) << active.out
      << active.err << run.Stderr();
  EXPECT_EQ(active.status, 0);
  EXPECT_NE(active.out.find(" eve\\x1B[2J\\rroot "), std::string::npos) << active.out;
  EXPECT_EQ(active.out.find('\x1B'), std::string::npos) << active.out;
  StopServerChecked(&server);
}

}  // namespace
}  // namespace kestrun::test
