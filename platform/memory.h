// How the process's memory allocator holds the memory it was given back.
//
// Many runs at once each hold a few blocks of hundreds of kilobytes (read
// areas, a run's output window, batches of output for the history). Left to
// itself, the C library moves such blocks into its per-thread heaps once one
// was freed, where a run that ended leaves them resident. Implemented in
// memory_posix.cpp and memory_win32.cpp.
#pragma once

#include <cstddef>

namespace kestrun {

// From now on, every allocation of at least `bytes` is a mapping of its own
// that goes back to the system as soon as it is freed. Call once from main
// before any thread starts. Does nothing where the allocator has no such
// setting.
void ReturnLargeBlocksWhenFreed(size_t bytes);

}  // namespace kestrun
