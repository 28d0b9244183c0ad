#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/thread.h"

namespace kestrun {

uint32_t CurrentThreadId() {
  return static_cast<uint32_t>(::gettid());
}

void SleepMilliseconds(unsigned milliseconds) {
  timespec rest{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

}  // namespace kestrun
