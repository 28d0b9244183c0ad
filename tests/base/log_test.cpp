#include "base/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "base/environment.h"
#include "base/safe_format.h"
#include "config/server_config.h"
#include "tests/config/conf_fixture.h"

namespace kestrun {
namespace {

using testconf::TempHome;

LocalTime At(int year, int month, int day, int hour, int minute, int second) {
  LocalTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  return t;
}

TEST(SafeFormat, ClientTextsAreEscapedAndCutWhateverTheyHold) {
  const std::string longName(3000, 'a');
  struct Case {
    std::string text;
    std::string written;
  };
  const Case cases[] = {
      {"bob", "bob"},
      {"bob\n2099-01-01 00:00:00 root@admin invoking job",
       "bob\\n2099-01-01 00:00:00 root@admin invoking job"},
      {"a\rb\tc", "a\\rb\\tc"},
      {"soh\x01x", "soh\\x01x"},
      {"\x1b[2J\x7f", "\\x1B[2J\\x7F"},
      {"caf\xc3\xa9 \\ \"q\"", "caf\xc3\xa9 \\ \"q\""},  // bytes >= 0x80 and backslashes kept
      {longName, std::string(1024, 'a') + "..."},
      {std::string(1023, 'a') + "\n", std::string(1023, 'a') + "..."},  // never half an escape
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SafeStringPrintf("[%s] %d", c.text.c_str(), 7), "[" + c.written + "] 7");
  }
  // The other conversions are printf's own.
  EXPECT_EQ(SafeStringPrintf("%5s|%-4s|%.2s|%03d|%ld|%u|%x|%c|%%|%.1f", "ab", "c", "x\ny", 7, -5L,
                             4000000000u, 255u, 'z', 2.25),
            "   ab|c   |x\\n|007|-5|4000000000|ff|z|%|2.2");
}

TEST(ServerLog, AClientNameNeverWritesALineOfItsOwn) {
  TempHome home;
  ServerLog log(home.File("k.log"));
  LogMessage(log, "%s@%s invoking job \"%s\"", "eve\n2099-01-01 00:00:00 root", "pc\r", "J");
  const std::string text = home.Read("k.log");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_NE(text.find(" eve\\n2099-01-01 00:00:00 root@pc\\r invoking job \"J\"\n"),
            std::string::npos)
      << text;
}

TEST(ServerLog, AFifoAsLogFileIsNeverWaitedForAndWarnsOnce) {
  TempHome home;
  const std::string fifo = home.File("fifo.log");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ServerLog log(fifo);
  testing::internal::CaptureStderr();
  LogMessage(log, "first");  // no reader: opening it for writing would block
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  LogMessage(log, "second");  // with a reader it is still no plain file
  const std::string warned = testing::internal::GetCapturedStderr();
  EXPECT_EQ(warned,
            "WARNING: log file \"" + fifo + "\" is not a plain file; log lines are dropped\n");
  char byte;
  EXPECT_LE(read(reader, &byte, 1), 0);  // nothing was written into it
  close(reader);
}

// A full disk: the line cannot be written. The console hears of it at once
// and then at most once a minute, never silently and never line by line.
TEST(ServerLog, FailedWritesWarnOnceAMinute) {
  ServerLog log("/dev/full");
  testing::internal::CaptureStderr();
  LogMessage(log, "first");
  LogMessage(log, "second");
  const std::string warning =
      "WARNING: log file \"/dev/full\" could not be written (No space left on device); log "
      "lines are being lost\n";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), warning);

  ServerLog clocked("/dev/full");
  struct Step {
    int64_t now;
    bool opened;
    int error;
    bool warns;
  } const steps[] = {
      {1000, true, ENOSPC, true},   {1001, true, EIO, false},     {1059, true, ENOSPC, false},
      {1060, true, ENOSPC, true},   {1000, true, ENOSPC, true},    // the clock went back
      {1030, false, ENOENT, false},                                // no file: dropped silently
      {1031, false, EINVAL, true},  {1200, false, EINVAL, false},  // no plain file: once
  };
  for (const Step& step : steps) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(clocked.ReportFailedLine(step.error, step.opened, step.now, stderr), step.warns)
        << step.now;
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(!printed.empty(), step.warns) << step.now << printed;
  }
}

TEST(ServerLog, LineIsTimeStampBlankAndMessage) {
  TempHome home;
  WriteLogLine(home.File("k.log"), At(2026, 12, 6, 8, 9, 10),
               "Received RequestType=0 (ECHO_REQUEST)");
  EXPECT_EQ(home.Read("k.log"), "2026-12-06 08:09:10 Received RequestType=0 (ECHO_REQUEST)\n");
}

TEST(ServerLog, DateVariablesNameADailyFile) {
  TempHome home;
  const std::string name = home.path() + "/k-$YYYY$MM${DD}.log";
  WriteLogLine(name, At(2026, 12, 6, 23, 59, 59), "first");
  WriteLogLine(name, At(2026, 12, 7, 0, 0, 1), "second");
  EXPECT_EQ(home.Read("k-20261206.log"), "2026-12-06 23:59:59 first\n");
  EXPECT_EQ(home.Read("k-20261207.log"), "2026-12-07 00:00:01 second\n");
  EXPECT_EQ(GetEnvLocked("DD"), "07");
  EXPECT_EQ(GetEnvLocked("MM"), "12");
  EXPECT_EQ(GetEnvLocked("YY"), "26");
  EXPECT_EQ(GetEnvLocked("YYYY"), "2026");
}

TEST(ServerLog, ProgramsStartedAfterAWriteSeeTheDateVariables) {
  TempHome home;
  WriteLogLine(home.File("k.log"), At(2031, 1, 2, 3, 4, 5), "x");
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], 1);
    const char* argv[] = {KES_ENV_PROBE, "DD", "MM", "YY", "YYYY", nullptr};
    ::execv(argv[0], const_cast<char**>(argv));
    ::_exit(127);
  }
  ::close(out[1]);
  std::string printed;
  char buf[256];
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) printed.append(buf, n);
  ::close(out[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(printed, "DD=02\nMM=01\nYY=31\nYYYY=2031\n");
}

TEST(ServerLog, NothingIsWrittenWithoutALogFile) {
  TempHome home;
  ServerConfig config(home.ConfPath());
  LogMessage(config, "nowhere %d", 1);
  WriteLogLine("", At(2026, 1, 1, 0, 0, 0), "nowhere");
  EXPECT_TRUE(std::filesystem::is_empty(home.path()));
}

TEST(ServerLog, UnwritableFileIsDroppedSilently) {
  TempHome home;
  ServerConfig config(home.ConfPath());
  config.SetLogFile(home.path() + "/missing-dir/k.log");
  testing::internal::CaptureStderr();
  LogMessage(config, "dropped");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  config.SetLogFile("$KES_LOG_UNSET_VARIABLE");  // expands to nothing
  LogMessage(config, "dropped");
  EXPECT_TRUE(std::filesystem::is_empty(home.path()));
}

TEST(ServerLog, FileIsCreatedAgainAfterBeingRemoved) {
  TempHome home;
  ServerConfig config(home.ConfPath());
  config.SetLogFile(home.File("k.log"));
  LogMessage(config, "one %s", "1");
  std::filesystem::remove(home.File("k.log"));
  LogMessage(config, "two %d", 2);
  const std::string text = home.Read("k.log");
  ASSERT_EQ(text.size(), 20u + 5 + 1);
  EXPECT_EQ(text.substr(20), "two 2\n");
}

TEST(ServerLog, LinesOfManyThreadsNeverMix) {
  TempHome home;
  ServerConfig config(home.ConfPath());
  config.SetLogFile(home.path() + "/k-$YYYY.log");
  const std::string payload(300, 'p');
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int k = 0; k < 200; ++k)
        LogMessage(config, "thread %d line %d %s", t, k, payload.c_str());
    });
  for (std::thread& t : threads) t.join();
  std::ifstream in(home.File("k-" + std::to_string(CurrentLocalTime().year) + ".log"));
  std::set<std::string> seen;
  std::string line;
  while (std::getline(in, line)) {
    ASSERT_GT(line.size(), 20u);
    const std::string message = line.substr(20);
    ASSERT_EQ(message.substr(message.size() - payload.size()), payload) << line;
    seen.insert(message.substr(0, message.size() - payload.size()));
  }
  EXPECT_EQ(seen.size(), 8u * 200u);
}

}  // namespace
}  // namespace kestrun
