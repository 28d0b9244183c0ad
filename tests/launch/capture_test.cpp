// ExecuteAndCapture in capture mode and in handle mode, over real processes.
#include <fcntl.h>
#include <unistd.h>

#include <future>

#include <gtest/gtest.h>

#include "launch/execute.h"
#include "tests/support/child_io.h"
#include "tests/support/waiting.h"

namespace kestrun {
namespace {

using test::kChild;

struct CaptureRig {
  RunningJobTable table;
  ExecutionContext context{table, {}};
  std::vector<std::string> environment = {"PATH=/usr/bin:/bin"};

  CaptureOutcome Run(const std::vector<std::string>& arguments,
                     const std::optional<RunDescriptor>& descriptor = std::nullopt) {
    return ExecuteAndCapture(context, arguments, "node1", 99, environment, descriptor);
  }
};

// A temporary file, removed at the end of the test.
struct TempFile {
  std::string path;
  UniqueFd fd;
  TempFile() {
    char name[] = "/tmp/kes_capture_XXXXXX";
    fd.Reset(mkostemp(name, O_CLOEXEC));
    path = name;
  }
  ~TempFile() { unlink(path.c_str()); }
  std::string Contents() const {
    UniqueFd in(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return test::ReadToEnd(in.get());
  }
};

TEST(CaptureMode, ThreeLinesAreCapturedWithTheirLineEnds) {
  CaptureRig rig;
  const CaptureOutcome out = rig.Run({kChild, "write", "a\nb\nc\n", ""});
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.exitStatus, 0);
  EXPECT_EQ(out.capture.stdoutData, "a\nb\nc\n");
  EXPECT_EQ(out.capture.stderrData.size(), 0u);
}

TEST(CaptureMode, OnlyWhatComesBeforeA0x04IsCaptured) {
  CaptureRig rig;
  const CaptureOutcome out = rig.Run({kChild, "write",
                                      "abc\x04"
                                      "def",
                                      "x\x04y"});
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.capture.stdoutData, "abc");
  EXPECT_EQ(out.capture.stderrData, "x");
}

TEST(CaptureMode, LargeOutputIsCollectedWhole) {
  CaptureRig rig;
  const CaptureOutcome out = rig.Run({kChild, "stream", "300000"});
  ASSERT_EQ(out.capture.stdoutData.size(), 300000u);
  EXPECT_EQ(out.capture.stdoutData.substr(0, 5), "abcde");
  EXPECT_EQ(out.exitStatus, 0);
}

TEST(CaptureMode, StandardInputIsEmpty) {
  CaptureRig rig;
  const CaptureOutcome out = rig.Run({kChild, "cat"});
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.exitStatus, 0);
  EXPECT_EQ(out.capture.stdoutData, "");
}

TEST(CaptureMode, ProgramAloneRunsWithoutArguments) {
  CaptureRig rig;
  const CaptureOutcome out = rig.Run({kChild});
  EXPECT_EQ(out.exitStatus, 2);  // the child's usage exit
  EXPECT_NE(out.capture.stderrData.find("test_child fds"), std::string::npos);
}

TEST(CaptureMode, ExitCodeAndErrorStream) {
  CaptureRig rig;
  const CaptureOutcome out = rig.Run({kChild, "exit", "9"});
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.exitStatus, 9);
}

TEST(CaptureMode, ProgramThatCannotStartGivesTheErrorAndExitStatusMinus1) {
  CaptureRig rig;
  const CaptureOutcome missing = rig.Run({"/nonexistent/list.vbs"});
  EXPECT_EQ(missing.result, ENOENT);
  EXPECT_EQ(missing.exitStatus, -1);
  EXPECT_EQ(missing.capture.stdoutData, "");
  TempFile plain;  // mode 0600: not runnable, even for root
  ASSERT_TRUE(plain.fd);
  const CaptureOutcome notRunnable = rig.Run({plain.path});
  EXPECT_EQ(notRunnable.result, EACCES);
}

TEST(CaptureMode, ArgumentsAreExpandedAndTheRunIsNotInTheTable) {
  CaptureRig rig;
  rig.environment = {"WHO=world", "PATH=/usr/bin:/bin"};
  const CaptureOutcome out = rig.Run({kChild, "args", "hello $WHO", "${WHO}!"});
  EXPECT_EQ(out.capture.stdoutData, "<hello world>\n<world!>\n");
  EXPECT_TRUE(rig.table.ListRunningJobs().empty());
}

TEST(CaptureMode, ProgramSeesOnlyItsThreeStandardDescriptors) {
  CaptureRig rig;
  EXPECT_EQ(rig.Run({kChild, "fds"}).capture.stdoutData, "0\n1\n2\n");
}

TEST(CaptureMode, PreloadedProgramOfThisClientTakesTheStepOver) {
  CaptureRig rig;
  rig.context.hooks.adoptPreloadForCapture = [](const PreloadRequest& r,
                                                CaptureBuffer& capture) -> std::optional<int32_t> {
    if (r.programPath != "/preloaded" || r.clientNode != "node1" || r.clientProcessId != 99) {
      return std::nullopt;
    }
    capture.stdoutData = "from the preloaded program";
    return 4;
  };
  const CaptureOutcome adopted = rig.Run({"/preloaded", "x"});
  EXPECT_EQ(adopted.result, 0);
  EXPECT_EQ(adopted.exitStatus, 4);
  EXPECT_EQ(adopted.capture.stdoutData, "from the preloaded program");
  EXPECT_EQ(rig.Run({kChild, "exit", "3"}).exitStatus, 3);
}

TEST(HandleMode, ProgramWritesToTheGivenDescriptors) {
  CaptureRig rig;
  TempFile out, err;
  RunDescriptor d{"NIGHTLY", std::nullopt, kInvalidFile, out.fd.get(), err.fd.get()};
  const CaptureOutcome result = rig.Run({kChild, "write", "report\n", "warning\n"}, d);
  EXPECT_EQ(result.result, 0);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(out.Contents(), "report\n");
  EXPECT_EQ(err.Contents(), "warning\n");
  EXPECT_EQ(result.capture.stdoutData, "");
}

TEST(HandleMode, GivenInputIsReadAndMissingInputIsEndOfFile) {
  CaptureRig rig;
  TempFile in, out;
  ASSERT_EQ(WriteAll(in.fd.get(), "scheduled input", 15), 0);
  UniqueFd input(open(in.path.c_str(), O_RDONLY | O_CLOEXEC));
  RunDescriptor given{"J", std::nullopt, input.get(), out.fd.get(), kInvalidFile};
  EXPECT_EQ(rig.Run({kChild, "cat"}, given).exitStatus, 0);
  EXPECT_EQ(out.Contents(), "scheduled input");

  TempFile out2;
  RunDescriptor none{"J", std::nullopt, kInvalidFile, out2.fd.get(), kInvalidFile};
  EXPECT_EQ(rig.Run({kChild, "cat"}, none).exitStatus, 0);
  EXPECT_EQ(out2.Contents(), "");
}

TEST(HandleMode, ProgramSeesOnlyItsThreeStandardDescriptors) {
  CaptureRig rig;
  TempFile out;
  RunDescriptor d{"J", std::nullopt, kInvalidFile, out.fd.get(), kInvalidFile};
  rig.Run({kChild, "fds"}, d);
  EXPECT_EQ(out.Contents(), "0\n1\n2\n");
}

TEST(HandleMode, RunIsInTheTableAndAKillReportsExitCode1) {
  CaptureRig rig;
  auto pipe = CreatePipe();
  ASSERT_TRUE(pipe);
  RunDescriptor d{"NIGHTLY", std::string("lock1"), kInvalidFile, pipe->write.get(), kInvalidFile};
  auto run = std::async(std::launch::async, [&] { return rig.Run({kChild, "tree"}, d); });
  for (int i = 0; i < 3; ++i) test::ReadLine(pipe->read.get());
  // The run enters the table once its launch returns, which the program's
  // first lines may beat.
  EXPECT_TRUE(test::WaitUntil([&] { return rig.table.ListRunningJobs().size() == 1; }));
  const auto jobs = rig.table.ListRunningJobs();
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].jobName, "NIGHTLY");
  EXPECT_FALSE(jobs[0].clientUser);  // listed as a scheduler run
  EXPECT_EQ(jobs[0].lockValue, "lock1");
  EXPECT_EQ(rig.table.KillJobByProcessId(jobs[0].processId), "NIGHTLY");
  const CaptureOutcome result = run.get();
  EXPECT_EQ(result.result, 0);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_TRUE(rig.table.ListRunningJobs().empty());
}

TEST(HandleMode, ProgramThatCannotStartIsNotEntered) {
  CaptureRig rig;
  RunDescriptor d{"J", std::nullopt, kInvalidFile, kInvalidFile, kInvalidFile};
  const CaptureOutcome result = rig.Run({"/nonexistent/job"}, d);
  EXPECT_EQ(result.result, ENOENT);
  EXPECT_EQ(result.exitStatus, -1);
  EXPECT_TRUE(rig.table.ListRunningJobs().empty());
}

}  // namespace
}  // namespace kestrun
