#include "scheduler/scheduler.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>

#include "base/log.h"
#include "config/server_config.h"

namespace kestrun {

namespace {

// A clock set back by more than this is taken for a correction of a wrong
// clock, not for a daylight-saving change, and does not silence the
// scheduler for the hours or days it went back.
constexpr int64_t kLongestClockChange = 180;

// Days since 1970-01-01 of a civil date (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

bool Bit(uint32_t mask, int index) {
  return index >= 0 && index < 32 && (mask >> index & 1u) != 0;
}

// The dependents of a finished run, each on its own thread. A dependent that
// names no job, or that closes a cycle of dependent runs, is logged; a cycle
// still runs once per finished run.
void StartDependents(const std::shared_ptr<RunShared>& shared, const ScheduledRun& parent,
                     const FinishedRun& finished) {
  const JobDefinition& job = parent.job;
  for (const std::string& name : DependentNames(job, finished.exitCode)) {
    std::optional<JobDefinition> dependent = FindJobForUser(shared->config, name, std::nullopt);
    if (!dependent) {
      LogMessage(shared->config, "SCHEDULER: Dependent job \"%s\" of %s does not exist",
                 name.c_str(), job.name.c_str());
      continue;
    }
    ScheduledRun run;
    run.parent = ParentRun{job.name, finished.logPath, finished.exitCode};
    run.chain = parent.chain;
    if (std::find(run.chain.begin(), run.chain.end(), job.name) == run.chain.end())
      run.chain.push_back(job.name);
    run.cycleReported = parent.cycleReported;
    const bool repeats =
        std::find(run.chain.begin(), run.chain.end(), dependent->name) != run.chain.end();
    if (repeats && !run.cycleReported) {
      LogMessage(shared->config,
                 "SCHEDULER: Dependent job %s of %s closes a cycle of dependent jobs; it runs "
                 "again each time the cycle comes round",
                 dependent->name.c_str(), job.name.c_str());
      run.cycleReported = true;
    }
    run.job = std::move(*dependent);
    StartRunThread(shared, std::move(run));
  }
}

}  // namespace

int64_t WallMinute(const LocalTime& local) {
  return DaysFromCivil(local.year, local.month, local.day) * 1440 + local.hour * 60 + local.minute;
}

TickDecision DecideTick(TickState& state, const ClockReading& now) {
  TickDecision decision;
  const int64_t epochMinute = FloorDiv(now.epoch, 60);
  const int64_t wallMinute = WallMinute(now.local);
  if (!state.ticked) {
    decision.evaluate = true;
  } else {
    if (epochMinute - state.epochMinute > 1)
      decision.missedMinutes = epochMinute - state.epochMinute;
    decision.clockWentBack = wallMinute < state.wallMinute;
    decision.evaluate =
        wallMinute > state.wallMinute || state.wallMinute - wallMinute > kLongestClockChange;
  }
  if (decision.evaluate) state.wallMinute = wallMinute;
  state.epochMinute = epochMinute;
  state.ticked = true;
  return decision;
}

std::vector<size_t> DueJobs(const std::vector<ScheduleEntry>& schedule, const LocalTime& now) {
  std::vector<size_t> due;
  const int32_t minute = now.hour * 60 + now.minute;
  for (const ScheduleEntry& entry : schedule) {
    if (!Bit(entry.dates, now.day - 1) || !Bit(entry.days, now.weekday) ||
        !Bit(entry.months, now.month - 1))
      continue;
    for (const int32_t time : entry.times)
      if (time == minute) due.push_back(entry.job);
  }
  return due;
}

Scheduler::Scheduler(ServerConfig& config, RunningJobTable& runningJobs, SchedulerOptions options)
    : shared_(std::make_shared<RunShared>(config, runningJobs, std::move(options.clock),
                                          std::move(options.notifyJobState))),
      testStartTimedRun_(std::move(options.testStartTimedRun)) {
  shared_->history = options.history;
}

void Scheduler::Tick() {
  ServerConfig& config = shared_->config;
  if (ConfigFileChanged(config)) ReloadServerConfig(config);
  // The snapshot never changes once published: holding it is the tick's own
  // copy of the schedule, and each run gets a copy of its job.
  const std::shared_ptr<const ConfigSnapshot> snapshot = config.Snapshot();
  const ClockReading now = shared_->clock();
  const TickDecision decision = DecideTick(tick_, now);
  if (decision.missedMinutes > 0)
    LogMessage(config,
               "SCHEDULER: %lld minutes passed since the previous tick; runs due in between are "
               "not started",
               static_cast<long long>(decision.missedMinutes));
  if (!decision.evaluate || !snapshot) return;
  for (const size_t index : DueJobs(snapshot->schedule, now.local)) {
    JobDefinition job = CopyJobDefinition(snapshot->jobs[index]);
    if (testStartTimedRun_)
      testStartTimedRun_(job);
    else
      StartScheduledJob(std::move(job));
  }
}

void Scheduler::StartScheduledJob(JobDefinition job) {
  ScheduledRun run;
  run.job = std::move(job);
  StartRunThread(shared_, std::move(run));
}

bool Scheduler::WaitUntilIdle(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> guard(shared_->lock);
  return shared_->idle.wait_for(guard, timeout, [&] { return shared_->activeRuns == 0; });
}

void StartRunThread(const std::shared_ptr<RunShared>& shared, ScheduledRun run) {
  auto body = [shared](ScheduledRun run) {
    if (const std::optional<FinishedRun> finished = RunScheduledJob(*shared, run))
      StartDependents(shared, run, *finished);
    // Last act: the dependents are counted already, so the count reaches 0
    // only when a whole chain of runs is over.
    std::lock_guard<std::mutex> guard(shared->lock);
    if (--shared->activeRuns == 0) shared->idle.notify_all();
  };
  {
    std::lock_guard<std::mutex> guard(shared->lock);
    ++shared->activeRuns;
  }
  const std::string name = run.job.name;
  try {
    std::thread(body, std::move(run)).detach();
  } catch (const std::system_error&) {
    LogMessage(shared->config, "SCHEDULER: Could not start a thread for job %s", name.c_str());
    std::lock_guard<std::mutex> guard(shared->lock);
    if (--shared->activeRuns == 0) shared->idle.notify_all();
  }
}

}  // namespace kestrun
