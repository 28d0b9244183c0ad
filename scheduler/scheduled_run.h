// One scheduled run of a job, from its running conditions to the end of its
// program: the steps a run thread of the scheduler takes (see scheduler.h for
// the threads).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/job_definition.h"
#include "platform/local_time.h"

namespace kestrun {

class ServerConfig;
class RunningJobTable;
namespace history {
class RunHistory;
}

// The clock of the scheduler: seconds since the epoch and the local time of
// that same instant, read together.
struct ClockReading {
  int64_t epoch = 0;
  LocalTime local;
};
using SchedulerClock = std::function<ClockReading()>;

// The server's clock: the system time, converted in the server's time zone.
ClockReading ReadServerClock();
// The same, `offset` seconds ahead (tests: a minute boundary comes soon).
ClockReading ReadServerClockAhead(int64_t offset);

// What every run thread shares with the scheduler. The configuration and
// the running-job table outlive every run (they live as long as the server);
// this block is held by each run thread, so a run may finish after the
// scheduler is gone. `lock` guards `activeRuns` only.
struct RunShared {
  RunShared(ServerConfig& config, RunningJobTable& runningJobs, SchedulerClock clock,
            std::function<void(const JobDefinition&, bool started)> notifyJobState)
      : config(config),
        runningJobs(runningJobs),
        clock(std::move(clock)),
        notifyJobState(std::move(notifyJobState)) {}

  ServerConfig& config;
  RunningJobTable& runningJobs;
  const SchedulerClock clock;
  // Tells a job's run group that it started (true) or stopped (false); empty
  // while notifications are not there.
  const std::function<void(const JobDefinition&, bool started)> notifyJobState;

  // The run history (null: runs are not recorded); set before any run.
  history::RunHistory* history = nullptr;

  std::mutex lock;
  std::condition_variable idle;  // signalled when activeRuns drops to 0
  int32_t activeRuns = 0;
};

// The run that started a dependent run.
struct ParentRun {
  std::string job;
  std::string logPath;
  int32_t exitCode = 0;
};

// A run to make, owned by its thread.
struct ScheduledRun {
  JobDefinition job;
  std::optional<ParentRun> parent;  // set for a dependent run
  // Names of the runs whose ends led to this one, oldest first, each once;
  // a dependent already among them closes a cycle, which is logged once.
  std::vector<std::string> chain;
  bool cycleReported = false;
};

struct FinishedRun {
  std::string logPath;
  int32_t exitCode = 0;
};

// Runs `run` on the calling thread: running conditions, environment,
// prevalidate and validate commands (exit code 0 lets the run go on), log
// pruning, the log and input files, the program itself in the running-job
// table with user "SCHEDULER", and the parent variables KESPARENTJOB,
// KESPARENTLOG, KESPARENTEXITCODE set in the process environment. Every step
// is logged with a "SCHEDULER: " line. Returns the log path and exit code
// (1 when the program could not be started), or nullopt when the run was
// stopped before its program.
std::optional<FinishedRun> RunScheduledJob(RunShared& shared, const ScheduledRun& run);

// The names of the dependent jobs of `job` for a run that ended with
// `exitCode`: `autorunonsuccess` for 0, else `autorunonfailure`, outer braces
// removed, split at "," with every item kept as written (blanks included).
std::vector<std::string> DependentNames(const JobDefinition& job, int32_t exitCode);

}  // namespace kestrun
