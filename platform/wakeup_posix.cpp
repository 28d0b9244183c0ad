#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/wakeup.h"

namespace kestrun {

std::optional<Wakeup> Wakeup::Create(int* error) {
  UniqueFd fd(::eventfd(0, EFD_CLOEXEC));
  if (!fd) {
    if (error) *error = errno;
    return std::nullopt;
  }
  return Wakeup(std::move(fd));
}

void Wakeup::Signal() const {
  // The counter is never read, so the descriptor stays readable from now on.
  const uint64_t one = 1;
  WriteAll(fd_.get(), &one, sizeof one);
}

InputWait WaitForInput(FileHandle fd, FileHandle wakeup) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {wakeup, POLLIN, 0}};
  const nfds_t count = wakeup == kInvalidFile ? 1 : 2;
  for (;;) {
    if (::poll(fds, count, -1) >= 0) break;
    if (errno != EINTR) return InputWait::Failed;
  }
  // POLLHUP and POLLERR count as input: the read that follows reports them.
  if (fds[0].revents) return InputWait::Ready;
  return InputWait::Woken;
}

bool IsSignalled(FileHandle wakeup) {
  pollfd fd{wakeup, POLLIN, 0};
  return ::poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN);
}

}  // namespace kestrun
