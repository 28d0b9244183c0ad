// Preloaded programs built on kespreload, against an in-process server (the
// dispatcher behind a real listener): the program is launched as a dialog
// would launch it, registers over loopback, and is adopted by a job run or a
// capture step, or ended.
#include <dirent.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "config/server_config.h"
#include "jobs/preload.h"
#include "launch/running_jobs.h"
#include "server/dispatcher.h"
#include "server/listener.h"
#include "tests/jobs/run_client.h"
#include "tests/support/server_home.h"
#include "tests/support/waiting.h"

namespace kestrun::test {
namespace {

using namespace std::chrono_literals;
const std::string kProgram = KES_PRELOAD_PROGRAM;
constexpr uint32_t kClientPid = 4242;

size_t CountEntries(const char* dir) {
  size_t n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

class Preload : public testing::Test {
 protected:
  void SetUp() override {
    fds_ = CountEntries("/proc/self/fd");
    threads_ = CountEntries("/proc/self/task");
    server_.runningJobs = &jobs_;
    server_.config = &config_;
    InstallPreloadHooks(server_, 2s);  // the registration limit
    listener_ = RequestListener::Create(server_, &port_);
    ASSERT_TRUE(listener_);
    const std::string job = "  program = " + kProgram + "\n  preload = " + kProgram +
                            "\n  param = " + std::to_string(port_) + "\n  usetty = off\n";
    home_.WriteStandardConfig(port_, "PRE:\n" + job + "  param = run\n\nHOLD:\n" + job +
                                         "  param = hold\n  allowstop = on\n\nDEAF:\n" + job +
                                         "  param = deaf\n");
    config_.SetConfigPath(home_.path() + "/kestrun.conf");
    LoadServerConfig(config_);
    thread_ = std::thread([this] { listener_->Run(stop_); });
  }
  void TearDown() override {
    // Every program ended, its run thread gone, nothing left open.
    EXPECT_TRUE(WaitUntil([&] { return jobs_.ListRunningJobs().empty(); }, 10s));
    stop_ = true;
    ConnectToServer(port_, "127.0.0.1");  // wakes the accept
    thread_.join();
    listener_.reset();
    EXPECT_TRUE(WaitUntil([&] { return CountEntries("/proc/self/task") <= threads_; }, 10s))
        << "threads left";
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds_) << "descriptors left";
  }

  void Announce(const std::string& job) {
    XDRWRAP m;
    m.BeginEncode();
    m.AddEnum(START_BACKGROUND_SCRIPT);
    m.AddString("pc1");
    m.AddString("ann");
    m.AddLong(kClientPid);
    m.AddString(job);
    ASSERT_TRUE(Exchange(port_, m));
  }
  // Launches the program as GET_DIALOG_DATA does; its process id (0: none).
  uint32_t Launch(const std::string& jobName, std::vector<std::string> args) {
    std::optional<JobDefinition> job = FindJobForUser(config_, jobName, "ann");
    EXPECT_TRUE(job);
    if (!job) return 0;
    args.insert(args.begin(), {kProgram, std::to_string(port_)});
    LaunchPreload(server_, *job, "pc1", kClientPid, args, {"KESCLIENTUSERNAME=ann"});
    for (const RunningJob& r : jobs_.ListRunningJobs())
      if (r.jobName == job->name) return r.processId;
    return 0;
  }
  bool Registered(uint32_t pid) {
    return WaitUntil([&] {
      return home_.Log().find("registers waiting PID " + std::to_string(pid)) != std::string::npos;
    });
  }
  CaptureOutcome Step(const std::string& step, const std::string& status) {
    ExecutionContext context{jobs_, server_.runHooks, {}};
    return ExecuteAndCapture(context, {kProgram, std::to_string(port_), "steps"}, "pc1", kClientPid,
                             {"KESSTEP=" + step, "KESSTATUS=" + status, "OTHER=x"});
  }

  size_t fds_ = 0, threads_ = 0;
  TestHome home_;
  ServerConfig config_;
  RunningJobTable jobs_;
  ServerContext server_;
  int port_ = 0;
  std::optional<RequestListener> listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The run goes to the program that was already running: same process id,
// the run's KES variables, its exit code.
TEST_F(Preload, RunAdoptsTheProgramWithoutANewProcess) {
  Announce("PRE");
  const uint32_t pid = Launch("PRE", {"run"});
  ASSERT_NE(pid, 0u);
  ASSERT_TRUE(Registered(pid)) << home_.Log();
  RunClient run(port_, RunFields("PRE"));
  run.Header();
  const RunOutput out = run.ReadOutput();
  EXPECT_EQ(out.out, "pid " + std::to_string(pid) + " job PRE\n");
  EXPECT_EQ(run.Reply().exitCode, 7);
}

TEST_F(Preload, StopIdOfTheRunStopsTheAdoptedProgram) {
  Announce("HOLD");
  const uint32_t pid = Launch("HOLD", {"hold"});
  ASSERT_TRUE(Registered(pid)) << home_.Log();
  RunClient run(port_, RunFields("HOLD"));
  const std::array<uint32_t, 5> header = run.Header();
  RunOutput out;
  ASSERT_TRUE(run.ReadOutputUntil("job HOLD", out));
  EXPECT_TRUE(jobs_.KillJobByStopId(header[2])) << "stop id " << header[2];
  run.ReadOutput();
  EXPECT_EQ(run.Reply().exitCode, 1);
}

// Capture steps: status byte, output cut at 0x04, the program serving step
// after step.
TEST_F(Preload, CaptureStepsStatusAndCut) {
  Announce("PRE");
  const uint32_t pid = Launch("PRE", {"steps"});
  ASSERT_TRUE(Registered(pid)) << home_.Log();
  struct Case {
    const char* step;
    const char* status;
    int32_t expected;
  } const cases[] = {{"one", "0", 0}, {"two", "255", -1}, {"three", "-5", -5}, {"four", "42", 42}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step);
    const CaptureOutcome r = Step(c.step, c.status);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.exitStatus, c.expected);
    EXPECT_EQ(r.capture.stdoutData, std::string("step ") + c.step);
    EXPECT_EQ(r.capture.stderrData, std::string("err ") + c.step);
  }
  KillPreload(server_, "pc1", kClientPid);
}

// A wrapper that starts the program as its child: the program registers
// under the wrapper's id as parent.
TEST_F(Preload, RegistrationUnderTheParentsProcessId) {
  const std::string wrapper = home_.path() + "/wrapper.sh";
  home_.WriteFile("wrapper.sh", "#!/bin/sh\n\"$@\"\nexit $?\n");
  chmod(wrapper.c_str(), 0755);
  home_.WriteConfig("port=" + std::to_string(port_) + "\nlogfile=" + home_.LogPath() +
                    "\nWRAP:\n  program = " + wrapper + "\n  preload = " + wrapper +
                    "\n  param = " + kProgram + "\n  param = " + std::to_string(port_) +
                    "\n  param = run\n  usetty = off\n");
  ReloadServerConfig(config_);
  Announce("WRAP");
  std::optional<JobDefinition> job = FindJobForUser(config_, "WRAP", "ann");
  ASSERT_TRUE(job);
  LaunchPreload(server_, *job, "pc1", kClientPid, {wrapper, kProgram, std::to_string(port_), "run"},
                {"KESCLIENTUSERNAME=ann"});
  const uint32_t pid = jobs_.ListRunningJobs().at(0).processId;
  ASSERT_TRUE(WaitUntil(
      [&] { return home_.Log().find("PPID " + std::to_string(pid)) != std::string::npos; }));
  RunClient run(port_, RunFields("WRAP"));
  run.Header();
  const RunOutput out = run.ReadOutput();
  EXPECT_NE(out.out.find("job WRAP"), std::string::npos) << out.out;
  EXPECT_EQ(run.Reply().exitCode, 7);
}

// Bad input from programs and clients: nothing hangs, nothing is left.
TEST_F(Preload, ProgramRegisteringTwiceIsAdoptedOnce) {
  Announce("PRE");
  const uint32_t pid = Launch("PRE", {"twice"});
  ASSERT_TRUE(WaitUntil(
      [&] { return CountOf(home_.Log(), "registers waiting PID " + std::to_string(pid)) == 2; }));
  RunClient run(port_, RunFields("PRE"));
  run.Header();
  EXPECT_EQ(run.ReadOutput().out, "pid " + std::to_string(pid) + " job PRE\n");
  EXPECT_EQ(run.Reply().exitCode, 7);
}

TEST_F(Preload, CallbackPortNobodyListensOnGivesAFreshRun) {
  Announce("DEAF");
  const uint32_t pid = Launch("DEAF", {"deaf"});
  ASSERT_TRUE(Registered(pid)) << home_.Log();
  // The run finds the port dead, ends the preloaded program and starts its
  // own (which, not preloaded, waits for no callback).
  RunClient run(port_, RunFields("DEAF"));
  run.Header();
  const RunOutput out = run.ReadOutput();
  EXPECT_EQ(out.out.find("pid " + std::to_string(pid)), std::string::npos) << out.out;
  EXPECT_NE(out.out.find("job DEAF"), std::string::npos) << out.out;
  EXPECT_NE(home_.Log().find("cannot be reached on its callback port"), std::string::npos);
}

// No entry when the program starts: never announced, or the client
// cancelled before the start. The program ends before it runs.
TEST_F(Preload, ProgramWithoutAnEntryEndsAtOnce) {
  EXPECT_EQ(Launch("PRE", {"run"}), 0u);
  Announce("PRE");
  KillPreload(server_, "pc1", kClientPid);  // the cancel beats the launch
  EXPECT_EQ(Launch("PRE", {"run"}), 0u);
  EXPECT_EQ(home_.Log().find("registers waiting"), std::string::npos);
}

// CANCEL_DIALOG's kill ends both programs of the client; a shutdown (every
// job killed) releases a request that waits for a registration.
TEST_F(Preload, KillEndsEveryProgramOfTheClientAndFreesWaiters) {
  Announce("PRE");
  Announce("HOLD");
  const uint32_t a = Launch("PRE", {"steps"});
  const uint32_t b = Launch("HOLD", {"hold"});
  ASSERT_TRUE(Registered(a) && Registered(b));
  KillPreload(server_, "pc1", kClientPid);
  EXPECT_TRUE(WaitUntil([&] { return kill(a, 0) != 0 && kill(b, 0) != 0; }));

  Announce("PRE");
  const uint32_t silent = Launch("PRE", {"silent"});  // never registers
  ASSERT_NE(silent, 0u);
  std::thread killer([&] {
    std::this_thread::sleep_for(200ms);
    jobs_.KillAllRunningJobs([](const std::string&) {});
  });
  const auto start = std::chrono::steady_clock::now();
  ExecutionContext context{jobs_, server_.runHooks, {}};
  const CaptureOutcome r =
      ExecuteAndCapture(context, {kProgram, std::to_string(port_), "exit"}, "pc1", kClientPid, {});
  EXPECT_EQ(r.exitStatus, 3) << "a program of its own ran";
  killer.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << "the waiter was not released";
}

// A program that never registers is ended after the limit, and the step runs
// a program of its own.
TEST_F(Preload, ProgramThatNeverRegistersIsReplacedAfterTheLimit) {
  Announce("PRE");
  const uint32_t silent = Launch("PRE", {"silent"});
  ASSERT_NE(silent, 0u);
  ExecutionContext context{jobs_, server_.runHooks, {}};
  const CaptureOutcome r =
      ExecuteAndCapture(context, {kProgram, std::to_string(port_), "exit"}, "pc1", kClientPid, {});
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_TRUE(WaitUntil([&] { return kill(silent, 0) != 0; }));
  EXPECT_NE(home_.Log().find("did not register its callback port in time"), std::string::npos);
}

}  // namespace
}  // namespace kestrun::test
