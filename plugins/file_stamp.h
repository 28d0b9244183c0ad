// The change indicator the plug-ins build on: a file's identity and
// modification time. The inode and size are part of the stamp because two
// writes within one tick of the file system's clock can leave the
// modification time unchanged, and editors often replace a file by renaming
// a new one over it.
#pragma once

#include <cstdint>
#include <string>

namespace kesgp {

struct FileStamp {
  bool exists = false;
  uint64_t device = 0;  // the file system (device number, volume serial)
  uint64_t inode = 0;   // the file within it (inode, file index)
  uint64_t size = 0;
  int64_t modifiedSeconds = 0;
  int64_t modifiedNanoseconds = 0;  // within the second

  // A missing file's stamp holds only zeros, so all missing files compare
  // equal.
  friend bool operator==(const FileStamp& a, const FileStamp& b) = default;
};

// The stamp of `path` now; `exists` is false when it cannot be looked at.
// Implemented in file_stamp_posix.cpp and file_stamp_win32.cpp.
FileStamp StampOf(const std::string& path);

}  // namespace kesgp
