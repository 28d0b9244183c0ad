// Waiting, with a time limit, for a child process to end without collecting
// it, so that its id stays reserved (and safe to signal) for its owner.
#pragma once

#include <chrono>

#include "platform/process.h"

namespace kestrun {

// Blocks until the child `pid` of this process has ended or `limit` has
// passed. True when it ended (it is left for its Process owner to reap), or
// when there is no such process any more; false when the time ran out.
// Any thread may call it; the child's owner may wait on it at the same time.
bool WaitForChildEnd(ProcessId pid, std::chrono::milliseconds limit);

}  // namespace kestrun
