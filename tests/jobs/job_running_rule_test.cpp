// The allow/deny rule of jobs against a real running-job table.
#include "jobs/job_running_rule.h"

#include <gtest/gtest.h>

#include "config/job_definition.h"
#include "launch/running_jobs.h"

namespace kestrun {
namespace {

class JobRunningRule : public ::testing::Test {
 protected:
  JobRunningRule()
      : table_([] { return int64_t{1000}; }, [](ProcessId) { return true; },
               [] { return uint32_t{42}; }) {}
  RuleOutcome Eval(std::string_view directive, RuleSense sense,
                   const std::vector<std::string>& args = {}) const {
    return EvaluateJobRunningRule(directive, sense, args, table_);
  }
  RunningJobTable table_;
};

TEST_F(JobRunningRule, NoDirectiveAllowsAndDoesNotDeny) {
  EXPECT_TRUE(Eval("", RuleSense::Allow).result);
  EXPECT_FALSE(Eval("", RuleSense::Deny).result);
}

TEST_F(JobRunningRule, EmptyBracesHaveNoItemAndAreFalseInBothSenses) {
  table_.AddRunningJob(10, "BACKUP", "ann", std::nullopt);
  EXPECT_FALSE(Eval("{}", RuleSense::Allow).result);
  EXPECT_FALSE(Eval("{}", RuleSense::Deny).result);
  EXPECT_FALSE(Eval("{{}}", RuleSense::Allow).result);
}

TEST_F(JobRunningRule, DenyBackupOrRestoreWithTheLockValueOfArgumentOne) {
  const std::vector<std::string> args{"PROD"};
  const std::string rule = "{BACKUP,RESTORE:1}";
  EXPECT_FALSE(Eval(rule, RuleSense::Deny, args).result);

  table_.AddRunningJob(10, "RESTORE", "ann", "TEST");
  EXPECT_FALSE(Eval(rule, RuleSense::Deny, args).result);
  table_.AddRunningJob(11, "RESTORE", "ann", "PROD");
  RuleOutcome out = Eval(rule, RuleSense::Deny, args);
  EXPECT_TRUE(out.result);
  EXPECT_EQ(out.decidingJob, "RESTORE");
  table_.RemoveRunningJob(11);
  table_.AddRunningJob(12, "RESTORE", "ann", std::nullopt);  // no lock value: matches any
  EXPECT_TRUE(Eval(rule, RuleSense::Deny, args).result);
  table_.RemoveRunningJob(12);

  table_.AddRunningJob(13, "BACKUP", "bob", "ANYTHING");
  out = Eval(rule, RuleSense::Deny, args);
  EXPECT_TRUE(out.result);
  EXPECT_EQ(out.decidingJob, "BACKUP");
}

TEST_F(JobRunningRule, AllowNeedsEveryItemAndTheFirstMissingOneDecides) {
  table_.AddRunningJob(10, "DB", "ann", std::nullopt);
  EXPECT_TRUE(Eval("{DB}", RuleSense::Allow).result);
  const RuleOutcome out = Eval("{DB,QUEUE,MAIL}", RuleSense::Allow);
  EXPECT_FALSE(out.result);
  EXPECT_EQ(out.decidingJob, "QUEUE");
}

TEST_F(JobRunningRule, LockValueBeyondTheArgumentsOrZeroAsksForAnyRun) {
  table_.AddRunningJob(10, "SYNC", "ann", "EU");
  EXPECT_TRUE(Eval("{SYNC:3}", RuleSense::Deny, {"US"}).result);
  EXPECT_TRUE(Eval("{SYNC:0}", RuleSense::Deny, {"US"}).result);
  EXPECT_FALSE(Eval("{SYNC:1}", RuleSense::Deny, {"US"}).result);
  // Argument 2 is the client's first when the job has one parameter of its own.
  EXPECT_TRUE(Eval("{SYNC:2}", RuleSense::Deny, {"own", "EU"}).result);
}

TEST_F(JobRunningRule, EmptyItemsNameAJobThatNeverRunsAndATrailingCommaAddsNone) {
  table_.AddRunningJob(10, "A", "ann", std::nullopt);
  EXPECT_TRUE(Eval("{A,}", RuleSense::Allow).result);
  const RuleOutcome out = Eval("{A,,A}", RuleSense::Allow);
  EXPECT_FALSE(out.result);
  EXPECT_EQ(out.decidingJob, "");
  EXPECT_FALSE(Eval(",", RuleSense::Allow).result);
  // Blanks are part of the name.
  EXPECT_FALSE(Eval("{ A}", RuleSense::Deny).result);
}

TEST_F(JobRunningRule, ItemsMatchConfiguredNamesWithoutRegardToCase) {
  table_.AddRunningJob(10, "BACKUP", "ann", std::nullopt);
  const RuleOutcome out = Eval("{backup}", RuleSense::Deny);
  EXPECT_TRUE(out.result);
  EXPECT_EQ(out.decidingJob, "backup");
}

TEST_F(JobRunningRule, RefusalKindAndMessages) {
  JobDefinition job;
  job.name = "NIGHTLY";
  job.denyIfJobRunning = "{nightly}";
  table_.AddRunningJob(10, "NIGHTLY", "ann", std::nullopt);
  JobRunRefusal r = CheckJobRunningRules(job, {}, table_);
  ASSERT_TRUE(r.refused);
  EXPECT_EQ(r.kind, RuleSense::Deny);
  EXPECT_EQ(RefusalMessage(r, "ann", "pc1", "NIGHTLY"),
            "ann@pc1 Cannot run NIGHTLY - it is already running");

  job.denyIfJobRunning = "{NIGHTLY}";
  job.name = "REPORT";
  r = CheckJobRunningRules(job, {}, table_);
  EXPECT_EQ(RefusalMessage(r, "ann", "pc1", "REPORT"),
            "ann@pc1 Cannot run REPORT - job NIGHTLY is running");

  job.denyIfJobRunning.clear();
  job.allowIfJobRunning = "{NIGHTLY,LOADER}";
  r = CheckJobRunningRules(job, {}, table_);
  ASSERT_TRUE(r.refused);
  EXPECT_EQ(r.kind, RuleSense::Allow);
  EXPECT_EQ(RefusalMessage(r, "ann", "pc1", "REPORT"),
            "ann@pc1 Cannot run REPORT - job LOADER is not running");

  // Both rules failing: the deny kind wins.
  job.denyIfJobRunning = "{NIGHTLY}";
  EXPECT_EQ(CheckJobRunningRules(job, {}, table_).kind, RuleSense::Deny);

  job.allowIfJobRunning = "{NIGHTLY}";
  job.denyIfJobRunning = "{LOADER}";
  EXPECT_FALSE(CheckJobRunningRules(job, {}, table_).refused);
}

}  // namespace
}  // namespace kestrun
