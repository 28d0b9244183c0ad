// The preloaded-script table: one entry per announced preloaded program, from
// START_BACKGROUND_SCRIPT until its program ends (or the dialog is refused,
// or nobody starts it in time).
//
// Locking: every field of every entry, and the list itself, is guarded by the
// running-job table's lock (lock()); `changed` is notified under it whenever
// an entry registers, gets its pumps, ends or leaves the table, so waiters
// never poll. Entries are shared: the table, the program's run thread and an
// adopting request each hold one, so none outlives what it uses.
//
// Bounds: a client may announce programs without ever opening their dialogs,
// and open dialogs without ever running them. So the table holds at most
// `entriesPerNode` entries per client node and `entriesInAll` in all, with
// node names of at most `nodeNameBytes`; an entry that no dialog starts
// within `unstartedLife` is dropped; at most `programsPerNode` programs run
// per client node; and a started program that no request takes within
// `registrationLimit` is ended by its run thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "launch/pumps.h"
#include "launch/running_jobs.h"

namespace kestrun {

struct PreloadLimits {
  size_t entriesPerNode = 16;
  size_t entriesInAll = 256;
  size_t nodeNameBytes = 255;
  size_t programsPerNode = 8;
  // An announced entry that no dialog starts within this time is dropped.
  std::chrono::milliseconds unstartedLife{60000};
  // How long an adopting request waits for a program to register, and how
  // long a started program may wait to be taken by a request (counted again
  // after each capture step) before it is ended.
  std::chrono::milliseconds registrationLimit{30000};
};

using PreloadClock = std::function<std::chrono::steady_clock::time_point()>;

struct PreloadEntry {
  std::string clientNode;
  uint32_t clientProcessId = 0;
  std::string programPath;
  uint32_t programProcessId = 0;  // 0 until started
  uint32_t programThreadId = 0;   // the process id (a process is its primary thread here)
  bool claimed = false;           // a dialog is starting (or started) its program
  bool waiting = false;           // the program registered its callback port
  std::chrono::steady_clock::time_point created;  // by the table's clock
  int32_t callbackPort = 0;
  bool inTable = true;                 // false once freed
  std::shared_ptr<StreamPumps> pumps;  // set by the run thread once started
  bool ownedByRun = false;             // a job run took the program: it lives as long as it runs
  int inUse = 0;                       // requests connected to the program now
  std::chrono::steady_clock::time_point idleSince;  // start, or end of the last capture step
  bool ended = false;                               // the program ended and its pumps finished
  int32_t exitStatus = 0;                           // valid once ended
  bool streamFailed = false;                        // a pump lost the client (valid once ended)
  // Capture buffers of adopting steps; kept until the entry goes, as a pump
  // may still hold one after its step gave up waiting.
  std::vector<std::unique_ptr<CaptureBuffer>> captures;
};

// Why an announcement was not entered.
enum class AnnounceResult { kEntered, kNodeFull, kTableFull };

class PreloadTable {
 public:
  explicit PreloadTable(RunningJobTable& jobs, PreloadClock clock = {})
      : jobs_(jobs),
        clock_(clock ? std::move(clock) : PreloadClock(std::chrono::steady_clock::now)) {}

  std::mutex& lock() const { return jobs_.TableLock(); }
  RunningJobTable& jobs() const { return jobs_; }
  std::chrono::steady_clock::time_point Now() const { return clock_(); }

  // All below: table lock held by the caller.

  // Drops expired entries, then enters (node, client pid, path) unless the
  // node or the table is full. The node name's length is the caller's check.
  AnnounceResult Register(const std::string& node, uint32_t clientPid, const std::string& path);
  // Frees every entry that no dialog claimed within limits.unstartedLife.
  void DropExpired();
  // The first entry in the table for (node, client pid, path); `unclaimed`
  // asks for one whose program no dialog has started yet.
  std::shared_ptr<PreloadEntry> Find(const std::string& node, uint32_t clientPid,
                                     const std::string& path, bool unclaimed = false) const;
  // The first entry whose program process id is `pid` (0 matches nothing).
  std::shared_ptr<PreloadEntry> FindByProcessId(uint32_t pid) const;
  void Free(const std::shared_ptr<PreloadEntry>& entry);
  // The client's entries, in table order.
  std::vector<std::shared_ptr<PreloadEntry>> EntriesOf(const std::string& node,
                                                       uint32_t clientPid) const;
  // Entries of the node whose program a dialog has started.
  size_t ProgramsOf(const std::string& node) const;
  size_t size() const { return entries_.size(); }

  std::condition_variable changed;
  PreloadLimits limits;  // set before use

 private:
  RunningJobTable& jobs_;
  PreloadClock clock_;
  std::vector<std::shared_ptr<PreloadEntry>> entries_;  // guarded by lock()
};

}  // namespace kestrun
