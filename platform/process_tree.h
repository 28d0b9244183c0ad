// Ending a process together with everything it started.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process.h"

namespace kestrun {

// One process of a snapshot: its id and its parent's id.
struct ProcessEntry {
  ProcessId pid = 0;
  ProcessId parentPid = 0;
};

// One snapshot of every process of the system (from /proc). Empty when the
// process list cannot be read.
std::vector<ProcessEntry> TakeProcessSnapshot();

// The parent of `pid` (as /proc lists it); 0 when unknown (gone, unreadable).
ProcessId ParentProcessOf(ProcessId pid);

// The descendants of `root` in the order they are killed: depth-first, each
// child's subtree before the child itself, children in snapshot order. The
// root itself is not included. Ids met twice (a reused id forming a loop)
// are visited once.
std::vector<ProcessId> KillOrder(const std::vector<ProcessEntry>& snapshot, ProcessId root);

// Kills `pid` and its descendants with SIGKILL: one snapshot, descendants in
// KillOrder, then the process itself, then its process group when it leads
// one (so that descendants whose parent already died are not left behind;
// the caller's own group is never signalled). Returns whether the signal to
// the process itself was delivered; false also when the snapshot could not
// be taken or was empty. Callers must hold the process unreaped (see
// Process::WaitForEnd) so that its id cannot belong to another process.
bool KillProcessTree(ProcessId pid);

// Every run's environment holds kRunMarkerName=<marker>, a marker made for
// that run alone. A process that leaves its session and its parent still
// carries it, and as the server is a child subreaper (BecomeChildSubreaper)
// it stays among the server's descendants: that is how such a process is
// found when its run is killed. A process that clears its environment and
// leaves its parent as well can no longer be told apart; the run then still
// ends (its output pipes are abandoned), and the process is left.
//
// Why a marker and a subreaper rather than a control group per run: both
// work for any unprivileged server on any Linux since 3.4, while a control
// group per run needs a delegated, writable cgroup tree, which a server
// started by hand or by an ordinary service account does not have.
inline constexpr char kRunMarkerName[] = "KESRUNMARKER";

// A marker's value names the run and the server that made it:
// "<run>.<home>.<server pid>.<server start>": 32 hexadecimal digits from the
// system's random source, the home tag of the server's home directory (see
// HomeTag), the server's process id and its start time (clock ticks since
// boot, as /proc shows it). The server's part lets a later server of the same
// home recognise runs that a killed server left behind (FindOrphanedRuns).
struct RunMarkerOrigin {
  std::string homeTag;
  ProcessId serverPid = 0;
  uint64_t serverStart = 0;
};

// A new marker for a run of this process, whose home is the directory of its
// own program file (platform/home_directory.h).
std::string NewRunMarker();

// A new marker for a run of the server `origin` names.
std::string NewRunMarkerFor(const RunMarkerOrigin& origin);

// The server part of a marker; nullopt for a value of another form.
std::optional<RunMarkerOrigin> ParseRunMarker(std::string_view marker);

// 16 hexadecimal digits that stand for the home directory `home` (a 64-bit
// FNV-1a hash of the path as given).
std::string HomeTag(std::string_view home);

// The start time of a running process (clock ticks since boot); nullopt
// when there is no such process or it is a zombie.
std::optional<uint64_t> ProcessStartTime(ProcessId pid);

// A process found by FindOrphanedRuns.
struct OrphanedProcess {
  ProcessId pid = 0;
  std::string command;  // its arguments joined by blanks ("" when unreadable)
  std::string marker;   // the value of its run marker
};

// Every process (other than this one) whose environment holds a run marker
// of the home `home` made by a server that is no longer running: no process
// has that server's id with that start time any more, and it is not this
// process. Those are runs a killed server left behind. Processes of other
// users whose environment cannot be read are not seen.
std::vector<OrphanedProcess> FindOrphanedRuns(std::string_view home);

// Ends the processes: SIGTERM to each, then up to `grace` for them to end
// (checked every few milliseconds, so it returns as soon as all are gone),
// then SIGKILL to each one left that still carries its marker. Returns the
// ids that had to be killed. A process that ended meanwhile is skipped.
std::vector<ProcessId> EndOrphanedRuns(const std::vector<OrphanedProcess>& processes,
                                       std::chrono::milliseconds grace);

// True when the NUL-separated environment block `environ` (as in
// /proc/PID/environ) holds exactly the entry `entry` ("NAME=value").
bool EnvironmentHolds(std::string_view environ, std::string_view entry);

// Kills (SIGKILL) every descendant of this process whose environment holds
// this run marker, each with its own descendants. Repeats a few rounds, so
// a process forked while the kill was under way is caught too. Returns the
// number of marked processes signalled. An empty marker matches nothing.
int KillMarkedProcesses(const std::string& marker);

}  // namespace kestrun
