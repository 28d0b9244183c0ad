// The scheduler: jobs with `autorun` on, started by the server itself at
// their times of day, and the dependent jobs started when such a run ends.
//
// Threads:
//   - the listener thread calls Tick() once a minute. Tick reads the clock,
//     decides which entries of the schedule are due and starts their runs;
//     the tick state (TickState) is the listener's alone.
//   - one detached run thread per run (StartScheduledJob). It owns its copy
//     of the job, makes the run (scheduled_run.h) and then starts the run's
//     dependents, each on a thread of its own, before it ends.
// Shared between them: the RunShared block (scheduled_run.h), held by every
// run thread; its lock guards only the count of active runs. No lock of the
// scheduler is held while a run logs, reads the environment or uses the
// running-job table.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "config/schedule.h"
#include "scheduler/scheduled_run.h"

namespace kestrun {

// The local time as a count of minutes: later wall-clock minutes give larger
// values, whatever the time zone's offset does.
int64_t WallMinute(const LocalTime& local);

// What the tick remembers from one minute to the next.
struct TickState {
  bool ticked = false;
  int64_t epochMinute = 0;  // real minutes since the epoch at the last tick
  int64_t wallMinute = 0;   // the latest local minute whose runs were started
};

struct TickDecision {
  bool evaluate = false;       // start the runs due in this local minute
  int64_t missedMinutes = 0;   // real minutes skipped since the previous tick
  bool clockWentBack = false;  // the local time is earlier than at the last tick
};

// How a tick at `now` proceeds, updating `state`. Only a local minute later
// than every minute already evaluated is evaluated, so a clock set back (the
// repeated hour at the end of daylight saving time) starts nothing twice;
// after a clock set forward, the first minute is evaluated at once. Missed
// minutes are counted on the real clock: a time-zone change misses none.
TickDecision DecideTick(TickState& state, const ClockReading& now);

// Indices into the snapshot's jobs of the runs due at `now`: for each entry
// in order whose date, weekday and month bits are set, its job once for each
// of its times equal to the current minute (a time listed twice, twice).
std::vector<size_t> DueJobs(const std::vector<ScheduleEntry>& schedule, const LocalTime& now);

struct SchedulerOptions {
  // Read by the tick and by every run (the minute in its log file's name), so
  // it is called from the listener and from run threads at once.
  SchedulerClock clock = ReadServerClock;
  // Tells a job's run group that it started or stopped (notifications);
  // called from run threads.
  std::function<void(const JobDefinition&, bool started)> notifyJobState;
  // The run history (null: runs are not recorded); outlives every run.
  history::RunHistory* history = nullptr;
  // TEST ONLY: replaces the start of the runs that a tick finds due.
  std::function<void(const JobDefinition&)> testStartTimedRun;
};

class Scheduler {
 public:
  // `config` and `runningJobs` must outlive every run (the server's do).
  Scheduler(ServerConfig& config, RunningJobTable& runningJobs, SchedulerOptions options = {});

  // The minute step (listener thread only): reloads kestrun.conf when it
  // changed, logs "SCHEDULER: %lld minutes passed since the previous tick;
  // runs due in between are not started" when minutes were missed, and
  // starts the runs due in the current local minute.
  void Tick();

  // Starts a timed run of `job` on a thread of its own; nobody waits for it.
  void StartScheduledJob(JobDefinition job);

  // Waits until no run thread is left (a run's dependents are counted before
  // it ends, so a whole chain is waited for); false on timeout.
  bool WaitUntilIdle(std::chrono::milliseconds timeout) const;

 private:
  std::shared_ptr<RunShared> shared_;
  std::function<void(const JobDefinition&)> testStartTimedRun_;
  TickState tick_;
};

// Starts `run` on a detached thread that holds `shared` until its end,
// starting the run's dependents when its program has ended. A thread that
// cannot be started is logged and the run dropped.
void StartRunThread(const std::shared_ptr<RunShared>& shared, ScheduledRun run);

}  // namespace kestrun
