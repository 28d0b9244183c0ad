#include <ctime>

#include "launch/running_jobs.h"
#include "platform/process_tree.h"
#include "platform/thread.h"

namespace kestrun {

RunningJobTable::RunningJobTable(Clock clock, Killer killer, ThreadIdSource threadId,
                                 MarkerKiller markerKiller)
    : clock_(clock ? std::move(clock)
                   : Clock([] { return static_cast<int64_t>(std::time(nullptr)); })),
      killer_(killer ? std::move(killer) : Killer(KillProcessTree)),
      threadId_(threadId ? std::move(threadId) : ThreadIdSource(CurrentThreadId)),
      markerKiller_(markerKiller ? std::move(markerKiller) : MarkerKiller(KillMarkedProcesses)) {}

void RunningJobTable::AddRunningJob(uint32_t processId, const std::string& jobName,
                                    std::optional<std::string> clientUser,
                                    std::optional<std::string> lockValue, std::string runMarker,
                                    std::function<void()> onKill) {
  RunningJob job{threadId_(),          processId, jobName, std::move(clientUser),
                 std::move(lockValue), clock_()};
  std::lock_guard lock(lock_);
  // A mark left by an earlier process with this id does not apply to this one.
  killed_.erase(processId);
  extras_[processId] = {std::move(runMarker), std::move(onKill)};
  for (RunningJob& entry : entries_) {
    if (entry.ownerThreadId == 0) {
      entry = std::move(job);
      return;
    }
  }
  entries_.push_back(std::move(job));
}

bool RunningJobTable::RemoveRunningJob(uint32_t processId) {
  std::lock_guard lock(lock_);
  for (RunningJob& entry : entries_) {
    if (entry.ownerThreadId != 0 && entry.processId == processId) {
      entry.ownerThreadId = 0;
      break;
    }
  }
  extras_.erase(processId);
  return killed_.erase(processId) > 0;
}

bool RunningJobTable::WasKilled(uint32_t processId) const {
  std::lock_guard lock(lock_);
  return killed_.contains(processId);
}

bool RunningJobTable::IsJobRunning(const std::string& jobName,
                                   const std::optional<std::string>& lockValue) const {
  std::lock_guard lock(lock_);
  for (const RunningJob& entry : entries_) {
    if (entry.ownerThreadId == 0 || entry.jobName != jobName) continue;
    if (!lockValue || !entry.lockValue || *entry.lockValue == *lockValue) return true;
  }
  return false;
}

std::vector<RunningJob> RunningJobTable::ListRunningJobs() const {
  std::lock_guard lock(lock_);
  std::vector<RunningJob> list;
  for (const RunningJob& entry : entries_) {
    if (entry.ownerThreadId != 0) list.push_back(entry);
  }
  return list;
}

bool RunningJobTable::KillLocked(uint32_t processId) {
  const bool killed = killer_(static_cast<ProcessId>(processId));
  // The tree kill reaches only processes still below the job's own; the
  // marked ones that left it are killed whether or not that succeeded (the
  // job's own process may have ended while they hold its pipes).
  const auto extras = extras_.find(processId);
  if (extras != extras_.end() && !extras->second.marker.empty()) {
    markerKiller_(extras->second.marker);
  }
  if (!killed) return false;
  killed_.insert(processId);
  if (extras != extras_.end() && extras->second.onKill) extras->second.onKill();
  return true;
}

std::optional<std::string> RunningJobTable::KillJobByProcessId(uint32_t processId) {
  std::lock_guard lock(lock_);
  for (RunningJob& entry : entries_) {
    if (entry.ownerThreadId == 0 || entry.processId != processId) continue;
    if (KillLocked(processId)) {
      entry.ownerThreadId = 0;
      return entry.jobName;
    }
  }
  return std::nullopt;
}

bool RunningJobTable::KillJobByStopId(uint32_t stopId) {
  if (stopId == 0) return false;
  std::lock_guard lock(lock_);
  for (RunningJob& entry : entries_) {
    if (entry.ownerThreadId == stopId) {
      KillLocked(entry.processId);
      return true;
    }
  }
  return false;
}

int RunningJobTable::KillAllRunningJobs(const std::function<void(const std::string&)>& log) {
  std::vector<std::string> names;
  {
    std::lock_guard lock(lock_);
    for (RunningJob& entry : entries_) {
      if (entry.ownerThreadId == 0) continue;
      names.push_back(entry.jobName);
      KillLocked(entry.processId);
    }
  }
  if (log) {
    for (const std::string& name : names) log("Killing Running Kestrun Job \"" + name + "\"");
  }
  return static_cast<int>(names.size());
}

void RunningJobTable::ClaimRunningJob(uint32_t processId) {
  const uint32_t self = threadId_();
  std::lock_guard lock(lock_);
  for (RunningJob& entry : entries_) {
    if (entry.ownerThreadId != 0 && entry.processId == processId) {
      entry.ownerThreadId = self;
      return;
    }
  }
}

}  // namespace kestrun
