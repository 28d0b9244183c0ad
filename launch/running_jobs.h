// The running-job table: every job program the server has started and that
// has not yet ended.
//
// It answers whether a job is running (the allow/deny rules of a run), lists
// running jobs (GET_ACTIVE_JOBS, the administrative command line), ends a
// job with its whole process tree on request (KILL_JOB by process id,
// STOP_REQUEST by stop id) and ends every job at shutdown.
//
// Locking: one table lock guards the entries, the killed-process marks and,
// once it exists, the preloaded-script table (reach it through TableLock()).
// Every operation takes it for its whole work, the kill operations included,
// so a process cannot be removed and collected while it is being signalled.
// Nothing else is locked while it is held: in particular it is never held
// while the environment lock is taken or a log line is written.
//
// Process ids: a launcher adds its child right after starting it and removes
// it after the child has ended but BEFORE collecting it (Process::WaitForEnd,
// then RemoveRunningJob, then Process::Reap). The id of an entry in use thus
// always belongs to the job's own process (or its zombie), never to a reused
// id, and killing it is safe.
//
// Escaped processes: every run has a run marker in its environment (see
// platform/process_tree.h). A kill ends the job's process tree and then every
// descendant of the server that carries the run's marker, so a process that
// left the job's session and parent dies with its run too.
//
// Kill notices: a run may leave a callback with its entry; a kill calls it
// (under the table lock: it must only signal, never lock or block), so the
// run can stop waiting for output pipes that something else still holds.
//
// Killed jobs: the table remembers which processes the server killed.
// RemoveRunningJob hands that mark to the launcher, which then reports exit
// code 1 for a job that died by the server's signal (ExitCodeOf).
//
// Any thread may call every operation.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/process.h"

namespace kestrun {

// One entry of the table (and one row of ListRunningJobs).
struct RunningJob {
  uint32_t ownerThreadId = 0;  // thread that runs the job; also its stop id; 0 = free entry
  uint32_t processId = 0;      // the job's program (the terminal wrapper's for terminal jobs)
  std::string jobName;
  std::optional<std::string> clientUser;  // none for runs started by the scheduler
  std::optional<std::string> lockValue;
  int64_t startTime = 0;  // seconds since 1970-01-01 UTC
};

class RunningJobTable {
 public:
  using Clock = std::function<int64_t()>;                              // seconds since 1970
  using Killer = std::function<bool(ProcessId)>;                       // ends a process tree
  using MarkerKiller = std::function<int(const std::string& marker)>;  // ends marked processes
  using ThreadIdSource = std::function<uint32_t()>;                    // the calling thread's id

  // The defaults are the real clock, KillProcessTree, CurrentThreadId and
  // KillMarkedProcesses; tests inject their own.
  explicit RunningJobTable(Clock clock = {}, Killer killer = {}, ThreadIdSource threadId = {},
                           MarkerKiller markerKiller = {});

  // Enters a started program, owned by the calling thread: the first free
  // entry is reused, else one is appended, so the table never grows beyond
  // the most jobs that ran at once.
  // `runMarker` is the run's marker (empty: none); `onKill` is the run's
  // kill notice (may be empty), kept until RemoveRunningJob.
  void AddRunningJob(uint32_t processId, const std::string& jobName,
                     std::optional<std::string> clientUser, std::optional<std::string> lockValue,
                     std::string runMarker = {}, std::function<void()> onKill = {});

  // True when the server killed this process and the mark was not yet
  // consumed by RemoveRunningJob.
  bool WasKilled(uint32_t processId) const;

  // Frees the first entry in use with this process id (if any). Returns true
  // when the server killed this process (the mark is consumed), so the
  // launcher can report the job as terminated.
  bool RemoveRunningJob(uint32_t processId);

  // True when an entry in use has exactly this job name and either no lock
  // value was asked, the entry has none, or the two are equal.
  bool IsJobRunning(const std::string& jobName, const std::optional<std::string>& lockValue) const;

  // Copies of the entries in use, in table order.
  std::vector<RunningJob> ListRunningJobs() const;

  // Kills the first entry in use with this process id whose tree can be
  // killed, frees the entry and returns the job's name; empty when no
  // matching entry could be killed.
  std::optional<std::string> KillJobByProcessId(uint32_t processId);

  // Kills the tree of the first entry in use owned by this stop id. True
  // when such an entry exists, whether or not the kill succeeded; the entry
  // stays until its run removes it. A stop id of 0 matches nothing.
  bool KillJobByStopId(uint32_t stopId);

  // Kills the tree of every entry in use, in table order. `log` then
  // receives one "Killing Running Kestrun Job "<name>"" line per entry (after
  // the table lock is released). Returns the number of entries visited.
  int KillAllRunningJobs(const std::function<void(const std::string&)>& log);

  // Makes the calling thread the owner (and stop id holder) of the entry in
  // use with this process id: a request attaching to a preloaded program.
  void ClaimRunningJob(uint32_t processId);

  // The table lock, for the preloaded-script table that shares it.
  std::mutex& TableLock() const { return lock_; }

 private:
  // Kills with the injected killer and remembers the process as killed by
  // the server. Table lock held.
  bool KillLocked(uint32_t processId);

  Clock clock_;
  Killer killer_;
  ThreadIdSource threadId_;
  mutable std::mutex lock_;          // the table lock
  std::vector<RunningJob> entries_;  // guarded by lock_; free entries have ownerThreadId 0
  std::set<uint32_t> killed_;        // guarded by lock_; processes the server killed
  MarkerKiller markerKiller_;
  // guarded by lock_: the run marker and kill notice of each process in use
  struct RunExtras {
    std::string marker;
    std::function<void()> onKill;
  };
  std::map<uint32_t, RunExtras> extras_;
};

// The one owner of a table entry: adds it on construction and removes it on
// Remove() or, on any other path, in its destructor. Declare it after the
// Process owner of the same run, so that the entry leaves the table before
// the process is reaped, exceptions included.
class RunningJobEntry {
 public:
  RunningJobEntry(RunningJobTable& table, uint32_t processId, const std::string& jobName,
                  std::optional<std::string> clientUser, std::optional<std::string> lockValue,
                  std::string runMarker = {}, std::function<void()> onKill = {})
      : table_(table), processId_(processId) {
    table_.AddRunningJob(processId, jobName, std::move(clientUser), std::move(lockValue),
                         std::move(runMarker), std::move(onKill));
  }
  RunningJobEntry(const RunningJobEntry&) = delete;
  RunningJobEntry& operator=(const RunningJobEntry&) = delete;
  ~RunningJobEntry() { Remove(); }

  // Removes the entry (once); true when the server killed the process.
  bool Remove() {
    if (removed_) return false;
    removed_ = true;
    return table_.RemoveRunningJob(processId_);
  }

 private:
  RunningJobTable& table_;
  uint32_t processId_;
  bool removed_ = false;
};

}  // namespace kestrun
