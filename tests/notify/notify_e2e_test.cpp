// End to end: `kesclient dock --print` docked at the built server sees the
// job started/stopped messages of a job that `kesclient run` runs for the same
// user, and the balloon that `kesnotify -text done` sends from inside the job;
// `kesclient menu` lists the job, and Ctrl+C undocks.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "tests/support/server_home.h"
#include "tests/support/waiting.h"

namespace kestrun::test {
namespace {

TEST(DockedClient, SeesJobStatesAndTheJobsOwnBalloon) {
  TestHome home;
  home.CopyProgram("kesnotify");
  home.CopyProgram("libkesnotify.so");
  home.WriteFile("groups.txt", "Ops:bob\n");
  RunningServer server(home, {{"KESGP_FILE", home.path() + "/groups.txt"}},
                       std::string("groupprocessor=") + KESGP_FILE_PATH +
                           "\n\nNOTIFY:\nprogram = " + home.path() +
                           "/kesnotify\nusetty = off\nnotifyrungroup = Ops\ntraymenu = on\n");
  ASSERT_TRUE(server.ready()) << server.process().Stderr();
  const std::vector<std::string> client{BinDirectory() + "/kesclient",
                                        "-s",
                                        "127.0.0.1",
                                        "-p",
                                        std::to_string(server.port()),
                                        "-u",
                                        "bob",
                                        "-n",
                                        "PC1"};
  auto with = [&](std::vector<std::string> rest) {
    std::vector<std::string> argv = client;
    argv.insert(argv.end(), rest.begin(), rest.end());
    return argv;
  };

  ChildProcess dock(with({"dock", "--print"}));
  ASSERT_TRUE(
      dock.WaitForStdout("docked as bob@PC1, listening on UDP port ", std::chrono::seconds(10)))
      << dock.Stderr();

  const ProgramResult run = RunProgram(with({"-T", "run", "NOTIFY", "-text", "done"}));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Client PC1: Not processed\nUser bob: okay\n");
  ASSERT_TRUE(dock.WaitForStdout("job stopped\n", std::chrono::seconds(10))) << dock.Stdout();
  const std::string seen = dock.Stdout();
  const size_t started = seen.find("job started\n");
  // Without -title the balloon's title is the server's host name.
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  const size_t balloon = seen.find("balloon [none] " + std::string(host) + ": done\n");
  const size_t stopped = seen.find("job stopped\n");
  EXPECT_NE(started, std::string::npos) << seen;
  EXPECT_NE(balloon, std::string::npos) << seen;
  // The started message leaves once the program runs, so the job's own
  // balloon may overtake it; both come before the stopped message.
  EXPECT_LT(started, stopped);
  EXPECT_LT(balloon, stopped);

  const ProgramResult menu = RunProgram(with({"menu"}));
  EXPECT_EQ(menu.status, 0) << menu.err;
  EXPECT_EQ(menu.out, "NOTIFY\tNOTIFY\n");

  dock.Signal(SIGINT);
  EXPECT_EQ(dock.WaitExit(std::chrono::seconds(10)), 0);
  EXPECT_TRUE(WaitUntil([&] {
    return home.Log().find("DeRegistering Client [PC1] UserName [bob]") != std::string::npos;
  })) << home.Log();
  server.Stop();
  ExpectNoSanitizerFindings(server.process().Stderr());
  ExpectNoSanitizerFindings(dock.Stderr());
}

}  // namespace
}  // namespace kestrun::test
