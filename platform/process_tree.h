// Ending a process together with everything it started.
#pragma once

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

// A new marker: 32 hexadecimal digits from the system's random source.
std::string NewRunMarker();

// True when the NUL-separated environment block `environ` (as in
// /proc/PID/environ) holds exactly the entry `entry` ("NAME=value").
bool EnvironmentHolds(std::string_view environ, std::string_view entry);

// Kills (SIGKILL) every descendant of this process whose environment holds
// this run marker, each with its own descendants. Repeats a few rounds, so
// a process forked while the kill was under way is caught too. Returns the
// number of marked processes signalled. An empty marker matches nothing.
int KillMarkedProcesses(const std::string& marker);

}  // namespace kestrun
