// An owning file descriptor, and the plain reads and writes the launch code
// does on pipes.
//
// Every descriptor the server opens is close-on-exec from birth, so a job
// inherits only the descriptors its launch hands it on purpose.
//
// On Windows a FileHandle holds a HANDLE or a SOCKET (a wake-up is a
// socket, see wakeup.h) as an integer; -1 is INVALID_HANDLE_VALUE there, and
// handles are created non-inheritable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace kestrun {

#ifdef _WIN32
using FileHandle = intptr_t;
#else
using FileHandle = int;
#endif
inline constexpr FileHandle kInvalidFile = -1;

// Owns one descriptor; closes it once (never retried on EINTR) when destroyed
// or reset. Movable, not copyable.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(FileHandle fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, kInvalidFile)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, kInvalidFile));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  FileHandle get() const { return fd_; }
  bool valid() const { return fd_ != kInvalidFile; }
  explicit operator bool() const { return valid(); }
  FileHandle release() { return std::exchange(fd_, kInvalidFile); }
  // Closes the held descriptor (if any) and takes `fd`.
  void Reset(FileHandle fd = kInvalidFile);

 private:
  FileHandle fd_ = kInvalidFile;
};

// Reads up to `size` bytes: >0 bytes read, 0 end of data, -1 failure with the
// system's error code in *error. Retries on EINTR.
long ReadSome(FileHandle fd, void* area, size_t size, int* error);
// Writes all `size` bytes, looping over partial writes and EINTR. Returns 0,
// or the system's error code of the failed write (EPIPE when the reader has
// gone: SIGPIPE must be ignored by the process).
int WriteAll(FileHandle fd, const void* data, size_t size);

}  // namespace kestrun
