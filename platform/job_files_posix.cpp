#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/job_files.h"

namespace kestrun {

UniqueFd CreateExclusiveFile(const std::string& path, int* error) {
  // Not O_TRUNC: the file may belong to a run that still writes it. The lock
  // decides first, and only its holder empties the file.
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  if (!fd) {
    *error = errno;
    return fd;
  }
  // flock belongs to the open file description, which the program shares
  // once it inherited the descriptor: the file stays held until the last
  // holder closes it, as an unshared open file would on other systems.
  int rc;
  do {
    rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    *error = errno == EWOULDBLOCK ? EBUSY : errno;
    return UniqueFd();
  }
  if (::ftruncate(fd.get(), 0) != 0) {
    *error = errno;
    return UniqueFd();
  }
  return fd;
}

UniqueFd OpenFileForReading(const std::string& path, int* error) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) *error = errno;
  return fd;
}

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return names;
  DIR* dir = ::fdopendir(fd);  // owns fd from here on
  if (dir == nullptr) {
    ::close(fd);
    return names;
  }
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  return names;
}

bool RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

}  // namespace kestrun
