#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace kestrun {

void UniqueFd::Reset(FileHandle fd) {
  // close is not retried on EINTR: on Linux the descriptor is gone either way,
  // and a retry could close a descriptor another thread just opened.
  if (fd_ != kInvalidFile) ::close(fd_);
  fd_ = fd;
}

long ReadSome(FileHandle fd, void* area, size_t size, int* error) {
  for (;;) {
    const ssize_t n = ::read(fd, area, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    *error = errno;
    return -1;
  }
}

int WriteAll(FileHandle fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace kestrun
