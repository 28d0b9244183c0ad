// File status, reading plain files, opening configured files without
// blocking, creating job log files inside their folder, and the
// append-one-line write of the server log.
//
// Every call may be made from any thread. Implemented in filesystem_posix.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

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

// Opens the plain file at `path` for reading, for a program to inherit as its
// standard input. The open does not block (a FIFO named by mistake is never
// waited on) and the file must be a plain file: a FIFO, device, socket or
// directory is refused with EINVAL. The descriptor is close-on-exec and in
// blocking mode once the check passed. Empty descriptor and the system's
// error code in *error on failure.
UniqueFd OpenPlainFileForReading(const std::string& path, int* error);

// Opens the directory at `path` as a handle for CreateFileInDirectory. Empty
// descriptor and the system's error code in *error on failure (ENOTDIR when
// it is no directory).
UniqueFd OpenDirectory(const std::string& path, int* error);

// Creates the new file `name` (one path component) in `directory` for
// writing, mode 0666 less the umask, with O_CREAT | O_EXCL | O_NOFOLLOW
// relative to the directory's descriptor: whatever already has that name
// (an earlier file, a symbolic link to anything, a FIFO) is left untouched
// and the call fails with EEXIST. A name that is empty, "." or "..", or holds
// a "/", fails with EINVAL. Close-on-exec; empty descriptor and the system's
// error code in *error on failure.
UniqueFd CreateFileInDirectory(const UniqueFd& directory, const std::string& name, int* error);

// A job log file: CreateFileInDirectory, and the new file is held with an
// exclusive lock for as long as a descriptor of this open (or of a program
// that inherited it) lives. When the name exists, it is replaced only when
// it is an ended run's file: a plain file with one link that nobody holds.
// Its entry is then removed (never opened for writing or truncated) and the
// file is created anew. Anything else keeps the name: EEXIST for a link, a
// FIFO, a file with other links; EBUSY for the file of a run still writing.
UniqueFd CreateJobLogFile(const UniqueFd& directory, const std::string& name, int* error);

// Appends `data` to the file at `path` (created with mode 0666 less the umask
// when missing) with one write on an O_APPEND descriptor, so that lines
// appended by different threads or processes never mix. The file is opened
// without blocking and must be a plain file or a character device (such as
// /dev/null): a FIFO or socket is never written. Returns 0, or the system's
// error code when the file cannot be opened or the write fails or comes up
// short (EIO); ENXIO or EINVAL for a FIFO or another kind of file. `*opened`
// (when given) tells whether the file was opened and accepted, so that a
// failure with it set is a failed or short write (a full disk, say).
int AppendToFile(const std::string& path, std::string_view data, bool* opened = nullptr);

// Opens the plain file at `path` (created with mode 0666 less the umask when
// missing) and takes an exclusive lock on it without waiting, held for as
// long as the returned descriptor lives: one process at a time owns what the
// file stands for. Close-on-exec. Empty descriptor on failure with the
// system's error code in *error: EWOULDBLOCK when another process holds the
// lock, EINVAL when `path` is no plain file.
UniqueFd LockFileExclusively(const std::string& path, int* error);

// True when `path` is a plain file this process may execute.
bool IsRunnableFile(const std::string& path);

}  // namespace kestrun
