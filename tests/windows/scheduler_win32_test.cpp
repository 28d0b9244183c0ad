// The scheduler on Windows with an injected clock: the minute tick starts the
// Windows programs due in that minute (and only those), each run's output
// goes to its log file named after the minute, a run's standard input comes
// from a file, its exit code is logged and starts the dependent for failure.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/environment.h"
#include "config/server_config.h"
#include "launch/running_jobs.h"
#include "scheduler/scheduler.h"
#include "tests/windows/win_test_files.h"

namespace kestrun {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using wintest::BinFolder;
using wintest::ReadText;

// The scheduler's lines of the server log, after "SCHEDULER: ", with the
// child program's path shortened to CHILD.
std::vector<std::string> SchedulerLines(const fs::path& log, const std::string& child) {
  std::vector<std::string> lines;
  std::stringstream in(ReadText(log));
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find("SCHEDULER: ");
    if (at == std::string::npos) continue;
    line = line.substr(at + 11);
    for (size_t p; (p = line.find(child)) != std::string::npos;)
      line.replace(p, child.size(), "CHILD");
    lines.push_back(line);
  }
  return lines;
}

TEST(WindowsScheduler, TickRunsTheProgramsDueInItsMinuteWithLogFilesInputAndDependents) {
  const fs::path home = BinFolder() / ("scheduler-home-" + std::to_string(::GetCurrentProcessId()));
  fs::remove_all(home);
  fs::create_directories(home / "log");
  const std::string child = (BinFolder() / "kes_win_child.exe").string();
  std::ofstream(home / "in.txt", std::ios::binary) << "fed from a file\n";
  std::ofstream(home / "kestrun.conf")
      << "port = 1\nlogfile = " << (home / "server.log").string() << "\n"
      << "TIMED:\n program = " << child << "\n param = args\n param = ran at its minute\n"
      << " autorun = on\n autoruntimes = 21:05\n\n"
      << "FED:\n program = " << child << "\n param = echo\n param = 4\n"
      << " autorun = on\n autoruntimes = 21:05\n"
      << " autorunstandardinput = $KESTRUNHOME\\in.txt\n autorunonfailure = AFTER\n\n"
      << "AFTER:\n program = " << child << "\n param = args\n param = after the failure\n\n"
      << "LATER:\n program = " << child << "\n param = args\n param = later\n"
      << " autorun = on\n autoruntimes = 21:06\n";
  PutEnvLocked("KESTRUNHOME=" + home.string());
  ServerConfig config;
  config.SetConfigPath((home / "kestrun.conf").string());
  LoadServerConfig(config);
  RunningJobTable table;

  int minute = 5;  // of 21:00 on Sunday, 2024-03-03
  SchedulerOptions options;
  options.clock = [&minute] {
    return ClockReading{1709499600 + minute * 60, {2024, 3, 3, 21, minute, 0, 6}};
  };
  {
    Scheduler scheduler(config, table, options);
    scheduler.Tick();
    ASSERT_TRUE(scheduler.WaitUntilIdle(20s));
    EXPECT_EQ(ReadText(home / "log" / "TIMED-20240303-2105.log"), "ran at its minute\n");
    EXPECT_EQ(ReadText(home / "log" / "FED-20240303-2105.log"), "fed from a file\n");
    EXPECT_EQ(ReadText(home / "log" / "AFTER-20240303-2105.log"), "after the failure\n");
    EXPECT_FALSE(fs::exists(home / "log" / "LATER-20240303-2105.log"));

    minute = 6;
    scheduler.Tick();
    ASSERT_TRUE(scheduler.WaitUntilIdle(20s));
    EXPECT_EQ(ReadText(home / "log" / "LATER-20240303-2106.log"), "later\n");
  }
  std::vector<std::string> lines = SchedulerLines(home / "server.log", child);
  // The two runs of 21:05 go on threads of their own: their lines interleave.
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Running dependent job \"AFTER\"", "Running timed job \"FED\"",
                       "Running timed job \"LATER\"", "Running timed job \"TIMED\"",
                       "Script \"CHILD\" exits code 0", "Script \"CHILD\" exits code 0",
                       "Script \"CHILD\" exits code 0", "Script \"CHILD\" exits code 4"}))
      << ReadText(home / "server.log");
  // Wine closes an ended program's handles shortly after its end is seen:
  // the folder is removed once the log files are let go.
  for (int tries = 0; tries < 40; ++tries) {
    std::error_code error;
    fs::remove_all(home, error);
    if (!error) break;
    ::Sleep(50);
  }
}

}  // namespace
}  // namespace kestrun
