// Internal to platform/: the children of this process that Process owners
// hold. LaunchProcess enters a child while holding the lock across the
// spawn or fork, so no sweep can see the child before it is entered; Process leaves
// it once collected. ReapAdoptedOrphans collects only children not listed,
// under the same lock.
#pragma once

#include <mutex>
#include <unordered_map>

#include "platform/process.h"

namespace kestrun {

struct OwnedChildren {
  std::mutex lock;  // guards counts; held across a spawn and across a sweep
  // Owner count per id: an id collected by one owner may already belong to a
  // new child of another before the first owner leaves the list.
  std::unordered_map<ProcessId, int> counts;
};

// The one list of this process.
OwnedChildren& TheOwnedChildren();

}  // namespace kestrun
