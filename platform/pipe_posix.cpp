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

}  // namespace kestrun
