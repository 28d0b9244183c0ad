// Linux: a process descriptor (pidfd) becomes readable when its process
// ends, and waiting on it collects nothing. Kernels before 5.3 have none;
// there the child's state is looked at without collecting it (WNOWAIT) a
// few times a second.
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "platform/child_end.h"
#include "platform/unique_fd.h"

namespace kestrun {

namespace {

using std::chrono::milliseconds;

// True when the child has ended (or is gone); never blocks.
bool ChildHasEnded(ProcessId pid) {
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | WNOHANG) != 0)
    return errno != EINTR;  // ECHILD: not ours (any more)
  return info.si_pid != 0;
}

}  // namespace

bool WaitForChildEnd(ProcessId pid, milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // Process descriptors are close-on-exec from birth.
  UniqueFd process(static_cast<FileHandle>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!process && errno == ESRCH) return true;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (process) {
      pollfd wait{process.get(), POLLIN, 0};
      const int rc = ::poll(&wait, 1, static_cast<int>(std::max<long long>(0, left.count())));
      if (rc > 0) return true;
      if (rc == 0) return false;
      if (errno != EINTR) return ChildHasEnded(pid);
      continue;
    }
    if (ChildHasEnded(pid)) return true;
    if (left.count() <= 0) return false;
    std::this_thread::sleep_for(std::min(left, milliseconds(100)));
  }
}

}  // namespace kestrun
