// Preloaded programs built on kespreload, against an in-process server (the
// dispatcher behind a real listener): the program is launched as a dialog
// would launch it, registers over loopback, and is adopted by a job run or a
// capture step, or ended.
#include <dirent.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "config/server_config.h"
#include "jobs/preload.h"
#include "launch/execute.h"
#include "launch/running_jobs.h"
#include "protocol/messages/preload.h"
#include "server/dispatcher.h"
#include "server/listener.h"
#include "tests/jobs/run_client.h"
#include "tests/support/child_process.h"
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
    PreloadLimits limits;
    limits.registrationLimit = 2s;
    InstallPreloadHooks(server_, limits, [this] {
      return std::chrono::steady_clock::now() + std::chrono::milliseconds(advanced_.load());
    });
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

  void Announce(const std::string& job, const std::string& node = "pc1") {
    XDRWRAP m;
    messages::EncodeRequest(m, messages::StartBackgroundScriptRequest{
                                   node, "ann", static_cast<int32_t>(kClientPid), job});
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
  // The callback port the program registered (0: none yet).
  int CallbackPortOf(uint32_t pid) {
    const std::string log = home_.Log();
    const std::string key = "registers waiting PID " + std::to_string(pid) + " PPID ";
    const size_t at = log.find(key);
    if (at == std::string::npos) return 0;
    const size_t port = log.find(" port ", at);
    return port == std::string::npos ? 0 : std::atoi(log.c_str() + port + 6);
  }
  size_t TableSize() {
    std::lock_guard<std::mutex> guard(server_.preloads->lock());
    return server_.preloads->size();
  }
  void SetRegistrationLimit(std::chrono::milliseconds limit) {
    std::lock_guard<std::mutex> guard(server_.preloads->lock());
    server_.preloads->limits.registrationLimit = limit;
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
  std::atomic<int64_t> advanced_{0};  // ms added to the table's clock
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

// The callback requests name a program by its public process id. From any
// process but the program they are refused and logged, and the run's
// variables never go to the port such a request names.
TEST_F(Preload, CallbackRequestsFromAnotherProcessAreRefused) {
  Announce("PRE");
  const uint32_t pid = Launch("PRE", {"run"});
  ASSERT_TRUE(Registered(pid)) << home_.Log();
  int trapPort = 0;
  std::optional<Socket> trap = net::ListenTcp(&trapPort, 4);
  ASSERT_TRUE(trap);
  const std::string pidText = std::to_string(pid), portText = std::to_string(trapPort);
  const int32_t id = static_cast<int32_t>(pid);
  struct Case {
    const char* what;
    bool unregister;
    int32_t pid, parentPid;
    std::string logged;
  } const cases[] = {
      {"register", false, id, 0,
       "Callback registration for PID " + pidText + " PPID 0 port " + portText +
           " refused: the request does not come from that program"},
      {"register as parent", false, 1, id,
       "Callback registration for PID 1 PPID " + pidText + " port " + portText +
           " refused: the request does not come from that program"},
      {"unregister", true, id, 0,
       "Callback deregistration for PID " + pidText +
           " refused: the request does not come from that program"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    XDRWRAP m;
    if (c.unregister)
      messages::EncodeRequest(m, messages::UnregisterWaitingForCallbackRequest{"pc1", c.pid});
    else
      messages::EncodeRequest(
          m, messages::RegisterWaitingForCallbackRequest{"pc1", c.pid, c.parentPid, trapPort, 0});
    std::optional<XDRWRAP> reply = Exchange(port_, m);
    ASSERT_TRUE(reply);
    EXPECT_EQ(messages::CallbackReply::Decode(*reply).result, messages::CallbackResult::Refused);
    EXPECT_NE(home_.Log().find(c.logged), std::string::npos) << home_.Log();
  }
  // The program's own registration stands: the run reaches it.
  RunClient run(port_, RunFields("PRE"));
  run.Header();
  EXPECT_EQ(run.ReadOutput().out, "pid " + pidText + " job PRE\n");
  EXPECT_EQ(run.Reply().exitCode, 7);
  EXPECT_EQ(net::WaitReadable(trap->get(), 0ms), WaitResult::Timeout) << "the trap was called";
}

// libkespreload takes the callback only from the server that started it: a
// connection from another process is closed unread, and the run that
// follows still reaches the program.
TEST_F(Preload, ProgramRefusesACallbackFromAnotherProcess) {
  Announce("PRE");
  const uint32_t pid = Launch("PRE", {"run"});
  ASSERT_TRUE(Registered(pid)) << home_.Log();
  const int callbackPort = CallbackPortOf(pid);
  ASSERT_NE(callbackPort, 0);
  ChildProcess intruder({kProgram, "0", "intrude", std::to_string(callbackPort)});
  EXPECT_EQ(intruder.WaitExit(10s), 0);
  RunClient run(port_, RunFields("PRE"));
  run.Header();
  EXPECT_EQ(run.ReadOutput().out, "pid " + std::to_string(pid) + " job PRE\n");
  EXPECT_EQ(run.Reply().exitCode, 7);
}

// From the server's side (this process started the program), only KES
// names are taken: LD_PRELOAD and PATH are not.
TEST_F(Preload, ProgramTakesOnlyKesNames) {
  Announce("PRE");
  const std::string report = home_.path() + "/report";
  const uint32_t pid = Launch("PRE", {"report", report});
  ASSERT_TRUE(Registered(pid)) << home_.Log();
  std::optional<Socket> callback = net::ConnectTcp(0x7F000001, CallbackPortOf(pid));
  ASSERT_TRUE(callback);
  std::string message;
  for (const std::string item : {"LD_PRELOAD=/tmp/evil.so", "PATH=/tmp", "KESJOBNAME=direct", ""}) {
    const uint32_t length = static_cast<uint32_t>(item.size());
    message.append(reinterpret_cast<const char*>(&length), 4);
    message += item;
  }
  const SendPiece piece{message.data(), message.size()};
  ASSERT_EQ(net::SendAll(callback->get(), {&piece, 1}), 0);
  std::string written;
  ASSERT_TRUE(WaitUntil([&] {
    std::ifstream in(report);
    std::getline(in, written);
    return !written.empty();
  }));
  EXPECT_EQ(written, "job direct preload ");
}

// Announcements are bounded: node names of at most 255 bytes, 16 entries per
// node, 256 in all.
TEST_F(Preload, AnnouncementsAreBounded) {
  Announce("PRE", std::string(256, 'n'));
  EXPECT_NE(home_.Log().find("Preload announcement refused: a client node name of 256 bytes is "
                             "longer than 255"),
            std::string::npos);
  EXPECT_EQ(TableSize(), 0u);
  Announce("PRE", std::string(255, 'n'));
  EXPECT_EQ(TableSize(), 1u);

  for (int i = 0; i < 17; ++i) Announce("PRE");
  EXPECT_EQ(CountOf(home_.Log(),
                    "ann@pc1 Preloading refused: the node has 16 preloads announced "
                    "already"),
            1u);
  EXPECT_EQ(TableSize(), 17u);
  for (int node = 0; node < 15; ++node)
    for (int i = 0; i < 16; ++i) Announce("PRE", "node" + std::to_string(node));
  EXPECT_EQ(TableSize(), 256u);
  EXPECT_EQ(CountOf(home_.Log(), "Preloading refused: 256 preloads are announced already"), 1u)
      << "the 256th of the last node is refused";
}

// An announcement that no dialog starts within 60 s goes, and no longer
// counts or starts a program.
TEST_F(Preload, UnstartedAnnouncementsExpire) {
  for (int i = 0; i < 16; ++i) Announce("PRE");
  advanced_ += 59'000;
  Announce("PRE");
  EXPECT_EQ(TableSize(), 16u) << "the node is still full";
  advanced_ += 1'000;
  Announce("PRE");
  EXPECT_EQ(TableSize(), 1u);
  advanced_ += 60'000;
  EXPECT_EQ(Launch("PRE", {"run"}), 0u);
  EXPECT_EQ(TableSize(), 0u);
}

// At most 8 preloaded programs run per client node.
TEST_F(Preload, AtMostEightProgramsPerNode) {
  SetRegistrationLimit(10s);
  for (int i = 0; i < 9; ++i) Announce("PRE");
  for (size_t i = 1; i <= 9; ++i) {
    Launch("PRE", {"silent"});
    EXPECT_EQ(jobs_.ListRunningJobs().size(), std::min<size_t>(i, 8)) << i;
  }
  EXPECT_NE(home_.Log().find("ann@pc1 Preloaded program \"" + kProgram +
                             "\" not started: the node already runs 8 preloaded programs"),
            std::string::npos);
  KillPreload(server_, "pc1", kClientPid);
}

// A program that no request takes within the registration limit is ended,
// whether or not a run ever comes, registered or not.
TEST_F(Preload, ProgramNotTakenInTimeIsEnded) {
  SetRegistrationLimit(1s);
  struct Case {
    const char* mode;
    const char* logged;
  } const cases[] = {{"hold", "was not taken by a request in time; ending it"},
                     {"silent", "did not register its callback port in time; ending it"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    Announce("PRE");
    const uint32_t pid = Launch("PRE", {c.mode});
    ASSERT_NE(pid, 0u);
    if (std::string(c.mode) == "hold") {
      ASSERT_TRUE(Registered(pid));
    }
    EXPECT_TRUE(WaitUntil([&] { return kill(pid, 0) != 0; }));
    EXPECT_NE(home_.Log().find("(PID " + std::to_string(pid) + ") " + c.logged), std::string::npos)
        << home_.Log();
    EXPECT_EQ(TableSize(), 0u);
  }
}

}  // namespace
}  // namespace kestrun::test
