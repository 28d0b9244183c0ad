// The change indicator both plug-ins build on: a file's identity and
// modification time. The inode and size are part of the stamp because two
// writes within one tick of the file system's clock can leave the
// modification time unchanged, and editors often replace a file by renaming
// a new one over it.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>

namespace kesgp {

struct FileStamp {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};

  friend bool operator==(const FileStamp& a, const FileStamp& b);
};

// The stamp of `path` now; `exists` is false when it cannot be stat'ed.
FileStamp StampOf(const std::string& path);

}  // namespace kesgp
