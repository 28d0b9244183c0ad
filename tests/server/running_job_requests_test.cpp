// GET_ACTIVE_JOBS, KILL_JOB, STOP_REQUEST and SHUTDOWN_KESTRUN through the
// real dispatcher, on a table holding real process trees the test started.
#include "server/running_job_requests.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "config/server_config.h"
#include "launch/running_jobs.h"
#include "server/dispatcher.h"
#include "tests/support/ask.h"
#include "tests/support/child_io.h"

namespace kestrun {
namespace {

namespace fs = std::filesystem;
using namespace messages;

// A server context whose table has a fixed clock and stop id, logging to a
// file of its own.
class Server {
 public:
  Server() {
    std::string pattern = (fs::temp_directory_path() / "kestrun-jobs-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
    config.SetLogFile(dir_ + "/server.log");
    context.config = &config;
    context.runningJobs = &table;
    context.exitProcess = [this](int status) { exitStatus = status; };
  }
  ~Server() { fs::remove_all(dir_); }

  std::string Log() const {
    std::ifstream in(dir_ + "/server.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  template <class Reply, class Request>
  std::optional<Reply> Ask(const Request& request) {
    return test::AskDispatcher<Reply>(context, request);
  }

  int64_t now = 1'750'000'000;
  uint32_t stopId = 4242;
  ServerConfig config;
  RunningJobTable table{[this] { return now; }, {}, [this] { return stopId; }};
  ServerContext context{};
  int exitStatus = -1;

 private:
  std::string dir_;
};

// A running job program with a child and a grandchild.
struct Tree {
  test::PipedChild child;
  uint32_t pid;
};

Tree StartTree() {
  int error = 0;
  std::optional<test::PipedChild> child = test::StartChild({test::kChild, "tree"}, &error);
  EXPECT_TRUE(child) << error;
  for (int i = 0; i < 3; ++i) test::ReadLine(child->out.get());  // all three started
  const uint32_t pid = static_cast<uint32_t>(child->process.pid());
  return Tree{std::move(*child), pid};
}

// True once every process of the tree is gone: none holds its output pipe.
bool AllGone(Tree& tree) {
  const bool closed = test::ReadToEnd(tree.child.out.get()).empty();
  tree.child.process.WaitForEnd();
  return closed;
}

TEST(GetActiveJobs, EmptyTableAnswersOneEmptyString) {
  Server s;
  EXPECT_EQ(s.Ask<GetActiveJobsReply>(GetActiveJobsRequest{}), GetActiveJobsReply{});
}

TEST(GetActiveJobs, RowsInTableOrderWithSchedulerAndEmptyLockValue) {
  Server s;
  s.table.AddRunningJob(101, "BACKUP", std::string("alice"), std::string("disk1"));
  s.now += 60;
  s.table.AddRunningJob(102, "NIGHTLY", std::nullopt, std::nullopt);
  EXPECT_EQ(s.Ask<GetActiveJobsReply>(GetActiveJobsRequest{}),
            (GetActiveJobsReply{{{"BACKUP", "disk1", "alice", 101, 1'750'000'000},
                                 {"NIGHTLY", "", "SCHEDULER", 102, 1'750'000'060}}}));
}

TEST(GetActiveJobs, StartTimeTravelsAsItsLow32Bits) {
  Server s;
  s.now = (int64_t{1} << 32) + 77;
  s.table.AddRunningJob(5, "LATE", std::nullopt, std::nullopt);
  EXPECT_EQ(s.Ask<GetActiveJobsReply>(GetActiveJobsRequest{}),
            (GetActiveJobsReply{{{"LATE", "", "SCHEDULER", 5, 77}}}));
}

TEST(KillJob, EndsAJobWithItsChildAndGrandchild) {
  Server s;
  Tree tree = StartTree();
  s.table.AddRunningJob(tree.pid, "TREEJOB", std::string("carol"), std::nullopt);
  EXPECT_EQ(s.Ask<KillJobKilled>(KillJobRequest{static_cast<int32_t>(tree.pid)}),
            KillJobKilled{"TREEJOB"});
  EXPECT_TRUE(AllGone(tree));
  EXPECT_TRUE(s.table.ListRunningJobs().empty()) << "a killed job leaves the table";
  const std::string pid = std::to_string(tree.pid);
  EXPECT_NE(s.Log().find("Administrator requests kill of process id " + pid + "\n"),
            std::string::npos);
  EXPECT_NE(s.Log().find("Process ID " + pid + " (TREEJOB) terminated successfully\n"),
            std::string::npos);
}

TEST(KillJob, UnknownOrInvalidProcessIdAnswersZero) {
  Server s;
  s.table.AddRunningJob(999999, "OTHER", std::nullopt, std::nullopt);
  for (int32_t pid : {12, 0, -999999}) {
    // Nothing follows the refusal.
    EXPECT_EQ(s.Ask<KillJobRefused>(KillJobRequest{pid}), KillJobRefused{});
  }
  EXPECT_NE(s.Log().find("Administrator requests kill of process id 12\n"), std::string::npos);
  EXPECT_EQ(s.Log().find("terminated successfully"), std::string::npos);
  EXPECT_EQ(s.table.ListRunningJobs().size(), 1u);
}

TEST(StopRequest, StopIdOfTheRunningRequestKillsItsTree) {
  Server s;
  Tree tree = StartTree();
  s.table.AddRunningJob(tree.pid, "TREEJOB", std::string("carol"), std::nullopt);
  EXPECT_EQ(s.Ask<StopReply>(messages::StopRequest{4242}), StopReply{})
      << "the reply carries no fields";
  EXPECT_TRUE(AllGone(tree));
  EXPECT_EQ(s.table.ListRunningJobs().size(), 1u) << "the run removes its own entry";
  EXPECT_NE(s.Log().find("User Requests Process Stop\n"), std::string::npos);
  EXPECT_NE(s.Log().find("Process stopped successfully\n"), std::string::npos);
}

TEST(StopRequest, UnknownStopIdAndZeroFail) {
  Server s;
  s.table.AddRunningJob(999999, "OTHER", std::nullopt, std::nullopt);
  for (uint32_t id : {0u, 77u}) EXPECT_TRUE(s.Ask<StopReply>(messages::StopRequest{id}));
  const std::string log = s.Log();
  size_t failures = 0;
  for (size_t at = log.find("Failed to stop process\n"); at != std::string::npos;
       at = log.find("Failed to stop process\n", at + 1))
    ++failures;
  EXPECT_EQ(failures, 2u);
  EXPECT_EQ(log.find("Process stopped successfully"), std::string::npos);
}

TEST(ShutdownKestrun, NoJobsAnswersOneAndEndsAtOnce) {
  Server s;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(s.Ask<ShutdownReply>(ShutdownRequest{}));
  EXPECT_EQ(s.exitStatus, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500))
      << "no two-second wait without jobs";
  EXPECT_NE(s.Log().find("Shutting Down Kestrun\n"), std::string::npos);
}

TEST(ShutdownKestrun, KillsEveryRunningJobAndLogsEach) {
  Server s;
  Tree first = StartTree();
  Tree second = StartTree();
  s.table.AddRunningJob(first.pid, "FIRST", std::string("a"), std::nullopt);
  s.table.AddRunningJob(second.pid, "SECOND", std::nullopt, std::nullopt);
  EXPECT_TRUE(s.Ask<ShutdownReply>(ShutdownRequest{}));
  EXPECT_EQ(s.exitStatus, 0);
  EXPECT_TRUE(AllGone(first));
  EXPECT_TRUE(AllGone(second));
  const std::string log = s.Log();
  const size_t shutting = log.find("Shutting Down Kestrun\n");
  const size_t killFirst = log.find("Killing Running Kestrun Job \"FIRST\"\n");
  const size_t killSecond = log.find("Killing Running Kestrun Job \"SECOND\"\n");
  ASSERT_NE(killSecond, std::string::npos);
  EXPECT_LT(shutting, killFirst);
  EXPECT_LT(killFirst, killSecond);
}

}  // namespace
}  // namespace kestrun
