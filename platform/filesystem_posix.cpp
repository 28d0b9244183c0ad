#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/filesystem.h"

namespace kestrun {

std::optional<FileStatus> GetFileStatus(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  FileStatus status;
  status.modificationTime =
      static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  status.size = static_cast<int64_t>(st.st_size);
  status.isRegular = S_ISREG(st.st_mode);
  return status;
}

std::optional<std::string> ReadPlainFile(const std::string& path, int* error) {
  int ignored = 0;
  int& failure = error ? *error : ignored;
  failure = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    failure = errno;
    return std::nullopt;
  }
  // The status of the opened descriptor, not of the name: nothing can be
  // swapped in between the check and the read.
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    failure = S_ISREG(info.st_mode) ? errno : EINVAL;
    ::close(fd);
    return std::nullopt;
  }
  std::string text;
  text.reserve(static_cast<size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      failure = errno;
      ::close(fd);
      return std::nullopt;
    }
  }
  ::close(fd);
  return text;
}

int AppendToFile(const std::string& path, std::string_view data) {
  // O_NONBLOCK: opening a FIFO without a reader fails at once (ENXIO)
  // instead of waiting for one.
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  if (fd < 0) return errno;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !(S_ISREG(info.st_mode) || S_ISCHR(info.st_mode))) {
    ::close(fd);
    return EINVAL;
  }
  // One write: with O_APPEND the kernel places the whole piece at the end of
  // the file atomically with respect to other appenders.
  ssize_t written;
  do {
    written = ::write(fd, data.data(), data.size());
  } while (written < 0 && errno == EINTR);
  const int error = written < 0 ? errno : 0;
  ::close(fd);  // not retried on EINTR
  if (error != 0) return error;
  return written == static_cast<ssize_t>(data.size()) ? 0 : EIO;
}

}  // namespace kestrun
