// Execute over real processes and a real loopback connection: the client's
// side reads frames and sends chunks as a client program would.
#include <signal.h>

#include <future>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>

#include <regex>

#include "base/environment.h"
#include "launch/execute.h"
#include "platform/home_directory.h"
#include "tests/support/child_io.h"
#include "tests/support/client_io.h"

namespace kestrun {
namespace {

using test::Chunk;
using test::kChild;
using test::LengthOnly;
using test::ReadAllFrames;
using test::ReadFrame;
using test::SendBytes;
using test::StreamData;

// One run of Execute on its own thread, as a request thread would make it.
struct ExecuteRig {
  RunningJobTable table;
  ExecutionContext context{table, {}};
  test::LoopbackPair connection = test::ConnectLoopback();
  // What the job's settings make of a run.
  struct {
    int32_t lockParameter = 0;
    bool preload = false;
  } job;
  std::vector<std::string> environment = {"PATH=/usr/bin:/bin"};
  std::function<void(bool)> stateChanged;

  std::future<RunOutcome> Start(std::vector<std::string> arguments, bool useTerminal = false,
                                std::optional<std::string> user = std::string("alice")) {
    RunDescription run;
    run.jobName = "TESTJOB";
    run.lockValue = LockValueOf(job.lockParameter, arguments);
    run.preload = job.preload;
    run.clientNode = "node1";
    run.clientProcessId = 4321;
    run.clientUser = std::move(user);
    run.useTerminal = useTerminal;
    run.arguments = std::move(arguments);
    run.environment = environment;
    run.stateChanged = stateChanged;
    return std::async(std::launch::async, [this, run = std::move(run)] {
      const RunOutcome outcome = Execute(context, run, connection.server.get());
      // The handler's end of the run: the client reads the end of the stream.
      connection.server.ShutdownSend();
      return outcome;
    });
  }
  SocketHandle client() const { return connection.client.get(); }
  // The next frame of a job that waits for our input before it goes on. When
  // none comes, the client goes away (the job reads end of input and ends)
  // and the result is empty, so the test fails rather than hangs.
  std::optional<test::Frame> FrameBeforeInput() {
    if (!test::AwaitInput(client())) {
      connection.client.Close();
      return std::nullopt;
    }
    return ReadFrame(client());
  }
};

void ExpectWellFormed(const std::vector<test::Frame>& frames) {
  for (const test::Frame& f : frames) {
    ASSERT_GE(f.length, 1u);
    ASSERT_LE(f.length, 1016u);
    ASSERT_LE(f.stream, 1u);
  }
}

TEST(Execute, OutputAndErrorArriveAsFramesAndTheExitCodeIsReturned) {
  ExecuteRig rig;
  auto run = rig.Start({kChild, "write", "to output\n", "to error\n"});
  ASSERT_TRUE(SendBytes(rig.client(), LengthOnly(0)));
  const auto frames = ReadAllFrames(rig.client());
  ExpectWellFormed(frames);
  EXPECT_EQ(StreamData(frames, 0), "to output\n");
  EXPECT_EQ(StreamData(frames, 1), "to error\n");
  const RunOutcome outcome = run.get();
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.exitStatus, 0);
}

TEST(Execute, ExitCodesAndSignalDeaths) {
  {
    ExecuteRig rig;
    auto run = rig.Start({kChild, "exit", "42"});
    EXPECT_TRUE(ReadAllFrames(rig.client()).empty());  // no output: no frame at all
    const RunOutcome outcome = run.get();
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.exitStatus, 42);
  }
  {
    ExecuteRig rig;
    auto run = rig.Start({kChild, "signal", "15"});
    const RunOutcome outcome = run.get();
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.exitStatus, 128 + 15);
  }
}

TEST(Execute, StreamsOfBothOutputsNeverInterleaveWithinAFrame) {
  ExecuteRig rig;
  constexpr long kBytes = 1 << 20;
  auto run = rig.Start({kChild, "both", std::to_string(kBytes)});
  ASSERT_TRUE(SendBytes(rig.client(), LengthOnly(0)));
  const auto frames = ReadAllFrames(rig.client());
  ExpectWellFormed(frames);
  const std::string out = StreamData(frames, 0), err = StreamData(frames, 1);
  ASSERT_EQ(out.size(), static_cast<size_t>(kBytes));
  ASSERT_EQ(err.size(), static_cast<size_t>(kBytes));
  for (size_t i = 0; i < out.size(); ++i) {
    ASSERT_EQ(out[i], static_cast<char>('a' + i % 26)) << i;
    ASSERT_EQ(err[i], static_cast<char>('A' + i % 26)) << i;
  }
  EXPECT_EQ(run.get().result, 0);
}

TEST(Execute, OutputReachesTheClientWhileTheJobRuns) {
  ExecuteRig rig;
  auto run = rig.Start({kChild, "lines"});
  // The job writes its second line only after our input arrives: the first
  // frame must come before that.
  const auto first = rig.FrameBeforeInput();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->data, "first\n");
  ASSERT_TRUE(SendBytes(rig.client(), Chunk("x") + LengthOnly(0)));
  EXPECT_EQ(StreamData(ReadAllFrames(rig.client()), 0), "second\n");
  EXPECT_EQ(run.get().result, 0);
}

TEST(Execute, InputChunksReachTheProgramAndLengthZeroEndsIt) {
  ExecuteRig rig;
  auto run = rig.Start({kChild, "cat"});
  ASSERT_TRUE(SendBytes(rig.client(), Chunk("hello ") + Chunk("world") + LengthOnly(0)));
  EXPECT_EQ(StreamData(ReadAllFrames(rig.client()), 0), "hello world");
  const RunOutcome outcome = run.get();
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.exitStatus, 0);
}

TEST(Execute, FirstChunkOfLengthZeroClosesTheInputAtOnce) {
  ExecuteRig rig;
  auto run = rig.Start({kChild, "cat"});
  ASSERT_TRUE(SendBytes(rig.client(), LengthOnly(0)));
  EXPECT_TRUE(ReadAllFrames(rig.client()).empty());
  const RunOutcome outcome = run.get();
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.exitStatus, 0);
}

TEST(Execute, ALargeChunkIsWrittenThroughAsItArrives) {
  ExecuteRig rig;
  auto run = rig.Start({kChild, "cat"});
  constexpr uint32_t kAnnounced = 1000000;
  // Only the first bytes of a large chunk: they reach the program (and come
  // back) before the rest of the chunk was even sent.
  ASSERT_TRUE(SendBytes(rig.client(), LengthOnly(kAnnounced) + "0123456789"));
  const auto echo = ReadFrame(rig.client());
  ASSERT_TRUE(echo);
  EXPECT_EQ(echo->data, "0123456789");
  std::string rest(kAnnounced - 10, 'r');
  std::thread sender([&] { SendBytes(rig.client(), rest + LengthOnly(0)); });
  const std::string more = StreamData(ReadAllFrames(rig.client()), 0);
  sender.join();
  EXPECT_EQ(more, rest);
  EXPECT_EQ(run.get().result, 0);
}

TEST(Execute, ClientThatDisconnectsLeavesTheJobRunningAndGets10000) {
  ExecuteRig rig;
  // The job waits for its input to end, then writes 1 MB and exits 3.
  auto run = rig.Start({kChild, "after-eof", "1048576", "3"});
  const auto started = ReadFrame(rig.client());
  ASSERT_TRUE(started);
  EXPECT_EQ(started->data, "started\n");
  rig.connection.client.Close();
  const RunOutcome outcome = run.get();
  EXPECT_EQ(outcome.result, kStreamFailure);
  EXPECT_EQ(outcome.exitStatus, 3);  // it ran to its end, not killed and not blocked
}

TEST(Execute, ChunkSentAfterTheProgramEndedIsACommunicationFailure) {
  ExecuteRig rig;
  // The job exits at once; its grandchild keeps the output open (not the
  // input), so the run is still streaming when the chunk arrives.
  auto run = rig.Start({kChild, "linger"});
  const auto grandchild = ReadFrame(rig.client());
  ASSERT_TRUE(grandchild);
  const auto jobs = rig.table.ListRunningJobs();
  ASSERT_EQ(jobs.size(), 1u);
  test::AwaitProcessEnd(static_cast<int>(jobs[0].processId));
  ASSERT_TRUE(SendBytes(rig.client(), Chunk("too late")));
  // The chunk is on its way before the run can end: the grandchild goes.
  ASSERT_EQ(kill(std::stoi(grandchild->data), SIGKILL), 0);
  EXPECT_TRUE(ReadAllFrames(rig.client()).empty());
  const RunOutcome outcome = run.get();
  EXPECT_EQ(outcome.result, kStreamFailure);
  EXPECT_EQ(outcome.exitStatus, 0);
}

TEST(Execute, JobThatNeverReadsItsInputEndsTheRunWhenItEnds) {
  ExecuteRig rig;
  // The client sends nothing more: the run must still end with the job.
  auto run = rig.Start({kChild, "ignore-input"});
  EXPECT_EQ(StreamData(ReadAllFrames(rig.client()), 0), "done\n");
  const RunOutcome outcome = run.get();
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.exitStatus, 0);
}

TEST(Execute, JobThatNeverReadsAChunkInProgressIsACommunicationFailure) {
  ExecuteRig rig;
  auto run = rig.Start({kChild, "ignore-input"});
  ASSERT_TRUE(SendBytes(rig.client(), LengthOnly(10) + "12345"));  // half a chunk
  EXPECT_EQ(StreamData(ReadAllFrames(rig.client()), 0), "done\n");
  EXPECT_EQ(run.get().result, kStreamFailure);
}

TEST(Execute, ProgramSeesOnlyItsThreeStandardDescriptors) {
  ExecuteRig rig;
  auto run = rig.Start({kChild, "fds"});
  EXPECT_EQ(StreamData(ReadAllFrames(rig.client()), 0), "0\n1\n2\n");
  EXPECT_EQ(run.get().result, 0);
}

TEST(Execute, EachArgumentIsExpandedOnItsOwnAgainstTheRunsEnvironment) {
  ExecuteRig rig;
  rig.environment = {"HOME=/home/k", "X=ex", "P=a b \"c\"", "PATH=/usr/bin:/bin"};
  auto run = rig.Start({kChild, "args", "$HOME", "${HOME}", "${{HOME}}", "${HOME rest", "[$UNSET]",
                        "$$X", "$P", "two words"});
  EXPECT_EQ(StreamData(ReadAllFrames(rig.client()), 0),
            "</home/k>\n</home/k>\n</home/k>\n</home/k rest>\n<[]>\n<ex>\n<a b \"c\">\n"
            "<two words>\n");
  EXPECT_EQ(run.get().result, 0);
}

TEST(Execute, ProgramGetsTheRunsEnvironmentSorted) {
  ExecuteRig rig;
  // A marker in the given environment is replaced by the run's own.
  rig.environment = {"b=1", "\xC3X=2", "KESJOBNAME=TESTJOB", "KESRUNMARKER=forged", "A=3"};
  auto run = rig.Start({kChild, "env"});
  const std::string env = StreamData(ReadAllFrames(rig.client()), 0);
  EXPECT_TRUE(
      std::regex_match(env, std::regex("A=3\nKESJOBNAME=TESTJOB\nKESRUNMARKER=[0-9a-f]{32}\\.[0-9a-"
                                       "f]{16}\\.[0-9]+\\.[0-9]+\nb=1\n\xC3X=2\n")))
      << env;
  EXPECT_EQ(run.get().result, 0);
  // The caller's vector is left as it was.
  EXPECT_EQ(rig.environment.front(), "b=1");
}

TEST(Execute, LaunchFailuresReturnTheSystemsErrorAndStartNothing) {
  ExecuteRig rig;
  auto run = rig.Start({"/nonexistent/job"});
  EXPECT_TRUE(ReadAllFrames(rig.client()).empty());
  EXPECT_EQ(run.get().result, ENOENT);
  EXPECT_TRUE(rig.table.ListRunningJobs().empty());
}

TEST(Execute, RunIsInTheRunningJobTableWhileItRuns) {
  ExecuteRig rig;
  rig.job.lockParameter = 2;
  auto run = rig.Start({kChild, "lines", "db7"});
  ASSERT_TRUE(ReadFrame(rig.client()));
  const auto jobs = rig.table.ListRunningJobs();
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].jobName, "TESTJOB");
  EXPECT_EQ(jobs[0].clientUser, "alice");
  EXPECT_EQ(jobs[0].lockValue, "db7");
  EXPECT_GT(jobs[0].ownerThreadId, 0u);
  EXPECT_NE(jobs[0].ownerThreadId, static_cast<uint32_t>(getpid()));  // the run's thread
  EXPECT_TRUE(rig.table.IsJobRunning("TESTJOB", std::string("db7")));
  ASSERT_TRUE(SendBytes(rig.client(), Chunk("x") + LengthOnly(0)));
  ReadAllFrames(rig.client());
  EXPECT_EQ(run.get().result, 0);
  EXPECT_TRUE(rig.table.ListRunningJobs().empty());
}

TEST(Execute, KilledJobWithChildAndGrandchildReportsExitCode1) {
  ExecuteRig rig;
  auto run = rig.Start({kChild, "tree"});
  std::string pids;
  while (std::count(pids.begin(), pids.end(), '\n') < 3) {
    const auto f = ReadFrame(rig.client());
    ASSERT_TRUE(f);
    pids += f->data;
  }
  const auto jobs = rig.table.ListRunningJobs();
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(rig.table.KillJobByProcessId(jobs[0].processId), "TESTJOB");
  EXPECT_TRUE(ReadAllFrames(rig.client()).empty());
  const RunOutcome outcome = run.get();
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.exitStatus, 1);
}

TEST(Execute, StopByStopIdEndsTheRun) {
  ExecuteRig rig;
  auto run = rig.Start({kChild, "lines"});
  ASSERT_TRUE(ReadFrame(rig.client()));
  const auto jobs = rig.table.ListRunningJobs();
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_TRUE(rig.table.KillJobByStopId(jobs[0].ownerThreadId));
  const RunOutcome outcome = run.get();
  EXPECT_EQ(outcome.exitStatus, 1);
  EXPECT_TRUE(rig.table.ListRunningJobs().empty());
}

TEST(Execute, AnOutputPumpThatCannotStartFailsTheLaunchAndEndsTheProgram) {
  ExecuteRig rig;
  int threads = 0;
  rig.context.startThread = [&](std::function<void()> body) {
    if (++threads == 2) throw std::system_error(EAGAIN, std::generic_category());
    return std::thread(std::move(body));
  };
  std::vector<bool> states;
  rig.stateChanged = [&](bool started) { states.push_back(started); };
  // Far more than a pipe holds: without its pump the program would block.
  auto run = rig.Start({kChild, "stream", "4194304"});
  ASSERT_EQ(run.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  const RunOutcome outcome = run.get();
  EXPECT_EQ(outcome.result, EAGAIN);
  EXPECT_TRUE(rig.table.ListRunningJobs().empty());
  EXPECT_EQ(states, (std::vector<bool>{true, false}));
}

TEST(Execute, RunGroupIsToldOfStartAndStop) {
  ExecuteRig rig;
  std::vector<std::string> events;
  rig.stateChanged = [&](bool started) {
    events.push_back(std::string("TESTJOB") + (started ? " started" : " stopped"));
  };
  auto run = rig.Start({kChild, "exit", "0"});
  EXPECT_EQ(run.get().result, 0);
  EXPECT_EQ(events, (std::vector<std::string>{"TESTJOB started", "TESTJOB stopped"}));
}

TEST(Execute, PreloadedProgramIsAskedForOnlyForAPreloadJob) {
  ExecuteRig rig;
  std::vector<std::string> asked;
  rig.context.hooks.adoptPreloadForRun = [&](const PreloadRequest& r,
                                             SocketHandle) -> std::optional<RunOutcome> {
    asked.push_back(r.clientNode + " " + std::to_string(r.clientProcessId) + " " + r.programPath);
    if (r.programPath == "/preloaded") return RunOutcome{0, 77};
    return std::nullopt;
  };
  EXPECT_EQ(rig.Start({kChild, "exit", "5"}).get().exitStatus, 5);
  EXPECT_TRUE(asked.empty());  // the job has no preload program

  rig.job.preload = true;
  ExecuteRig other;
  other.job.preload = true;
  other.context.hooks.adoptPreloadForRun = rig.context.hooks.adoptPreloadForRun;
  EXPECT_EQ(other.Start({"/preloaded"}).get().exitStatus, 77);  // adopted: nothing started
  ExecuteRig third;
  third.job.preload = true;
  third.context.hooks.adoptPreloadForRun = rig.context.hooks.adoptPreloadForRun;
  EXPECT_EQ(third.Start({kChild, "exit", "6"}).get().exitStatus, 6);  // no match: launched
  EXPECT_EQ(asked, (std::vector<std::string>{"node1 4321 /preloaded", "node1 4321 " + kChild}));
}

// Use-terminal runs go through kestrunTTY from KESTRUNHOME.
class ExecuteWithTerminal : public ::testing::Test {
 protected:
  void SetUp() override { PutEnvLocked("KESTRUNHOME=" + DirectoryOf(KES_TEST_KESTRUNTTY)); }
};

TEST_F(ExecuteWithTerminal, StdioBufferedProgramStreamsLineByLine) {
  ExecuteRig rig;
  auto run = rig.Start({kChild, "stdio-lines"}, true);
  // The program's stdio buffers its output unless it is a terminal; the
  // second line is written only after our input arrives.
  const auto first = rig.FrameBeforeInput();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->data, "first line\n");
  ASSERT_TRUE(SendBytes(rig.client(), Chunk("x") + LengthOnly(0)));
  EXPECT_EQ(StreamData(ReadAllFrames(rig.client()), 0), "second line\n");
  const RunOutcome outcome = run.get();
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.exitStatus, 0);
}

TEST_F(ExecuteWithTerminal, ProgramSeesOnlyItsThreeStandardDescriptors) {
  // The wrapper's status pipe (its descriptor 3) must not reach the program.
  ExecuteRig rig;
  auto run = rig.Start({kChild, "fds"}, true);
  EXPECT_EQ(StreamData(ReadAllFrames(rig.client()), 0), "0\n1\n2\n");
  const RunOutcome outcome = run.get();
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.exitStatus, 0);
}

TEST_F(ExecuteWithTerminal, ExitCodeOfTheProgramIsReturned) {
  ExecuteRig rig;
  auto run = rig.Start({kChild, "write", "out", "err"}, true);
  const auto frames = ReadAllFrames(rig.client());
  EXPECT_EQ(StreamData(frames, 0), "out");
  EXPECT_EQ(StreamData(frames, 1), "err");
  ExecuteRig second;
  const RunOutcome outcome = second.Start({kChild, "exit", "42"}, true).get();
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.exitStatus, 42);
  EXPECT_EQ(run.get().result, 0);
}

TEST_F(ExecuteWithTerminal, ProgramTheWrapperCannotStartGivesItsErrorAndExitStatus0) {
  ExecuteRig rig;
  const RunOutcome outcome = rig.Start({"/nonexistent/job"}, true).get();
  EXPECT_EQ(outcome.result, ENOENT);
  EXPECT_EQ(outcome.exitStatus, 0);
}

TEST_F(ExecuteWithTerminal, MissingWrapperIsALaunchFailure) {
  PutEnvLocked("KESTRUNHOME=/nonexistent");
  ExecuteRig rig;
  EXPECT_EQ(rig.Start({kChild, "exit", "0"}, true).get().result, ENOENT);
}

}  // namespace
}  // namespace kestrun
