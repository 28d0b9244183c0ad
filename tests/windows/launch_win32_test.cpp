// The Windows process layer with a real child (kes_win_child.exe beside the
// test program): pipes, the command line as the child's C runtime reads it
// back, the UTF-16 environment, exit codes, the held start, and the kill of
// a run's whole process tree through its job object.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "launch/execute.h"
#include "launch/running_jobs.h"
#include "platform/child_end.h"
#include "platform/home_directory.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/process_tree.h"

namespace kestrun {
namespace {

std::string Child() {
  return HomeDirectory() + "\\kes_win_child.exe";
}

// A launch of the child with three fresh pipes; the server's ends are kept.
struct PipedChild {
  std::optional<Pipe> in = CreatePipe(), out = CreatePipe(), err = CreatePipe();
  std::optional<Process> process;
  int error = 0;

  explicit PipedChild(std::vector<std::string> arguments, std::vector<std::string> env = {},
                      bool held = false) {
    LaunchOptions options;
    options.program = Child();
    arguments.insert(arguments.begin(), Child());
    options.arguments = std::move(arguments);
    options.environment = std::move(env);
    options.descriptors = {in->read.get(), out->write.get(), err->write.get()};
    options.holdBeforeExec = held;
    process = LaunchProcess(options, &error);
    in->read.Reset();
    out->write.Reset();
    err->write.Reset();
  }
  // Reads standard output until `lines` lines came (0: until its end).
  std::string ReadOut(int lines = 0) {
    std::string text;
    char buffer[256];
    int error = 0;
    long n;
    while ((lines == 0 || std::count(text.begin(), text.end(), '\n') < lines) &&
           (n = ReadSome(out->read.get(), buffer, sizeof buffer, &error)) > 0)
      text.append(buffer, static_cast<size_t>(n));
    return text;
  }
};

TEST(WindowsLaunch, StandardInputComesBackAndTheExitCodeIsReported) {
  PipedChild child({"echo", "7"});
  ASSERT_TRUE(child.process) << child.error;
  ASSERT_EQ(WriteAll(child.in->write.get(), "abc\n", 4), 0);
  child.in->write.Reset();
  EXPECT_EQ(child.ReadOut(), "abc\n");
  const ProcessEnd end = child.process->Reap();
  EXPECT_EQ(end.code, 7);
  EXPECT_EQ(ExitCodeOf(end, false), 7);
}

TEST(WindowsLaunch, StandardErrorHasItsOwnPipe) {
  PipedChild child({"stderr", "oops"});
  ASSERT_TRUE(child.process);
  std::string text;
  char buffer[64];
  int error = 0;
  for (long n; (n = ReadSome(child.err->read.get(), buffer, sizeof buffer, &error)) > 0;)
    text.append(buffer, static_cast<size_t>(n));
  EXPECT_EQ(text, "oops");
  EXPECT_EQ(child.ReadOut(), "");
  EXPECT_EQ(child.process->Reap().code, 3);
}

// The child's C runtime splits the command line again (CommandLineToArgvW
// rules): every argument must arrive as it was given.
TEST(WindowsLaunch, ArgumentsArriveUnchanged) {
  const std::vector<std::string> arguments = {
      "plain",      "two words",      "tab\there", "say \"hi\"",        "",
      "trailing\\", "C:\\dir with\\", "a\\\\\"b",  "\\\\server\\share", "caf\xc3\xa9"};
  std::vector<std::string> given = {"args"};
  given.insert(given.end(), arguments.begin(), arguments.end());
  PipedChild child(given);
  ASSERT_TRUE(child.process);
  std::string expected;
  for (const std::string& a : arguments) expected += a + "\n";
  EXPECT_EQ(child.ReadOut(), expected);
  EXPECT_EQ(child.process->Reap().code, 0);
}

TEST(WindowsLaunch, TheEnvironmentIsTheGivenBlockInUtf16) {
  PipedChild child({"env", "KESNAME"}, {"A=1",
                                        "KESNAME=gr\xc3\xbc\xc3\x9f"
                                        "e"});
  ASSERT_TRUE(child.process);
  EXPECT_EQ(child.ReadOut(),
            "gr\xc3\xbc\xc3\x9f"
            "e");
  EXPECT_EQ(child.process->Reap().code, 0);
}

TEST(WindowsLaunch, AMissingProgramFailsWithTheSystemsCode) {
  LaunchOptions options;
  options.program = HomeDirectory() + "\\no-such-program.exe";
  options.arguments = {options.program};
  int error = 0;
  EXPECT_FALSE(LaunchProcess(options, &error));
  EXPECT_EQ(error, 2);  // ERROR_FILE_NOT_FOUND
}

TEST(WindowsLaunch, AHeldChildRunsOnlyAfterResume) {
  PipedChild child({"echo", "5"}, {}, /*held=*/true);
  ASSERT_TRUE(child.process);
  EXPECT_GT(child.process->pid(), 0);
  // Held: it has not ended, whatever time it is given.
  EXPECT_FALSE(WaitForChildEnd(child.process->pid(), std::chrono::milliseconds(300)));
  EXPECT_EQ(child.process->Resume(), 0);
  child.in->write.Reset();
  EXPECT_EQ(child.ReadOut(), "");
  EXPECT_EQ(child.process->Reap().code, 5);
}

// A tree of three processes: the run's program, its child and its
// grandchild. The kill through the run's job object ends all three.
TEST(WindowsLaunch, KillingARunEndsItsWholeTreeOfThree) {
  PipedChild child({"tree", "2"});
  ASSERT_TRUE(child.process);
  const std::string pids = child.ReadOut(3);
  std::vector<ProcessId> tree;
  for (size_t at = 0, nl; (nl = pids.find('\n', at)) != std::string::npos; at = nl + 1)
    tree.push_back(std::stoi(pids.substr(at, nl - at)));
  ASSERT_EQ(tree.size(), 3u) << pids;
  for (ProcessId pid : tree) EXPECT_FALSE(WaitForChildEnd(pid, std::chrono::milliseconds(0)));

  EXPECT_TRUE(KillProcessTree(child.process->pid()));
  const ProcessEnd end = child.process->WaitForEnd();
  EXPECT_EQ(ExitCodeOf(end, true), 1);
  for (ProcessId pid : tree) EXPECT_TRUE(WaitForChildEnd(pid, std::chrono::seconds(5))) << pid;
  // Every writer of the output pipe has gone.
  EXPECT_EQ(child.ReadOut(), "");
  child.process->Reap();
}

// Through the launch layer: a captured run reads its output and exit code.
TEST(WindowsLaunch, CaptureModeCollectsOutputAndExitCode) {
  RunningJobTable table;
  ExecutionContext context{table, {}};
  const CaptureOutcome outcome =
      ExecuteAndCapture(context, {Child(), "args", "one", "two words"}, "node", 1, {"X=1"});
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_EQ(outcome.capture.stdoutData, "one\ntwo words\n");
}

}  // namespace
}  // namespace kestrun
