// File status, reading plain files, and the append-one-line write of the
// server log.
//
// Every call may be made from any thread. Implemented in filesystem_posix.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrun {

struct FileStatus {
  int64_t modificationTime = 0;  // nanoseconds since the epoch
  int64_t size = 0;
  bool isRegular = false;  // a plain file (not a directory, device or pipe)
};

// Status of `path`, or nullopt when it cannot be read (missing file, no
// permission on a directory of the path).
std::optional<FileStatus> GetFileStatus(const std::string& path);

// The whole content of the plain file at `path`, read through one
// close-on-exec descriptor opened without blocking (a FIFO named by mistake
// neither blocks the caller nor is read). Nullopt when the file cannot be
// opened or read, or is not a plain file (directory, device, pipe, socket);
// `*error` (when given) then holds the system's error code, EINVAL for a
// file that is not plain.
std::optional<std::string> ReadPlainFile(const std::string& path, int* error = nullptr);

// Appends `data` to the file at `path` (created with mode 0666 less the umask
// when missing) with one write on an O_APPEND descriptor, so that lines
// appended by different threads or processes never mix. The file is opened
// without blocking and must be a plain file or a character device (such as
// /dev/null): a FIFO or socket is never written. Returns 0, or the system's
// error code when the file cannot be opened or the write fails or comes up
// short (EIO); ENXIO or EINVAL for a FIFO or another kind of file.
int AppendToFile(const std::string& path, std::string_view data);

}  // namespace kestrun
