// The built server with a kestrun.conf that has warnings: the first read
// shows them on the console and logs them; a reload (seen by the listener
// before it handles a connection) logs them again without printing warnings.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "protocol/transport.h"
#include "server/dispatcher.h"
#include "tests/support/ask.h"
#include "tests/support/server_home.h"

namespace kestrun {
namespace {

using test::CountOf;

// After the port and log lines: line 3 has an unknown directive, line 5 an invalid display option.
const std::string kStanzas =
    "Frobnicate = yes\n"
    "Show:\n"
    "Stdout = bogus\n";
const std::string kUnknown = "Unknown directive \"Frobnicate\" at line 3 of kestrun.conf";
const std::string kWarning =
    "WARNING: invalid stdout display option \"bogus\" at line 5 of kestrun.conf";
const std::string kLogged = "Invalid stdout display option \"bogus\" at line 5 of kestrun.conf";

bool Echo(int port) {
  return test::Echoes(port, 7);
}

TEST(ServerWarnings, FirstReadPrintsAndLogsAReloadOnlyLogs) {
  test::TestHome home;
  test::RunningServer server(home, {{"KESREASON", std::nullopt}}, kStanzas);
  ASSERT_TRUE(server.ready()) << server.process().Stderr();
  // The server wrote these before it listened, but our readers of its pipes
  // may not have them yet.
  EXPECT_TRUE(server.process().WaitForStderr(kWarning + "\n", std::chrono::seconds(30)));
  EXPECT_TRUE(server.process().WaitForStdout(kUnknown + "\n", std::chrono::seconds(30)));
  SCOPED_TRACE("stdout: " + server.process().Stdout() + "stderr: " + server.process().Stderr() +
               "log: " + home.Log());
  EXPECT_EQ(CountOf(server.process().Stderr(), kWarning + "\n"), 1u);
  EXPECT_EQ(CountOf(server.process().Stdout(), kUnknown + "\n"), 1u);
  EXPECT_EQ(CountOf(home.Log(), kLogged + "\n"), 1u);
  EXPECT_EQ(CountOf(home.Log(), kUnknown + "\n"), 1u);

  // Same text, newer modification time: the next connection reloads it.
  const std::filesystem::path conf = home.path() + "/kestrun.conf";
  std::filesystem::last_write_time(
      conf, std::filesystem::last_write_time(conf) + std::chrono::seconds(5));
  ASSERT_TRUE(Echo(server.port()));
  ASSERT_TRUE(Echo(server.port()));  // handled after the reload has certainly finished
  EXPECT_EQ(CountOf(home.Log(), kLogged + "\n"), 2u);
  EXPECT_EQ(CountOf(home.Log(), kUnknown + "\n"), 2u);
  EXPECT_EQ(CountOf(server.process().Stderr(), kWarning + "\n"), 1u);
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace kestrun
