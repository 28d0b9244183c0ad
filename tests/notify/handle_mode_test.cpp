// A run with given handles (the scheduler's kind of run) tells the job's run
// group of its start and end, once each; a run without a job tells nobody.
#include <gtest/gtest.h>

#include "platform/execute.h"

namespace kestrun {
namespace {

TEST(HandleModeRun, RunGroupIsToldOfStartAndStop) {
  RunningJobTable table;
  ExecutionContext context{table, {}};
  std::vector<std::string> events;
  context.hooks.notifyJobState = [&](const JobDefinition& job, bool started) {
    events.push_back(job.name + (started ? " started" : " stopped"));
  };
  JobDefinition job;
  job.name = "NIGHTLY";
  RunDescriptor withJob{"NIGHTLY", std::nullopt};
  withJob.job = &job;
  EXPECT_EQ(
      ExecuteAndCapture(context, {KES_TEST_CHILD, "exit", "3"}, "", 0, {}, withJob).exitStatus, 3);
  EXPECT_EQ(events, (std::vector<std::string>{"NIGHTLY started", "NIGHTLY stopped"}));
  ExecuteAndCapture(context, {KES_TEST_CHILD, "exit", "0"}, "", 0, {},
                    RunDescriptor{"NIGHTLY", std::nullopt});
  EXPECT_EQ(events.size(), 2u);
}

}  // namespace
}  // namespace kestrun
