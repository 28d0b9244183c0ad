// The terminal wrapper, run as the server runs it: pipes for the three
// standard streams and a status pipe as descriptor 3.
#include <cstring>

#include <gtest/gtest.h>

#include "tests/support/child_io.h"
#include "tests/support/client_io.h"

namespace kestrun {
namespace {

using test::kChild;
using test::ReadToEnd;

const std::string kWrapper = KES_TEST_KESTRUNTTY;

struct WrappedRun {
  Process process;
  UniqueFd in, out, err, status;
};

WrappedRun StartWrapped(std::vector<std::string> programAndArguments) {
  auto in = CreatePipe(), out = CreatePipe(), err = CreatePipe(), status = CreatePipe();
  EXPECT_TRUE(in && out && err && status);
  LaunchOptions options;
  options.program = kWrapper;
  options.arguments = {kWrapper};
  options.arguments.insert(options.arguments.end(), programAndArguments.begin(),
                           programAndArguments.end());
  options.environment = {"PATH=/usr/bin:/bin"};
  options.descriptors = {in->read.get(), out->write.get(), err->write.get(), status->write.get()};
  int error = 0;
  std::optional<Process> process = LaunchProcess(options, &error);
  EXPECT_TRUE(process) << error;
  return WrappedRun{std::move(*process), std::move(in->write), std::move(out->read),
                    std::move(err->read), std::move(status->read)};
}

// What the wrapper wrote on the status pipe: empty when it started the program.
std::string StatusBytes(WrappedRun& run) {
  return ReadToEnd(run.status.get());
}

TEST(KestrunTTY, StdioBufferedProgramDeliversEachLineAtOnce) {
  WrappedRun run = StartWrapped({kChild, "stdio-lines"});
  // The program writes its second line only after it got a byte of input:
  // the first must arrive before, which it does only from a line-buffered
  // (terminal) standard output.
  const bool lineInTime = test::AwaitInput(run.out.get());
  if (!lineInTime) run.in.Reset();  // the program ends instead of the test hanging
  ASSERT_TRUE(lineInTime) << "no output before the input";
  EXPECT_EQ(test::ReadLine(run.out.get()), "first line");
  ASSERT_EQ(WriteAll(run.in.get(), "x", 1), 0);
  EXPECT_EQ(ReadToEnd(run.out.get()), "second line\n");
  EXPECT_EQ(StatusBytes(run), "");
  EXPECT_EQ(ExitCodeOf(run.process.Reap(), false), 0);
}

TEST(KestrunTTY, BytesPassUnchangedAndStandardErrorStaysSeparate) {
  WrappedRun run = StartWrapped({kChild, "write", "a\nb\r\n\x04z", "oops\n"});
  run.in.Reset();
  EXPECT_EQ(ReadToEnd(run.out.get()), "a\nb\r\n\x04z");  // no CR added, 0x04 kept
  EXPECT_EQ(ReadToEnd(run.err.get()), "oops\n");
  EXPECT_EQ(ExitCodeOf(run.process.Reap(), false), 0);
}

TEST(KestrunTTY, StandardInputEndsWhenThePipeCloses) {
  WrappedRun run = StartWrapped({kChild, "cat"});
  ASSERT_EQ(WriteAll(run.in.get(), "typed input", 11), 0);
  run.in.Reset();
  EXPECT_EQ(ReadToEnd(run.out.get()), "typed input");
  EXPECT_EQ(ExitCodeOf(run.process.Reap(), false), 0);
}

TEST(KestrunTTY, ExitsWithTheProgramsExitCode) {
  WrappedRun exits = StartWrapped({kChild, "exit", "42"});
  EXPECT_EQ(ReadToEnd(exits.out.get()), "");
  EXPECT_EQ(ExitCodeOf(exits.process.Reap(), false), 42);
  WrappedRun signaled = StartWrapped({kChild, "signal", "15"});
  EXPECT_EQ(ReadToEnd(signaled.out.get()), "");
  EXPECT_EQ(ExitCodeOf(signaled.process.Reap(), false), 128 + 15);
}

TEST(KestrunTTY, ProgramThatCannotStartIsReportedOnTheStatusPipe) {
  WrappedRun run = StartWrapped({"/nonexistent/job"});
  const std::string status = StatusBytes(run);
  ASSERT_EQ(status.size(), sizeof(int));
  int error = 0;
  std::memcpy(&error, status.data(), sizeof error);
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(ReadToEnd(run.out.get()), "");
  EXPECT_EQ(ReadToEnd(run.err.get()), "");  // the server reports it, not the wrapper
  run.process.Reap();
}

TEST(KestrunTTY, ProgramSeesOnlyItsThreeStandardDescriptors) {
  WrappedRun run = StartWrapped({kChild, "fds"});
  run.in.Reset();
  EXPECT_EQ(ReadToEnd(run.out.get()), "0\n1\n2\n");
  EXPECT_EQ(StatusBytes(run), "");
  run.process.Reap();
}

TEST(KestrunTTY, LargeOutputArrivesWhole) {
  constexpr long kBytes = 3 << 20;
  WrappedRun run = StartWrapped({kChild, "stream", std::to_string(kBytes)});
  run.in.Reset();
  const std::string out = ReadToEnd(run.out.get());
  ASSERT_EQ(out.size(), static_cast<size_t>(kBytes));
  for (size_t i = 0; i < out.size(); i += 4099) {
    ASSERT_EQ(out[i], static_cast<char>('a' + (i % 65536) % 26)) << i;
  }
  EXPECT_EQ(ExitCodeOf(run.process.Reap(), false), 0);
}

}  // namespace
}  // namespace kestrun
