// The calling thread's identity, and sleeping.
#pragma once

#include <cstdint>

namespace kestrun {

// The kernel's id of the calling thread: never 0, fits 32 bits, unique among
// live threads of the system. It is also the stop id of a job run.
uint32_t CurrentThreadId();

// Suspends the calling thread for at least `milliseconds`.
void SleepMilliseconds(unsigned milliseconds);

}  // namespace kestrun
