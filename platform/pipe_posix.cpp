#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/pipe.h"

namespace kestrun {

std::optional<Pipe> CreatePipe(int* error) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    if (error) *error = errno;
    return std::nullopt;
  }
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

void WidenPipe(const UniqueFd& end, size_t bytes) {
  ::fcntl(end.get(), F_SETPIPE_SZ, static_cast<int>(bytes));
}

}  // namespace kestrun
