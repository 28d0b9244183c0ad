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
  status.isDirectory = S_ISDIR(st.st_mode);
  return status;
}

bool AppendToFile(const std::string& path, std::string_view data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  // One write: with O_APPEND the kernel places the whole piece at the end of
  // the file atomically with respect to other appenders.
  ssize_t written;
  do {
    written = ::write(fd, data.data(), data.size());
  } while (written < 0 && errno == EINTR);
  ::close(fd);  // not retried on EINTR
  return written == static_cast<ssize_t>(data.size());
}

}  // namespace kestrun
