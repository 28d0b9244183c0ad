// The operating-system layer over real processes started from the test
// child program.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "platform/child_end.h"
#include "platform/dynamic_library.h"
#include "platform/error_text.h"
#include "platform/event.h"
#include "platform/filesystem.h"
#include "platform/home_directory.h"
#include "platform/interrupts.h"
#include "platform/process_tree.h"
#include "platform/thread.h"
#include "tests/support/child_io.h"
#include "tests/support/waiting.h"

namespace kestrun {
namespace {

using test::kChild;
using test::ReadLine;
using test::ReadToEnd;
using test::StartChild;

TEST(Launch, ChildSeesOnlyItsThreeStandardDescriptors) {
  // A descriptor opened without close-on-exec (as a careless library might)
  // must not reach the job either.
  int leaky[2];
  ASSERT_EQ(pipe(leaky), 0);
  for (const bool held : {false, true}) {
    int error = 0;
    auto child = StartChild({kChild, "fds"}, &error, {}, {}, held);
    ASSERT_TRUE(child) << error;
    child->in.Reset();
    EXPECT_EQ(ReadToEnd(child->out.get()), "0\n1\n2\n") << "held " << held;
    EXPECT_EQ(ExitCodeOf(child->process.Reap(), false), 0);
  }
  close(leaky[0]);
  close(leaky[1]);
}

TEST(Launch, ArgumentsReachTheProgramElementByElement) {
  int error = 0;
  auto child = StartChild({kChild, "args", "two words", "a\"b", "$HOME", "", "x;y|z"}, &error);
  ASSERT_TRUE(child) << error;
  EXPECT_EQ(ReadToEnd(child->out.get()), "<two words>\n<a\"b>\n<$HOME>\n<>\n<x;y|z>\n");
  child->process.Reap();
}

TEST(Launch, EnvironmentIsExactlyTheGivenVector) {
  int error = 0;
  auto child = StartChild({kChild, "env"}, &error, {"B=2", "A=1", "KESJOBNAME=X Y"});
  ASSERT_TRUE(child) << error;
  EXPECT_EQ(ReadToEnd(child->out.get()), "B=2\nA=1\nKESJOBNAME=X Y\n");
  child->process.Reap();
}

TEST(Launch, FailuresAreReportedAsErrnoBeforeReturning) {
  for (const bool held : {false, true}) {  // held: the failed exec shows at Resume
    int error = 0;
    EXPECT_FALSE(StartChild({"/nonexistent/program"}, &error, {}, {}, held));
    EXPECT_EQ(error, ENOENT) << "held " << held;
  }

  char path[] = "/tmp/kes_noexec_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  chmod(path, 0644);
  int error = 0;
  EXPECT_FALSE(StartChild({path}, &error));
  EXPECT_EQ(error, EACCES);
  unlink(path);
}

TEST(Launch, BareNameIsSearchedInTheSearchPathNeverInTheChildsPath) {
  const std::string dir = DirectoryOf(kChild);
  const std::string name = kChild.substr(dir.size() + 1);
  int error = 0;
  auto child = StartChild({name, "exit", "3"}, &error, {}, "/nonexistent:" + dir);
  ASSERT_TRUE(child) << error;
  EXPECT_EQ(ExitCodeOf(child->process.Reap(), false), 3);

  EXPECT_FALSE(
      StartChild({name, "exit", "3"}, &error, {"PATH=/nonexistent:" + dir}, "/nonexistent"));
  EXPECT_EQ(error, ENOENT);
}

TEST(Launch, ChildLeadsItsOwnProcessGroup) {
  for (const bool held : {false, true}) {
    int error = 0;
    auto child = StartChild({kChild, "pgid"}, &error, {}, {}, held);
    ASSERT_TRUE(child) << error;
    const std::string pid = std::to_string(child->process.pid());
    EXPECT_EQ(ReadToEnd(child->out.get()), pid + " " + pid + "\n") << "held " << held;
    child->process.Reap();
  }
}

TEST(Launch, ChildStartsWithSignalsUnblockedAndAtDefault) {
  sigset_t interrupts, old;
  sigemptyset(&interrupts);
  sigaddset(&interrupts, SIGINT);
  sigaddset(&interrupts, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &interrupts, &old);
  auto oldPipe = signal(SIGPIPE, SIG_IGN);
  for (const bool held : {false, true}) {
    int error = 0;
    auto child = StartChild({kChild, "sigstate"}, &error, {}, {}, held);
    ASSERT_TRUE(child) << error;
    EXPECT_EQ(ReadToEnd(child->out.get()), "blocked=0 pipe=default\n") << "held " << held;
    child->process.Reap();
  }
  signal(SIGPIPE, oldPipe);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

TEST(Launch, MissingDescriptorBecomesDevNull) {
  auto out = CreatePipe();
  ASSERT_TRUE(out);
  LaunchOptions options{
      kChild, {kChild, "cat"}, {}, {kInvalidFile, out->write.get(), kInvalidFile}};
  int error = 0;
  auto process = LaunchProcess(options, &error);
  ASSERT_TRUE(process) << error;
  out->write.Reset();
  EXPECT_EQ(ReadToEnd(out->read.get()), "");
  EXPECT_EQ(ExitCodeOf(process->Reap(), false), 0);
}

TEST(Launch, SourceDescriptorsInsideTheStandardRangeAreMovedSafely) {
  // The child's stdout comes from our descriptor 0 (close-on-exec) and its
  // stdin from a pipe: a naive dup2 sequence would lose one of them.
  auto in = CreatePipe(), out = CreatePipe();
  ASSERT_TRUE(in && out);
  const int savedStdin = fcntl(0, F_DUPFD_CLOEXEC, 10);
  ASSERT_GE(dup3(out->write.get(), 0, O_CLOEXEC), 0);
  out->write.Reset();
  LaunchOptions options{kChild, {kChild, "cat"}, {}, {in->read.get(), 0, 2}};
  int error = 0;
  auto process = LaunchProcess(options, &error);
  dup3(savedStdin, 0, 0);
  close(savedStdin);
  ASSERT_TRUE(process) << error;
  in->read.Reset();
  ASSERT_EQ(WriteAll(in->write.get(), "through\n", 8), 0);
  in->write.Reset();
  EXPECT_EQ(ReadToEnd(out->read.get()), "through\n");
  EXPECT_EQ(ExitCodeOf(process->Reap(), false), 0);
}

TEST(ProcessOwner, ExitCodesAndSignalDeaths) {
  int error = 0;
  auto exits = StartChild({kChild, "exit", "7"}, &error);
  ASSERT_TRUE(exits);
  const ProcessEnd end = exits->process.Reap();
  EXPECT_FALSE(end.signaled);
  EXPECT_EQ(ExitCodeOf(end, false), 7);
  EXPECT_EQ(ExitCodeOf(end, true), 7);  // it ended by itself before any kill

  auto killed = StartChild({kChild, "signal", "15"}, &error);
  ASSERT_TRUE(killed);
  const ProcessEnd death = killed->process.Reap();
  EXPECT_TRUE(death.signaled);
  EXPECT_EQ(death.code, SIGTERM);
  EXPECT_EQ(ExitCodeOf(death, false), 128 + SIGTERM);
  EXPECT_EQ(ExitCodeOf(death, true), 1);
}

TEST(ProcessOwner, WaitForEndKeepsTheIdUntilReaped) {
  int error = 0;
  auto child = StartChild({kChild, "exit", "4"}, &error);
  ASSERT_TRUE(child);
  const ProcessId pid = child->process.pid();
  EXPECT_EQ(child->process.WaitForEnd().code, 4);
  EXPECT_EQ(kill(pid, 0), 0);  // still there as a zombie: the id is not reusable yet
  EXPECT_EQ(child->process.Reap().code, 4);
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

TEST(ProcessOwner, AFailedWaitIsNeverReadAsExitZero) {
  int error = 0;
  auto child = StartChild({kChild, "exit", "0"}, &error);
  ASSERT_TRUE(child);
  int status = 0;
  // Collected behind the owner's back: its wait can only fail.
  ASSERT_EQ(waitpid(child->process.pid(), &status, 0), child->process.pid());
  const ProcessEnd end = child->process.WaitForEnd();
  EXPECT_EQ(end.waitError, ECHILD);
  EXPECT_EQ(ExitCodeOf(end, false), -1);
}

TEST(ProcessOwner, DestroyingAnUnreapedOwnerKillsAndCollectsTheChild) {
  int error = 0;
  ProcessId pid = 0;
  {
    auto child = StartChild({kChild, "sleep"}, &error);
    ASSERT_TRUE(child);
    pid = child->process.pid();
  }
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

TEST(KillOrder, SubtreesBeforeTheirRootGrandchildFirst) {
  // 10 -> 11 -> 12 -> 13, 10 -> 14; 20 unrelated; 15 child of 11.
  std::vector<ProcessEntry> snapshot = {{1, 0},   {10, 1},  {11, 10}, {12, 11},
                                        {13, 12}, {14, 10}, {20, 1},  {15, 11}};
  EXPECT_EQ(KillOrder(snapshot, 10), (std::vector<ProcessId>{13, 12, 15, 11, 14}));
  EXPECT_EQ(KillOrder(snapshot, 20), std::vector<ProcessId>{});
  EXPECT_EQ(KillOrder(snapshot, 99), std::vector<ProcessId>{});
}

TEST(KillOrder, ParentLoopsFromReusedIdsEndTheWalk) {
  std::vector<ProcessEntry> snapshot = {{10, 12}, {11, 10}, {12, 11}};
  EXPECT_EQ(KillOrder(snapshot, 10), (std::vector<ProcessId>{12, 11}));
}

TEST(KillProcessTree, EndsTheJobItsChildAndGrandchild) {
  int error = 0;
  auto child = StartChild({kChild, "tree"}, &error);
  ASSERT_TRUE(child);
  std::vector<std::string> pids = {ReadLine(child->out.get()), ReadLine(child->out.get()),
                                   ReadLine(child->out.get())};
  EXPECT_EQ(pids[0], std::to_string(child->process.pid()));
  const std::vector<ProcessEntry> snapshot = TakeProcessSnapshot();
  EXPECT_EQ(KillOrder(snapshot, child->process.pid()),
            (std::vector<ProcessId>{std::atoi(pids[2].c_str()), std::atoi(pids[1].c_str())}));
  EXPECT_TRUE(KillProcessTree(child->process.pid()));
  // All three held the output pipe: its end means all three are gone.
  EXPECT_EQ(ReadToEnd(child->out.get()), "");
  const ProcessEnd end = child->process.Reap();
  EXPECT_TRUE(end.signaled);
  EXPECT_EQ(end.code, SIGKILL);
}

TEST(KillProcessTree, ReachesAnOrphanedDescendantThroughTheGroup) {
  int error = 0;
  auto child = StartChild({kChild, "orphan"}, &error);
  ASSERT_TRUE(child);
  ReadLine(child->out.get());
  const ProcessId orphan = std::atoi(ReadLine(child->out.get()).c_str());
  ASSERT_GT(orphan, 0);
  EXPECT_TRUE(KillProcessTree(child->process.pid()));
  EXPECT_EQ(ReadToEnd(child->out.get()), "");
  child->process.Reap();
}

TEST(RunMarker, EnvironmentHoldsOnlyTheWholeEntry) {
  using namespace std::string_view_literals;
  const struct {
    std::string_view environ;
    bool holds;
  } cases[] = {
      {"A=1\0KESRUNMARKER=ab\0"sv, true},   {"KESRUNMARKER=ab"sv, true},  // last entry, no NUL
      {"A=1\0KESRUNMARKER=abc\0"sv, false},                               // longer value
      {"KESRUNMARKER=a\0"sv, false},                                      // shorter value
      {"XKESRUNMARKER=ab\0"sv, false},      {"A=KESRUNMARKER=ab\0"sv, false}, {""sv, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EnvironmentHolds(c.environ, "KESRUNMARKER=ab"), c.holds) << c.environ;
  }
  // The marker's form: see RunMarker.NamesTheRunTheHomeAndTheServer.
  const std::string marker = NewRunMarker();
  EXPECT_EQ(marker.substr(0, 32).find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(marker[32], '.');
  EXPECT_NE(marker, NewRunMarker());
}

ProcessId ParentOf(ProcessId pid) {
  std::vector<ProcessEntry> all = TakeProcessSnapshot();
  for (const ProcessEntry& p : all) {
    if (p.pid == pid) return p.parentPid;
  }
  return 0;
}

// As a subreaper the test adopts a marked grandchild whose parent ended; the
// marker kill reaches it, the sweep collects it, and the ended child that a
// Process owner holds keeps its exit status.
TEST(RunMarker, MarkedOrphanIsAdoptedKilledAndCollectedOwnedChildKeepsItsStatus) {
  ASSERT_TRUE(BecomeChildSubreaper());
  const std::string marker = NewRunMarker();
  int error = 0;
  auto job = StartChild({kChild, "orphan"}, &error, {std::string(kRunMarkerName) + "=" + marker});
  ASSERT_TRUE(job);
  ReadLine(job->out.get());
  const ProcessId orphan = std::atoi(ReadLine(job->out.get()).c_str());
  ASSERT_GT(orphan, 0);
  EXPECT_TRUE(test::WaitUntil([&] { return ParentOf(orphan) == ::getpid(); }));
  auto owned = StartChild({kChild, "exit", "7"}, &error);
  ASSERT_TRUE(owned);
  owned->process.WaitForEnd();

  // The job and its orphan (and, when it has not yet gone, the child between).
  EXPECT_GE(KillMarkedProcesses(marker), 2);
  EXPECT_EQ(KillMarkedProcesses(""), 0);
  const std::string orphanDir = "/proc/" + std::to_string(orphan);
  EXPECT_TRUE(test::WaitUntil([&] {
    ReapAdoptedOrphans();
    return ::access(orphanDir.c_str(), F_OK) != 0;
  }));
  const ProcessEnd end = owned->process.Reap();
  EXPECT_EQ(end.waitError, 0);
  EXPECT_EQ(end.code, 7);
  EXPECT_TRUE(job->process.Reap().signaled);
}

// A program started held before exec (a preloaded program) is an owned child
// like any other: when it ends while an orphan sweep runs, the ended child
// keeps its id (a signal to it reaches the zombie, never a stranger) and its
// owner still reads its own exit code.
TEST(RunMarker, HeldChildEndedDuringASweepKeepsItsIdAndItsStatus) {
  ASSERT_TRUE(BecomeChildSubreaper());
  LaunchOptions options{kChild, {kChild, "exit", "7"}, {}, {kInvalidFile, kInvalidFile}};
  options.holdBeforeExec = true;
  int error = 0;
  std::optional<Process> process = LaunchProcess(options, &error);
  ASSERT_TRUE(process) << error;
  ASSERT_EQ(process->Resume(), 0);
  ASSERT_TRUE(WaitForChildEnd(process->pid(), std::chrono::seconds(10)));
  ReapAdoptedOrphans();
  EXPECT_EQ(ParentOf(process->pid()), ::getpid()) << "the ended child was collected by the sweep";
  EXPECT_EQ(process->WaitForEnd().waitError, 0);
  EXPECT_EQ(ExitCodeOf(process->Reap(), false), 7);
}

TEST(KillProcessTree, UnknownProcessIsNotKilled) {
  EXPECT_FALSE(KillProcessTree(0));
  EXPECT_FALSE(KillProcessTree(-5));
  // The highest possible id is never in use on a machine of this size.
  EXPECT_FALSE(KillProcessTree(4194303));
}

TEST(AutoResetEvent, ASetIsConsumedByExactlyOneWait) {
  AutoResetEvent event;
  EXPECT_FALSE(event.WaitFor(std::chrono::milliseconds(0)));
  event.Set();
  event.Set();  // not counted: still one signal
  EXPECT_TRUE(event.WaitFor(std::chrono::milliseconds(0)));
  EXPECT_FALSE(event.WaitFor(std::chrono::milliseconds(10)));
}

TEST(AutoResetEvent, SetWakesAWaitingThread) {
  AutoResetEvent event, started;
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    started.Set();
    event.Wait();
    woke = true;
  });
  started.Wait();
  event.Set();
  waiter.join();
  EXPECT_TRUE(woke);
}

TEST(Thread, IdsAreKernelThreadIds) {
  // The main thread's kernel id is the process id.
  EXPECT_EQ(CurrentThreadId(), static_cast<uint32_t>(getpid()));
  uint32_t other = 0;
  std::thread([&] { other = CurrentThreadId(); }).join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, CurrentThreadId());
}

TEST(HomeDirectory, IsTheDirectoryOfTheRunningProgram) {
  // The tests and the child program are built into the same directory.
  EXPECT_EQ(HomeDirectory(), DirectoryOf(kChild));
  EXPECT_EQ(DirectoryOf("/opt/kes/KestrunServer"), "/opt/kes");
  EXPECT_EQ(DirectoryOf("/KestrunServer"), "");
}

TEST(InterruptWatcher, RunsTheHandlerOnItsThreadForSigintAndSigterm) {
  sigset_t old;
  pthread_sigmask(SIG_SETMASK, nullptr, &old);
  BlockInterruptSignals();
  std::mutex m;
  std::vector<int> seen;
  std::vector<uint32_t> threads;
  AutoResetEvent got;
  {
    InterruptWatcher watcher;
    ASSERT_EQ(watcher.Start([&](int sig) {
      {
        std::lock_guard lock(m);
        seen.push_back(sig);
        threads.push_back(CurrentThreadId());
      }
      got.Set();
    }),
              0);
    kill(getpid(), SIGTERM);
    ASSERT_TRUE(got.WaitFor(std::chrono::seconds(10)));
    kill(getpid(), SIGINT);
    ASSERT_TRUE(got.WaitFor(std::chrono::seconds(10)));
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  EXPECT_EQ(seen, (std::vector<int>{SIGTERM, SIGINT}));
  EXPECT_NE(threads.at(0), CurrentThreadId());
}

TEST(DynamicLibrary, LoadsALibraryAndFindsAFunction) {
  std::string error;
  auto lib = DynamicLibrary::Open("libm.so.6", &error);
  ASSERT_TRUE(lib) << error;
  auto* cosine = lib->Function<double(double)>("cos", &error);
  ASSERT_NE(cosine, nullptr) << error;
  EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
  EXPECT_EQ(lib->Symbol("NoSuchFunctionAnywhere", &error), nullptr);
  EXPECT_NE(error.find("NoSuchFunctionAnywhere"), std::string::npos) << error;
}

TEST(DynamicLibrary, MissingLibraryReportsTheLoadersText) {
  std::string error;
  EXPECT_FALSE(DynamicLibrary::Open("/nonexistent/libgroups.so", &error));
  EXPECT_NE(error.find("/nonexistent/libgroups.so"), std::string::npos) << error;
}

TEST(Files, ReadPlainFileReadsOnlyPlainFilesAndNeverBlocks) {
  char dir[] = "/tmp/kes_read_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string base = dir;
  ASSERT_EQ(AppendToFile(base + "/plain", std::string("a\0b\n", 4)), 0);
  ASSERT_EQ(mkfifo((base + "/fifo").c_str(), 0600), 0);  // no writer: opening it would block
  struct Case {
    std::string path;
    std::optional<std::string> content;
    int error;
  };
  const Case cases[] = {
      {base + "/plain", std::string("a\0b\n", 4), 0},
      {base + "/fifo", std::nullopt, EINVAL},
      {base, std::nullopt, EINVAL},
      {base + "/missing", std::nullopt, ENOENT},
  };
  for (const Case& c : cases) {
    int error = -1;
    EXPECT_EQ(ReadPlainFile(c.path, &error), c.content) << c.path;
    EXPECT_EQ(error, c.error) << c.path;
  }
  unlink((base + "/plain").c_str());
  unlink((base + "/fifo").c_str());
  rmdir(dir);
}

TEST(Files, ConfiguredFilesOpenWithoutBlockingAndMustBePlain) {
  char dir[] = "/tmp/kes_open_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string base = dir;
  ASSERT_EQ(AppendToFile(base + "/plain", "data\n"), 0);
  ASSERT_EQ(mkfifo((base + "/fifo").c_str(), 0600), 0);  // no writer: opening it would block
  ASSERT_EQ(symlink((base + "/plain").c_str(), (base + "/link").c_str()), 0);
  struct Case {
    std::string path;
    int error;
  };
  const Case cases[] = {
      {base + "/plain", 0},     {base + "/link", 0},  // a link to a plain file is followed
      {base + "/fifo", EINVAL}, {base, EINVAL},
      {"/dev/null", EINVAL},    {base + "/missing", ENOENT},
  };
  for (const Case& c : cases) {
    int error = 0;
    const UniqueFd fd = OpenPlainFileForReading(c.path, &error);
    EXPECT_EQ(fd.valid(), c.error == 0) << c.path;
    EXPECT_EQ(error, c.error) << c.path;
    if (fd) {
      EXPECT_EQ(fcntl(fd.get(), F_GETFL) & O_NONBLOCK, 0) << c.path;
      EXPECT_NE(fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, 0) << c.path;
    }
  }
  std::filesystem::remove_all(base);
}

// Job log creation: only a new name in the folder; links, FIFOs, earlier
// files and names that leave the folder are refused and left as they were.
TEST(Files, CreateFileInDirectoryMakesOnlyNewFilesInsideTheFolder) {
  char dir[] = "/tmp/kes_create_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string base = dir;
  ASSERT_EQ(mkdir((base + "/log").c_str(), 0700), 0);
  ASSERT_EQ(AppendToFile(base + "/target", "keep\n"), 0);
  ASSERT_EQ(AppendToFile(base + "/log/earlier.log", "earlier\n"), 0);
  ASSERT_EQ(symlink((base + "/target").c_str(), (base + "/log/link.log").c_str()), 0);
  ASSERT_EQ(symlink((base + "/nowhere").c_str(), (base + "/log/dangling.log").c_str()), 0);
  ASSERT_EQ(mkfifo((base + "/log/fifo.log").c_str(), 0600), 0);
  int error = 0;
  const UniqueFd folder = OpenDirectory(base + "/log", &error);
  ASSERT_TRUE(folder) << error;
  struct Case {
    std::string name;
    int error;
  };
  const Case cases[] = {
      {"new.log", 0},           {"link.log", EEXIST},
      {"dangling.log", EEXIST}, {"fifo.log", EEXIST},
      {"earlier.log", EEXIST},  {"../escape.log", EINVAL},
      {"..", EINVAL},           {"", EINVAL},
  };
  for (const Case& c : cases) {
    error = 0;
    const UniqueFd fd = CreateFileInDirectory(folder, c.name, &error);
    EXPECT_EQ(fd.valid(), c.error == 0) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
  }
  EXPECT_EQ(ReadPlainFile(base + "/target"), "keep\n");
  EXPECT_EQ(ReadPlainFile(base + "/log/earlier.log"), "earlier\n");
  EXPECT_FALSE(std::filesystem::exists(base + "/nowhere"));
  EXPECT_FALSE(std::filesystem::exists(base + "/escape.log"));
  EXPECT_EQ(ReadPlainFile(base + "/log/new.log"), "");
  error = 0;
  EXPECT_FALSE(OpenDirectory(base + "/target", &error));
  EXPECT_EQ(error, ENOTDIR);

  // Job logs: an ended run's file of the same name is replaced; one still
  // held, a link, or a file with a second link elsewhere keeps its name.
  ASSERT_EQ(link((base + "/target").c_str(), (base + "/log/hard.log").c_str()), 0);
  const UniqueFd held = CreateJobLogFile(folder, "held.log", &error);
  ASSERT_TRUE(held);
  const Case logs[] = {{"earlier.log", 0},
                       {"held.log", EBUSY},
                       {"link.log", EEXIST},
                       {"hard.log", EEXIST},
                       {"fifo.log", EEXIST}};
  for (const Case& c : logs) {
    error = 0;
    const UniqueFd fd = CreateJobLogFile(folder, c.name, &error);
    EXPECT_EQ(fd.valid(), c.error == 0) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
  }
  EXPECT_EQ(ReadPlainFile(base + "/log/earlier.log"), "");
  EXPECT_EQ(ReadPlainFile(base + "/target"), "keep\n");
  std::filesystem::remove_all(base);
}

TEST(Files, AnExclusiveLockHasOneOwnerAtATime) {
  char pattern[] = "/tmp/kes-lock-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string base = pattern;
  ASSERT_EQ(mkfifo((base + "/fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink((base + "/elsewhere").c_str(), (base + "/link").c_str()), 0);
  int error = 0;
  UniqueFd owner = LockFileExclusively(base + "/a.lock", &error);
  ASSERT_TRUE(owner) << error;
  struct Case {
    const char* name;
    int error;
  } const cases[] = {
      {"a.lock", EWOULDBLOCK}, {"b.lock", 0}, {"fifo", EINVAL}, {".", EISDIR}, {"link", ELOOP}};
  for (const Case& c : cases) {
    error = 0;
    const UniqueFd fd = LockFileExclusively(base + "/" + c.name, &error);
    EXPECT_EQ(fd.valid(), c.error == 0) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
  }
  EXPECT_FALSE(std::filesystem::exists(base + "/elsewhere"));
  owner.Reset();
  EXPECT_TRUE(LockFileExclusively(base + "/a.lock", &error));
  std::filesystem::remove_all(base);
}

TEST(Files, AppendReportsWhetherTheWriteItselfFailed) {
  bool opened = false;
  EXPECT_EQ(AppendToFile("/dev/full", "line\n", &opened), ENOSPC);
  EXPECT_TRUE(opened);
  EXPECT_EQ(AppendToFile("/nonexistent-dir/k.log", "line\n", &opened), ENOENT);
  EXPECT_FALSE(opened);
  EXPECT_EQ(SystemErrorText(ENOSPC), "No space left on device");
}

TEST(RunMarker, NamesTheRunTheHomeAndTheServer) {
  const std::string marker = NewRunMarker();
  const std::optional<RunMarkerOrigin> origin = ParseRunMarker(marker);
  ASSERT_TRUE(origin) << marker;
  EXPECT_EQ(origin->homeTag, HomeTag(HomeDirectory()));
  EXPECT_EQ(origin->serverPid, getpid());
  EXPECT_EQ(origin->serverStart, ProcessStartTime(getpid()));
  EXPECT_NE(NewRunMarker(), marker);
  EXPECT_EQ(HomeTag("/opt/kes").size(), 16u);
  EXPECT_NE(HomeTag("/opt/kes"), HomeTag("/opt/kes2"));
  for (const char* bad : {"", "0123456789abcdef0123456789abcdef",  // the old form
                          "0123456789abcdef0123456789abcdef.0123456789abcdef.12",
                          "0123456789abcdef0123456789abcdeX.0123456789abcdef.12.3",
                          "0123456789abcdef0123456789abcdef.0123456789abcdef.0.3",
                          "0123456789abcdef0123456789abcdef.0123456789abcdef.1x.3"})
    EXPECT_FALSE(ParseRunMarker(bad)) << bad;
}

// Runs of this home whose server is gone are found; runs of a server still
// running (the test's parent stands in for it) or of another home are not.
// The one that ignores SIGTERM is killed once the grace has passed.
TEST(RunMarker, OrphansOfAGoneServerOfTheHomeAreFoundAndEnded) {
  const std::string home = "/tmp/kes-orphan-home-" + std::to_string(getpid());
  const ProcessId parent = getppid();
  const RunMarkerOrigin gone{HomeTag(home), getpid(), ProcessStartTime(getpid()).value() + 1};
  const RunMarkerOrigin alive{HomeTag(home), parent, ProcessStartTime(parent).value()};
  const RunMarkerOrigin elsewhere{HomeTag(home + "x"), getpid(), 1};
  const auto start = [](const char* mode, const RunMarkerOrigin& origin) {
    int error = 0;
    auto child = StartChild({kChild, mode}, &error,
                            {std::string(kRunMarkerName) + "=" + NewRunMarkerFor(origin)});
    EXPECT_TRUE(child) << error;
    return child;
  };
  auto stubborn = start("stubborn", gone);  // ignores SIGTERM
  auto sleeper = start("sleep", gone);
  auto ofLiveServer = start("stubborn", alive);
  auto otherHome = start("stubborn", elsewhere);
  for (auto* c : {&stubborn, &ofLiveServer, &otherHome})
    ASSERT_EQ(ReadLine((*c)->out.get()), "ready");

  std::vector<OrphanedProcess> found;
  ASSERT_TRUE(test::WaitUntil([&] {
    found = FindOrphanedRuns(home);
    return found.size() == 2;
  })) << found.size();
  std::sort(found.begin(), found.end(),
            [](const OrphanedProcess& a, const OrphanedProcess& b) { return a.pid < b.pid; });
  std::vector<ProcessId> expected{stubborn->process.pid(), sleeper->process.pid()};
  std::sort(expected.begin(), expected.end());
  for (size_t k = 0; k < found.size(); ++k) EXPECT_EQ(found[k].pid, expected[k]);
  const auto stubbornEntry = std::find_if(
      found.begin(), found.end(), [&](const auto& p) { return p.pid == stubborn->process.pid(); });
  EXPECT_EQ(stubbornEntry->command, kChild + " stubborn");

  const std::vector<ProcessId> killed = EndOrphanedRuns(found, std::chrono::milliseconds(100));
  EXPECT_EQ(killed, std::vector<ProcessId>{stubborn->process.pid()});
  EXPECT_TRUE(stubborn->process.Reap().signaled);
  EXPECT_TRUE(sleeper->process.Reap().signaled);
  EXPECT_TRUE(FindOrphanedRuns(home).empty());
  for (auto* left : {&ofLiveServer, &otherHome}) {
    EXPECT_TRUE(KillProcessTree((*left)->process.pid()));
    (*left)->process.Reap();
  }
}
TEST(RunMarker, OrphanThatTakesSigtermEndsWithoutAKill) {
  const std::string home = "/tmp/kes-orphan-term-" + std::to_string(getpid());
  const RunMarkerOrigin gone{HomeTag(home), getpid(), ProcessStartTime(getpid()).value() + 1};
  int error = 0;
  auto child = StartChild({kChild, "sleep"}, &error,
                          {std::string(kRunMarkerName) + "=" + NewRunMarkerFor(gone)});
  ASSERT_TRUE(child) << error;
  ASSERT_TRUE(test::WaitUntil([&] { return FindOrphanedRuns(home).size() == 1; }));
  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(EndOrphanedRuns(FindOrphanedRuns(home), std::chrono::seconds(5)).empty());
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  EXPECT_TRUE(child->process.Reap().signaled);
}

}  // namespace
}  // namespace kestrun
