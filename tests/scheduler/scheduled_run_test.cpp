// Scheduled runs made in this process with real programs: the prevalidate
// and validate rule, the running conditions, and bad input (a log directory
// that cannot be written, a missing standard-input file, an unknown
// dependent, a cycle of dependents), each leaving no thread or descriptor
// behind. The minute tick with an injected clock over a loaded kestrun.conf.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/environment.h"
#include "config/server_config.h"
#include "launch/running_jobs.h"
#include "scheduler/scheduler.h"
#include "tests/support/server_home.h"
#include "tests/support/waiting.h"

namespace kestrun {
namespace {

using namespace std::chrono_literals;

const std::string kChild = KES_JOB_CHILD;
const LocalTime kNow{2024, 3, 3, 21, 5, 0, 6};

size_t OpenDescriptors() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++n;
  return n;
}

int Threads() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

// A home with `jobs` in its kestrun.conf, loaded, with a scheduler whose
// clock always reads kNow.
class Runs : public testing::Test {
 protected:
  void Load(const std::string& jobs, bool logDirectory = true) {
    if (logDirectory) std::filesystem::create_directory(home.path() + "/log");
    PutEnvLocked("KESTRUNHOME=" + home.path());
    home.WriteStandardConfig(1, jobs);
    config.SetConfigPath(home.path() + "/kestrun.conf");
    LoadServerConfig(config);
    SchedulerOptions options;
    options.clock = [] { return ClockReading{0, kNow}; };
    options.notifyJobState = [this](const JobDefinition& job, bool started) {
      std::lock_guard<std::mutex> guard(notifyLock);
      notified.push_back(job.name + (started ? " started" : " stopped"));
    };
    scheduler = std::make_unique<Scheduler>(config, table, options);
  }
  void Start(const std::string& job) {
    scheduler->StartScheduledJob(*FindJobForUser(config, job, std::nullopt));
  }
  std::string Log() const { return home.Log(); }
  // The scheduler's lines of the server log without time stamps, the job
  // program and the home shortened to CHILD and HOME.
  std::string Lines() const {
    std::stringstream in(Log());
    std::string lines;
    for (std::string line; std::getline(in, line);) {
      const size_t at = line.find("SCHEDULER: ");
      if (at == std::string::npos) continue;
      line = std::regex_replace(line.substr(at + 11), std::regex(kChild), "CHILD");
      lines += std::regex_replace(line, std::regex(home.path()), "HOME") + "\n";
    }
    return lines;
  }
  std::string LogFile(const std::string& job) const {
    return home.ReadFile("log/" + job + "-20240303-2105.log");
  }
  void TearDown() override {
    if (scheduler) {
      EXPECT_TRUE(scheduler->WaitUntilIdle(10s));
    }
    EXPECT_TRUE(test::WaitUntil([&] { return OpenDescriptors() == descriptorsBefore; }))
        << OpenDescriptors() << " descriptors, " << descriptorsBefore << " before";
    EXPECT_TRUE(test::WaitUntil([&] { return Threads() == threadsBefore; }))
        << Threads() << " threads, " << threadsBefore << " before";
  }

  const size_t descriptorsBefore = OpenDescriptors();
  // The first thread of a process makes a sanitizer runtime start a helper
  // thread of its own: one started and joined first keeps it out of the count.
  const int threadsBefore = (std::thread([] {}).join(), Threads());
  test::TestHome home;
  ServerConfig config;
  RunningJobTable table;
  std::unique_ptr<Scheduler> scheduler;
  std::mutex notifyLock;
  std::vector<std::string> notified;  // guarded by notifyLock
};

struct CheckCase {
  const char* name;
  const char* prevalidate;  // "" for none
  const char* validate;
  const char* lines;  // after "Running timed job "CHECKED""
};

class Checks : public Runs, public testing::WithParamInterface<CheckCase> {};

TEST_P(Checks, ExitCodeZeroLetsTheRunGoOn) {
  const CheckCase& c = GetParam();
  std::string job = "CHECKED:\n program = " + kChild + "\n param = exit\n param = 4\n";
  if (*c.prevalidate) job += std::string(" prevalidatewith = ") + c.prevalidate + "\n";
  if (*c.validate) job += std::string(" validatewith = ") + c.validate + "\n";
  Load(job);
  Start("CHECKED");
  ASSERT_TRUE(scheduler->WaitUntilIdle(10s));
  EXPECT_EQ(Lines(), std::string("Running timed job \"CHECKED\"\n") + c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Validation, Checks,
    testing::Values(
        CheckCase{"BothPass", "/bin/true", "/bin/true",
                  "PreValidate script \"/bin/true\" exits code 0\n"
                  "Validate script \"/bin/true\" exits code 0\nScript \"CHILD\" exits code 4\n"},
        CheckCase{"PrevalidateFailsValidateStillRuns", "/bin/false", "/bin/true",
                  "PreValidate script \"/bin/false\" exits code 1\n"
                  "Validate script \"/bin/true\" exits code 0\n"},
        CheckCase{"ValidateFails", "", "/bin/false",
                  "Validate script \"/bin/false\" exits code 1\n"},
        CheckCase{"PrevalidateNotStartable", "/no/such/check", "/bin/true",
                  "PreValidate script \"/no/such/check\" failed to execute\n"
                  "Validate script \"/bin/true\" exits code 0\n"},
        CheckCase{"ValidateNotStartable", "", "/no/such/check",
                  "Validate script \"/no/such/check\" failed to execute\n"}),
    [](const testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

TEST_F(Runs, OutputAndErrorShareTheLogFileAndRunGroupHearsBothEnds) {
  Load("BOTH:\n program = " + kChild + "\n param = both\n");
  Start("BOTH");
  ASSERT_TRUE(scheduler->WaitUntilIdle(10s));
  EXPECT_EQ(LogFile("BOTH"), "out\nerr\n");
  std::lock_guard<std::mutex> guard(notifyLock);
  EXPECT_EQ(notified, (std::vector<std::string>{"BOTH started", "BOTH stopped"}));
}

TEST_F(Runs, UnwritableLogAndMissingInputAreLoggedAndTheProgramStillRuns) {
  Load("NOLOG:\n program = " + kChild +
           "\n param = cat\n param = 6\n autorunstandardinput = $KESTRUNHOME/in/$KESJOBNAME.txt\n",
       false);
  home.WriteFile("log", "a file where the directory should be");
  Start("NOLOG");
  ASSERT_TRUE(scheduler->WaitUntilIdle(10s));
  EXPECT_EQ(Lines(),
            "Running timed job \"NOLOG\"\n"
            "Could not open file \"HOME/log/NOLOG-20240303-2105.log\" for write\n"
            "Could not open file \"HOME/in/NOLOG.txt\" for read\nScript \"CHILD\" exits code 6\n");
}

TEST_F(Runs, ProgramThatCannotStartCountsAsFailureAndUnknownDependentIsLogged) {
  Load(
      "BROKEN:\n program = /no/such/program\n autorunonfailure = { NOSUCH,REPORT}\n\nREPORT:\n"
      " program = " +
      kChild + "\n param = env\n param = KESPARENTEXITCODE\n param = KESREASON\n");
  Start("BROKEN");
  ASSERT_TRUE(scheduler->WaitUntilIdle(10s));
  EXPECT_EQ(Lines(),
            "Running timed job \"BROKEN\"\n"
            "Failed to run script \"/no/such/program\": Error 2 (No such file or directory)\n"
            "Dependent job \" NOSUCH\" of BROKEN does not exist\n"
            "Running dependent job \"REPORT\"\nScript \"CHILD\" exits code 0\n");
  EXPECT_EQ(LogFile("REPORT"), "KESPARENTEXITCODE=1\nKESREASON=TIMED\n");
}

TEST_F(Runs, CycleStartsOneRunPerFinishedRunAndIsLoggedOnce) {
  Load(
      "A:\n program = /bin/true\n autorunonsuccess = B\n\nB:\n program = /bin/true\n"
      " autorunonsuccess = A\n");
  Start("A");
  ASSERT_TRUE(test::WaitUntil([&] { return test::CountOf(Log(), "exits code 0") >= 6; }));
  // Breaking the cycle lets the chain end.
  home.WriteStandardConfig(
      1, "A:\n program = /bin/true\n autorunonsuccess = B\n\nB:\n program = /bin/true\n");
  ReloadServerConfig(config);
  ASSERT_TRUE(scheduler->WaitUntilIdle(10s));
  const std::string lines = Lines();
  EXPECT_EQ(test::CountOf(lines, "closes a cycle"), 1u) << lines;
  EXPECT_NE(lines.find("\nDependent job A of B closes a cycle"), std::string::npos) << lines;
  // One run at a time: every start is followed by its end before the next.
  const std::string runs = std::regex_replace(lines, std::regex("Dependent job.*\n"), "");
  EXPECT_TRUE(std::regex_match(runs, std::regex("(Running (timed|dependent) job \"[AB]\"\n"
                                                "Script \"/bin/true\" exits code 0\n)+")))
      << lines;
}

// The run holds on until the test opens and closes the FIFO `hold`, which
// the program itself waits on; its standard input is the plain file `in`.
TEST_F(Runs, JobThatDeniesItselfIsNotStartedTwice) {
  ASSERT_EQ(::mkfifo((home.path() + "/hold").c_str(), 0600), 0);
  home.WriteFile("in", "held\n");
  Load("HOLD:\n program = " + kChild + "\n param = cat-then-wait\n param = " + home.path() +
       "/hold\n denyifjobrunning = {HOLD}\n autorunstandardinput = $KESTRUNHOME/in\n");
  Start("HOLD");
  // Opening the FIFO meets the program's open; the program then holds it.
  const int writer = ::open((home.path() + "/hold").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  ASSERT_TRUE(test::WaitUntil([&] { return table.IsJobRunning("HOLD", std::nullopt); }));
  Start("HOLD");
  EXPECT_TRUE(test::WaitUntil([&] { return test::CountOf(Lines(), "HOLD") == 2; }));
  ::close(writer);
  ASSERT_TRUE(scheduler->WaitUntilIdle(10s));
  EXPECT_EQ(Lines(),
            "Running timed job \"HOLD\"\nCannot run timed job HOLD - it is already running\n"
            "Script \"CHILD\" exits code 0\n");
  EXPECT_EQ(LogFile("HOLD"), "held\n");
}

TEST_F(Runs, SecondRunInTheSameMinuteLeavesTheFirstRunsLogFileAlone) {
  ASSERT_EQ(::mkfifo((home.path() + "/hold").c_str(), 0600), 0);
  home.WriteFile("in", "first\n");
  Load("TWICE:\n program = " + kChild + "\n param = cat-then-wait\n param = " + home.path() +
       "/hold\n autorunstandardinput = $KESTRUNHOME/in\n");
  Start("TWICE");
  const int writer = ::open((home.path() + "/hold").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  ASSERT_TRUE(test::WaitUntil([&] { return LogFile("TWICE") == "first\n"; }));
  Start("TWICE");
  EXPECT_TRUE(test::WaitUntil([&] { return test::CountOf(Lines(), "for write") == 1; }));
  ::close(writer);
  // Both programs wait on the FIFO, whenever each reaches it: every brief
  // writer that meets a reader lets the readers there go.
  EXPECT_TRUE(test::WaitUntil([&] {
    const int fd = ::open((home.path() + "/hold").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
    return test::CountOf(Lines(), "exits code 0") == 2;
  }));
  ASSERT_TRUE(scheduler->WaitUntilIdle(10s));
  EXPECT_EQ(LogFile("TWICE"), "first\n");
  EXPECT_EQ(test::CountOf(Lines(), "Script \"CHILD\" exits code 0"), 2u) << Lines();
}

// What is already in log/ under the run's file name is never opened: a
// symbolic link to another file leaves that file as it was, and the run goes
// on without output. A job name that leaves log/ is refused when the file is
// created even if it got past the reader.
TEST_F(Runs, LogFileNameThatExistsOrLeavesTheFolderIsNeverOpened) {
  home.WriteFile("precious", "keep me\n");
  Load("LINKED:\n program = " + kChild + "\n param = both\n");
  ASSERT_EQ(::symlink((home.path() + "/precious").c_str(),
                      (home.path() + "/log/LINKED-20240303-2105.log").c_str()),
            0);
  Start("LINKED");
  ASSERT_TRUE(scheduler->WaitUntilIdle(10s));
  EXPECT_EQ(home.ReadFile("precious"), "keep me\n");
  EXPECT_EQ(Lines(),
            "Running timed job \"LINKED\"\nCould not open file \"HOME/log/"
            "LINKED-20240303-2105.log\" for write\nScript \"CHILD\" exits code 0\n");

  JobDefinition escaping = *FindJobForUser(config, "LINKED", std::nullopt);
  escaping.name = "../ESCAPED";
  scheduler->StartScheduledJob(escaping);
  ASSERT_TRUE(scheduler->WaitUntilIdle(10s));
  EXPECT_FALSE(std::filesystem::exists(home.path() + "/ESCAPED-20240303-2105.log"));
  EXPECT_EQ(test::CountOf(Lines(), "ESCAPED-20240303-2105.log\" for write"), 1u) << Lines();
}

// A FIFO as standard input is refused at once instead of holding the run's
// thread until a writer comes; the program runs without input.
TEST_F(Runs, FifoAsStandardInputIsRefusedWithoutWaiting) {
  ASSERT_EQ(::mkfifo((home.path() + "/fifo").c_str(), 0600), 0);
  Load("FED:\n program = " + kChild +
       "\n param = cat\n autorunstandardinput = $KESTRUNHOME/fifo\n");
  Start("FED");
  ASSERT_TRUE(scheduler->WaitUntilIdle(5s));
  EXPECT_EQ(Lines(),
            "Running timed job \"FED\"\nCould not open file \"HOME/fifo\" for read\n"
            "Script \"CHILD\" exits code 0\n");
}

TEST_F(Runs, TickStartsDueEntriesOfTheCurrentConfiguration) {
  Load(
      "FIRST:\n program = /bin/true\n autorun = on\n autoruntimes = 21:05, 21:05\n\n"
      "OTHER:\n program = /bin/true\n autorun = on\n autoruntimes = 21:06\n autorundays = SUN\n");
  std::vector<std::string> started;
  int minute = 5;  // of 21:00 on Sunday, 2024-03-03
  SchedulerOptions options;
  options.clock = [&] { return ClockReading{minute * 60, {2024, 3, 3, 21, minute, 0, 6}}; };
  options.testStartTimedRun = [&](const JobDefinition& job) { started.push_back(job.name); };
  Scheduler ticking(config, table, options);
  for (const int at : {5, 6, 9}) {
    minute = at;
    ticking.Tick();
  }
  EXPECT_EQ(started, (std::vector<std::string>{"FIRST", "FIRST", "OTHER"}));
  EXPECT_EQ(Lines(),
            "3 minutes passed since the previous tick; runs due in between are not started\n");
}

}  // namespace
}  // namespace kestrun
