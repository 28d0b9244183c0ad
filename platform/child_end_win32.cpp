#include <windows.h>

#include "platform/child_end.h"
#include "platform/unique_fd.h"
#include "platform/wide_win32.h"

namespace kestrun {

// A process handle is signalled when the process ends, and waiting on it
// collects nothing: the owner's own handle keeps the id reserved.
bool WaitForChildEnd(ProcessId pid, std::chrono::milliseconds limit) {
  UniqueFd process(FromHandle(::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid))));
  if (!process) return true;  // no such process any more
  return ::WaitForSingleObject(AsHandle(process.get()), static_cast<DWORD>(limit.count())) !=
         WAIT_TIMEOUT;
}

}  // namespace kestrun
