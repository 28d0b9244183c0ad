// The preloaded-script table: one entry per announced preloaded program, from
// START_BACKGROUND_SCRIPT until its program ends (or the dialog is refused).
//
// Locking: every field of every entry, and the list itself, is guarded by the
// running-job table's lock (lock()); `changed` is notified under it whenever
// an entry registers, gets its pumps, ends or leaves the table, so waiters
// never poll. Entries are shared: the table, the program's run thread and an
// adopting request each hold one, so none outlives what it uses.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "launch/pumps.h"
#include "launch/running_jobs.h"

namespace kestrun {

struct PreloadEntry {
  std::string clientNode;
  uint32_t clientProcessId = 0;
  std::string programPath;
  uint32_t programProcessId = 0;  // 0 until started
  uint32_t programThreadId = 0;   // the process id (a process is its primary thread here)
  bool waiting = false;           // the program registered its callback port
  int64_t created = 0;
  int32_t callbackPort = 0;
  bool inTable = true;                 // false once freed
  std::shared_ptr<StreamPumps> pumps;  // set by the run thread once started
  bool ended = false;                  // the program ended and its pumps finished
  int32_t exitStatus = 0;              // valid once ended
  bool streamFailed = false;           // a pump lost the client (valid once ended)
  // Capture buffers of adopting steps; kept until the entry goes, as a pump
  // may still hold one after its step gave up waiting.
  std::vector<std::unique_ptr<CaptureBuffer>> captures;
};

class PreloadTable {
 public:
  explicit PreloadTable(RunningJobTable& jobs) : jobs_(jobs) {}

  std::mutex& lock() const { return jobs_.TableLock(); }
  RunningJobTable& jobs() const { return jobs_; }

  // All below: table lock held by the caller.
  std::shared_ptr<PreloadEntry> Register(const std::string& node, uint32_t clientPid,
                                         const std::string& path, int64_t now);
  // The first entry in the table for (node, client pid, path); `unstarted`
  // asks for one whose program is not started yet.
  std::shared_ptr<PreloadEntry> Find(const std::string& node, uint32_t clientPid,
                                     const std::string& path, bool unstarted = false) const;
  // The first entry whose program process id is `pid` (0 matches nothing).
  std::shared_ptr<PreloadEntry> FindByProcessId(uint32_t pid) const;
  void Free(const std::shared_ptr<PreloadEntry>& entry);
  // The client's entries, in table order.
  std::vector<std::shared_ptr<PreloadEntry>> EntriesOf(const std::string& node,
                                                       uint32_t clientPid) const;

  std::condition_variable changed;
  // How long an adopting run waits for a registration; set before use.
  std::chrono::milliseconds registrationLimit{30000};

 private:
  RunningJobTable& jobs_;
  std::vector<std::shared_ptr<PreloadEntry>> entries_;  // guarded by lock()
};

}  // namespace kestrun
