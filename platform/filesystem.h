// File status and the append-one-line write of the server log.
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
  bool isDirectory = false;
};

// Status of `path`, or nullopt when it cannot be read (missing file, no
// permission on a directory of the path).
std::optional<FileStatus> GetFileStatus(const std::string& path);

// Appends `data` to the file at `path` (created with mode 0666 less the umask
// when missing) with one write on an O_APPEND descriptor, so that lines
// appended by different threads or processes never mix. Returns false when the
// file cannot be opened or the write fails or comes up short.
bool AppendToFile(const std::string& path, std::string_view data);

}  // namespace kestrun
