#include "scheduler/scheduled_run.h"

#include "base/environment.h"
#include "base/log.h"
#include "base/text.h"
#include "config/server_config.h"
#include "jobs/job_running_rule.h"
#include "jobs/run_recording.h"
#include "jobs/script_environment.h"
#include "launch/execute.h"
#include "platform/error_text.h"
#include "protocol/socket.h"
#include "scheduler/job_log.h"

namespace kestrun {

namespace {

const char* KindWord(const ScheduledRun& run) {
  return run.parent ? "dependent" : "timed";
}

// The running conditions of the job against the running-job table, with the
// job's own parameters as the arguments that JOB:N items refer to.
bool MayRunNow(const RunShared& shared, const ScheduledRun& run) {
  const JobDefinition& job = run.job;
  const JobRunRefusal refusal = CheckJobRunningRules(job, job.params, shared.runningJobs);
  if (!refusal.refused) return true;
  const std::string what = std::string(KindWord(run)) + " job " + job.name;
  LogMessage(shared.config, "SCHEDULER: %s", RefusalText(refusal, job.name, what).c_str());
  return false;
}

// The variables every program of the run sees. A dependent run also gets
// its own parent's values directly: the process environment holds those of
// whichever scheduled run ended last, which may be another job's.
void SetRunVariables(const ScheduledRun& run, EnvironmentBlock& env) {
  SetVariable(env, "KESDIALOGNAME", run.job.name);
  SetVariable(env, "KESJOBNAME", run.job.name);
  SetVariable(env, "KESCLIENTNODENAME", "");
  SetVariable(env, "KESCLIENTUSERNAME", "");
  SetVariable(env, "KESCURRENTFIELD", "0");
  SetVariable(env, "KESCHANGEDFIELD", "");
  if (run.parent) {
    SetVariable(env, "KESPARENTJOB", run.parent->job);
    SetVariable(env, "KESPARENTLOG", run.parent->logPath);
    SetVariable(env, "KESPARENTEXITCODE", std::to_string(run.parent->exitCode));
  }
}

enum class CheckResult { Passed, Refused, NotStarted };

// Runs a prevalidate or validate command to its end, its output captured and
// dropped. Exit code 0 lets the run go on, as for a run a client asks for.
CheckResult RunCheck(RunShared& shared, const char* label, const std::string& command,
                     std::vector<std::string>& arguments, const EnvironmentBlock& env) {
  arguments[0] = command;
  ExecutionContext context{shared.runningJobs, RunHooks{}};
  const CaptureOutcome out = ExecuteAndCapture(context, arguments, "", 0, env.entries());
  if (out.result != 0 && out.result != kStreamFailure) {
    LogMessage(shared.config, "SCHEDULER: %s script \"%s\" failed to execute", label,
               command.c_str());
    return CheckResult::NotStarted;
  }
  LogMessage(shared.config, "SCHEDULER: %s script \"%s\" exits code %d", label, command.c_str(),
             out.exitStatus);
  return out.exitStatus == 0 ? CheckResult::Passed : CheckResult::Refused;
}

// Prevalidation, then validation (which runs even when prevalidation failed,
// so that both leave their lines in the log); true when the run may go on.
bool PassesChecks(RunShared& shared, const JobDefinition& job, std::vector<std::string>& arguments,
                  EnvironmentBlock& env) {
  bool goOn = true;
  if (!job.prevalidateWith.empty()) {
    SetVariable(env, "KESREASON", "PREVALIDATE");
    goOn =
        RunCheck(shared, "PreValidate", job.prevalidateWith, arguments, env) == CheckResult::Passed;
  }
  if (!job.validateWith.empty()) {
    SetVariable(env, "KESREASON", "VALIDATION");
    if (RunCheck(shared, "Validate", job.validateWith, arguments, env) != CheckResult::Passed)
      return false;
  }
  return goOn;
}

void Notify(const RunShared& shared, const JobDefinition& job, bool started) {
  if (shared.notifyJobState) shared.notifyJobState(job, started);
}

// The program in handle mode, listed in the running-job table; its exit code,
// or 1 when it could not be started.
int32_t RunProgram(RunShared& shared, const JobDefinition& job,
                   const std::vector<std::string>& arguments, const EnvironmentBlock& env,
                   const JobLog& log, RunRecording& recording) {
  RunDescriptor descriptor;
  descriptor.jobName = job.name;
  descriptor.lockValue = LockValueOf(job.lockParameter, arguments);
  descriptor.standardInput = log.input.get();
  descriptor.standardOutput = log.output.get();
  descriptor.standardError = log.output.get();
  ExecutionContext context{shared.runningJobs, RunHooks{}};
  const CaptureOutcome out =
      ExecuteAndCapture(context, arguments, "", 0, env.entries(), descriptor);
  if (out.result != 0) {
    LogMessage(shared.config, "SCHEDULER: Failed to run script \"%s\": Error %d (%s)",
               job.program.c_str(), out.result, SystemErrorText(out.result).c_str());
    recording.Finish({history::kLaunchFailed, 1, 0, {}, SystemErrorText(out.result)});
    return 1;
  }
  LogMessage(shared.config, "SCHEDULER: Script \"%s\" exits code %d", job.program.c_str(),
             out.exitStatus);
  recording.Finish({history::kExited, out.exitStatus, 0, {}, {}});
  return out.exitStatus;
}

}  // namespace

ClockReading ReadServerClock() {
  return ReadServerClockAhead(0);
}

ClockReading ReadServerClockAhead(int64_t offset) {
  ClockReading now;
  now.epoch = CurrentTime() + offset;
  now.local = LocalTimeAt(now.epoch);
  return now;
}

std::optional<FinishedRun> RunScheduledJob(RunShared& shared, const ScheduledRun& run) {
  const JobDefinition& job = run.job;
  if (!MayRunNow(shared, run)) return std::nullopt;

  EnvironmentBlock env = BuildScriptEnvironment(shared.config, &job);
  LogMessage(shared.config, "SCHEDULER: Running %s job \"%s\"", KindWord(run), job.name.c_str());
  // Element 0 holds the command of each step; the job's parameters follow.
  std::vector<std::string> arguments{""};
  arguments.insert(arguments.end(), job.params.begin(), job.params.end());
  SetRunVariables(run, env);
  if (!PassesChecks(shared, job, arguments, env)) return std::nullopt;

  PruneJobLogs(job.name, job.logFileRetention);
  SetVariable(env, "KESREASON", "TIMED");
  arguments[0] = job.program;
  FinishedRun finished;
  {
    const JobLog log = OpenJobLog(shared.config, job, env, shared.clock().local);
    history::RunStart start;
    start.job = job.name;
    start.user = "SCHEDULER";
    start.origin = run.parent ? history::kOriginDependent : history::kOriginScheduler;
    start.arguments = job.params;
    RunRecording recording(shared.history, start, 0);
    Notify(shared, job, true);
    finished.exitCode = RunProgram(shared, job, arguments, env, log, recording);
    Notify(shared, job, false);
    finished.logPath = log.path;
  }  // the log and input files close here, once each
  PutEnvLocked("KESPARENTJOB=" + job.name);
  PutEnvLocked("KESPARENTLOG=" + finished.logPath);
  PutEnvLocked("KESPARENTEXITCODE=" + std::to_string(finished.exitCode));
  return finished;
}

std::vector<std::string> DependentNames(const JobDefinition& job, int32_t exitCode) {
  const std::string& list = exitCode == 0 ? job.autoRunOnSuccess : job.autoRunOnFailure;
  if (list.empty()) return {};
  return SplitList(RemoveOuterBraces(list));
}

}  // namespace kestrun
