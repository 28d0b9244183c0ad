#include <windows.h>

#include "platform/thread.h"

namespace kestrun {

uint32_t CurrentThreadId() {
  return static_cast<uint32_t>(::GetCurrentThreadId());
}

void SleepMilliseconds(unsigned milliseconds) {
  ::Sleep(static_cast<DWORD>(milliseconds));
}

}  // namespace kestrun
