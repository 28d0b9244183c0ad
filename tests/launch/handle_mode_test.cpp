// A run with given handles (the scheduler's kind of run) reports its start
// and end once each, and is listed under the user it names.
#include <gtest/gtest.h>

#include "launch/execute.h"

namespace kestrun {
namespace {

TEST(HandleModeRun, StartAndEndAreReportedOnceEach) {
  RunningJobTable table;
  ExecutionContext context{table, {}};
  std::vector<std::string> events;
  RunDescriptor run{"NIGHTLY", std::nullopt};
  run.clientUser = "SCHEDULER";
  run.stateChanged = [&](bool started) {
    events.push_back(started ? "started" : "stopped");
    if (started) {
      const std::vector<RunningJob> jobs = table.ListRunningJobs();
      EXPECT_EQ(jobs.size(), 1u);
      if (!jobs.empty()) {
        EXPECT_EQ(jobs[0].clientUser, "SCHEDULER");
      }
    }
  };
  EXPECT_EQ(ExecuteAndCapture(context, {KES_TEST_CHILD, "exit", "3"}, "", 0, {}, run).exitStatus,
            3);
  EXPECT_EQ(events, (std::vector<std::string>{"started", "stopped"}));
  EXPECT_TRUE(table.ListRunningJobs().empty());
}

}  // namespace
}  // namespace kestrun
