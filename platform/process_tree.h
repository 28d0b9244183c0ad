// Ending a process together with everything it started.
#pragma once

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

}  // namespace kestrun
