// The running-job table: its rules with injected clock, killer and thread
// ids, and a kill of a real job with a child and a grandchild.
#include <signal.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "launch/running_jobs.h"
#include "tests/support/child_io.h"

namespace kestrun {
namespace {

// A table whose clock, kills and thread ids the test controls.
struct FakeWorld {
  int64_t now = 1000;
  uint32_t thread = 7;
  std::set<uint32_t> killable;  // process ids the killer succeeds on
  std::vector<uint32_t> killCalls;
  RunningJobTable table{[this] { return now; },
                        [this](ProcessId pid) {
                          killCalls.push_back(static_cast<uint32_t>(pid));
                          return killable.count(static_cast<uint32_t>(pid)) > 0;
                        },
                        [this] { return thread; }};
};

std::vector<std::string> Names(const std::vector<RunningJob>& jobs) {
  std::vector<std::string> names;
  for (const RunningJob& j : jobs) names.push_back(j.jobName);
  return names;
}

TEST(RunningJobTable, EntriesAreFilledFromTheCallAndTheClock) {
  FakeWorld w;
  w.table.AddRunningJob(101, "BACKUP", std::string("alice"), std::string("db1"));
  w.now = 2000;
  w.thread = 8;
  w.table.AddRunningJob(102, "NIGHTLY", std::nullopt, std::nullopt);
  const auto jobs = w.table.ListRunningJobs();
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].ownerThreadId, 7u);
  EXPECT_EQ(jobs[0].processId, 101u);
  EXPECT_EQ(jobs[0].jobName, "BACKUP");
  EXPECT_EQ(jobs[0].clientUser, "alice");
  EXPECT_EQ(jobs[0].lockValue, "db1");
  EXPECT_EQ(jobs[0].startTime, 1000);
  EXPECT_EQ(jobs[1].ownerThreadId, 8u);
  EXPECT_FALSE(jobs[1].clientUser);  // a scheduler run
  EXPECT_FALSE(jobs[1].lockValue);
  EXPECT_EQ(jobs[1].startTime, 2000);
}

TEST(RunningJobTable, FreedEntryIsReusedInPlace) {
  FakeWorld w;
  w.table.AddRunningJob(1, "A", std::nullopt, std::nullopt);
  w.table.AddRunningJob(2, "B", std::nullopt, std::nullopt);
  w.table.AddRunningJob(3, "C", std::nullopt, std::nullopt);
  EXPECT_FALSE(w.table.RemoveRunningJob(1));
  w.table.AddRunningJob(4, "D", std::nullopt, std::nullopt);
  EXPECT_EQ(Names(w.table.ListRunningJobs()), (std::vector<std::string>{"D", "B", "C"}));
  w.table.RemoveRunningJob(3);
  w.table.RemoveRunningJob(99);  // unknown: nothing changes
  EXPECT_EQ(Names(w.table.ListRunningJobs()), (std::vector<std::string>{"D", "B"}));
}

TEST(RunningJobTable, IsJobRunningComparesNamesExactlyAndLockValues) {
  FakeWorld w;
  w.table.AddRunningJob(1, "LOCKED", std::nullopt, std::string("X"));
  w.table.AddRunningJob(2, "OPEN", std::nullopt, std::nullopt);
  EXPECT_TRUE(w.table.IsJobRunning("LOCKED", std::nullopt));
  EXPECT_TRUE(w.table.IsJobRunning("LOCKED", std::string("X")));
  EXPECT_FALSE(w.table.IsJobRunning("LOCKED", std::string("Y")));
  EXPECT_FALSE(w.table.IsJobRunning("LOCKED", std::string("x")));
  EXPECT_FALSE(w.table.IsJobRunning("locked", std::nullopt));
  // An entry without a lock value matches any lock value asked.
  EXPECT_TRUE(w.table.IsJobRunning("OPEN", std::string("anything")));
  w.table.RemoveRunningJob(2);
  EXPECT_FALSE(w.table.IsJobRunning("OPEN", std::nullopt));
}

TEST(RunningJobTable, KillByProcessIdFreesTheEntryAndMarksTheProcess) {
  FakeWorld w;
  w.killable = {5};
  w.table.AddRunningJob(5, "REPORT", std::nullopt, std::nullopt);
  w.table.AddRunningJob(6, "STUCK", std::nullopt, std::nullopt);
  EXPECT_EQ(w.table.KillJobByProcessId(5), "REPORT");
  EXPECT_EQ(Names(w.table.ListRunningJobs()), std::vector<std::string>{"STUCK"});
  // The launcher's removal learns that the server killed its process.
  EXPECT_TRUE(w.table.RemoveRunningJob(5));
  EXPECT_FALSE(w.table.RemoveRunningJob(5));  // the mark is consumed

  // A kill that fails leaves the entry and no mark.
  EXPECT_EQ(w.table.KillJobByProcessId(6), std::nullopt);
  EXPECT_EQ(Names(w.table.ListRunningJobs()), std::vector<std::string>{"STUCK"});
  EXPECT_FALSE(w.table.RemoveRunningJob(6));
  // Not in the table: the killer is not even tried.
  w.killCalls.clear();
  EXPECT_EQ(w.table.KillJobByProcessId(77), std::nullopt);
  EXPECT_TRUE(w.killCalls.empty());
}

TEST(RunningJobTable, KillByStopIdMatchesTheOwnerThreadAndKeepsTheEntry) {
  FakeWorld w;
  w.thread = 4242;
  w.table.AddRunningJob(9, "LONG", std::string("bob"), std::nullopt);
  EXPECT_FALSE(w.table.KillJobByStopId(0));
  EXPECT_FALSE(w.table.KillJobByStopId(1));
  EXPECT_TRUE(w.killCalls.empty());
  // True even though the kill fails.
  EXPECT_TRUE(w.table.KillJobByStopId(4242));
  EXPECT_EQ(w.killCalls, std::vector<uint32_t>{9});
  EXPECT_FALSE(w.table.RemoveRunningJob(9));  // failed kill: no mark

  w.killable = {10};
  w.table.AddRunningJob(10, "LONG2", std::nullopt, std::nullopt);
  w.table.RemoveRunningJob(9);
  EXPECT_TRUE(w.table.KillJobByStopId(4242));
  EXPECT_EQ(Names(w.table.ListRunningJobs()), std::vector<std::string>{"LONG2"});
  EXPECT_TRUE(w.table.RemoveRunningJob(10));
}

TEST(RunningJobTable, FreeEntryWithStopIdZeroIsNeverMatched) {
  FakeWorld w;
  w.table.AddRunningJob(3, "GONE", std::nullopt, std::nullopt);
  w.table.RemoveRunningJob(3);
  EXPECT_FALSE(w.table.KillJobByStopId(0));
  EXPECT_TRUE(w.killCalls.empty());
}

TEST(RunningJobTable, KillAllVisitsEveryEntryInOrderAndLogsEach) {
  FakeWorld w;
  w.killable = {1, 3};
  w.table.AddRunningJob(1, "FIRST", std::nullopt, std::nullopt);
  w.table.AddRunningJob(2, "SECOND", std::nullopt, std::nullopt);
  w.table.AddRunningJob(3, "THIRD", std::nullopt, std::nullopt);
  w.table.RemoveRunningJob(2);
  std::vector<std::string> lines;
  EXPECT_EQ(w.table.KillAllRunningJobs([&](const std::string& l) { lines.push_back(l); }), 2);
  EXPECT_EQ(lines, (std::vector<std::string>{"Killing Running Kestrun Job \"FIRST\"",
                                             "Killing Running Kestrun Job \"THIRD\""}));
  EXPECT_EQ(w.killCalls, (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(w.table.ListRunningJobs().size(), 2u);  // the runs remove their entries
  EXPECT_EQ(w.table.KillAllRunningJobs({}), 2);
}

TEST(RunningJobTable, ClaimMovesTheStopIdToTheCallingThread) {
  FakeWorld w;
  w.thread = 100;
  w.table.AddRunningJob(50, "PRELOADED", std::nullopt, std::nullopt);
  w.thread = 200;
  w.table.ClaimRunningJob(50);
  EXPECT_EQ(w.table.ListRunningJobs().at(0).ownerThreadId, 200u);
  EXPECT_FALSE(w.table.KillJobByStopId(100));
  EXPECT_TRUE(w.table.KillJobByStopId(200));
}

TEST(RunningJobTable, StaleKillMarkDoesNotApplyToANewProcessWithTheSameId) {
  FakeWorld w;
  w.killable = {12};
  w.table.AddRunningJob(12, "OLD", std::nullopt, std::nullopt);
  EXPECT_EQ(w.table.KillJobByProcessId(12), "OLD");
  // The old run never removed itself; a new process got the same id.
  w.table.AddRunningJob(12, "NEW", std::nullopt, std::nullopt);
  EXPECT_FALSE(w.table.RemoveRunningJob(12));
}

TEST(RunningJobTable, KillJobEndsARealJobWithChildAndGrandchildAndReportsExitCode1) {
  RunningJobTable table;
  int error = 0;
  auto child = test::StartChild({test::kChild, "tree"}, &error);
  ASSERT_TRUE(child) << error;
  for (int i = 0; i < 3; ++i) test::ReadLine(child->out.get());  // all three started
  const uint32_t pid = static_cast<uint32_t>(child->process.pid());
  table.AddRunningJob(pid, "TREE", std::string("carol"), std::nullopt);
  EXPECT_EQ(table.KillJobByProcessId(pid), "TREE");
  EXPECT_EQ(test::ReadToEnd(child->out.get()), "");  // every holder of the pipe is gone
  const ProcessEnd end = child->process.WaitForEnd();
  const bool killed = table.RemoveRunningJob(pid);
  child->process.Reap();
  EXPECT_TRUE(killed);
  EXPECT_EQ(ExitCodeOf(end, killed), 1);
}

TEST(RunningJobTable, ConcurrentRunsKeepTheTableConsistent) {
  RunningJobTable table([] { return int64_t{0}; }, [](ProcessId) { return true; });
  constexpr int kThreads = 4, kRounds = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&table, t] {
      for (int i = 0; i < kRounds; ++i) {
        const uint32_t pid = static_cast<uint32_t>(t * 100000 + i + 1);
        table.AddRunningJob(pid, "J" + std::to_string(t), std::nullopt, std::nullopt);
        table.IsJobRunning("J0", std::nullopt);
        table.ListRunningJobs();
        if (i % 7 == 0) table.KillJobByProcessId(pid);
        table.RemoveRunningJob(pid);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_TRUE(table.ListRunningJobs().empty());
}

}  // namespace
}  // namespace kestrun
