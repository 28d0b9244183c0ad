#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

UniqueFd OpenPlainFileForReading(const std::string& path, int* error) {
  // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for one.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) {
    *error = errno;
    return fd;
  }
  // The status of the opened descriptor, not of the name: nothing can be
  // swapped in between the check and the use.
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    *error = errno;
    return UniqueFd();
  }
  if (!S_ISREG(info.st_mode)) {
    *error = EINVAL;
    return UniqueFd();
  }
  // The flag lives in the open file description that the program inherits;
  // a plain file ignores it, but the program should see an ordinary stream.
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    *error = errno;
    return UniqueFd();
  }
  return fd;
}

UniqueFd OpenDirectory(const std::string& path, int* error) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) *error = errno;
  return fd;
}

UniqueFd LockFileExclusively(const std::string& path, int* error) {
  // Without blocking on a FIFO, and never through a symbolic link.
  UniqueFd fd(::open(path.c_str(),
                     O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666));
  if (!fd) {
    *error = errno;
    return fd;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = EINVAL;
    return UniqueFd();
  }
  int rc;
  do {
    rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    *error = errno == EAGAIN ? EWOULDBLOCK : errno;
    return UniqueFd();
  }
  return fd;
}

UniqueFd CreateFileInDirectory(const UniqueFd& directory, const std::string& name, int* error) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    *error = EINVAL;
    return UniqueFd();
  }
  // O_EXCL with O_CREAT never follows a symbolic link, even a dangling one;
  // O_NOFOLLOW says so once more. As nothing that exists is ever opened, a
  // FIFO or device of that name cannot block or be written either.
  UniqueFd fd(::openat(directory.get(), name.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666));
  if (!fd) *error = errno;
  return fd;
}

namespace {

bool LockExclusive(int fd) {
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

// Removes `name` from `directory` when it is an ended run's log file; the
// reason it is kept otherwise in *error.
bool RemoveEndedLog(const UniqueFd& directory, const std::string& name, int* error) {
  // Read-only, without following a link or waiting on a FIFO: only looked at.
  UniqueFd old(::openat(directory.get(), name.c_str(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat info {};
  if (!old || ::fstat(old.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
    *error = EEXIST;
    return false;
  }
  if (!LockExclusive(old.get())) {
    *error = EBUSY;
    return false;
  }
  // Removing an entry never follows it, so even a name swapped meanwhile
  // loses only its entry.
  if (::unlinkat(directory.get(), name.c_str(), 0) != 0) {
    *error = errno;
    return false;
  }
  return true;
}

}  // namespace

UniqueFd CreateJobLogFile(const UniqueFd& directory, const std::string& name, int* error) {
  UniqueFd fd = CreateFileInDirectory(directory, name, error);
  if (!fd && *error == EEXIST && RemoveEndedLog(directory, name, error))
    fd = CreateFileInDirectory(directory, name, error);
  if (!fd) return fd;
  // The lock belongs to the open file description, which the program shares
  // once it inherited the descriptor: the file stays held until the last
  // holder closes it.
  if (!LockExclusive(fd.get())) {
    *error = EBUSY;
    return UniqueFd();
  }
  *error = 0;  // the EEXIST of a replaced file is no failure
  return fd;
}

int AppendToFile(const std::string& path, std::string_view data, bool* opened) {
  if (opened) *opened = false;
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
  if (opened) *opened = true;
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

bool IsRunnableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace kestrun
