// The files of scheduled runs: the per-run log file that a job's program
// writes, the file it reads as standard input, and the listing and removal of
// old log files.
//
// Every call may be made from any thread. Descriptors are close-on-exec from
// birth; a launch hands them to the program on purpose. Implemented in
// job_files_posix.cpp.
#pragma once

#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace kestrun {

// Creates `path` for writing (mode 0666 less the umask), replacing what it
// held, and holds it exclusively: while a descriptor of this open (or of a
// program that inherited it) is alive, a second CreateExclusiveFile of the
// same path fails with EBUSY instead of truncating the file under the first
// writer. Empty descriptor and the system's error code in *error on failure.
UniqueFd CreateExclusiveFile(const std::string& path, int* error);

// Opens an existing file for reading. Empty descriptor and the system's error
// code in *error on failure.
UniqueFd OpenFileForReading(const std::string& path, int* error);

// Names of the entries of a directory ("." and ".." left out), in no
// particular order; empty when the directory cannot be read.
std::vector<std::string> ListDirectory(const std::string& path);

// Deletes a file; false when it cannot be deleted.
bool RemoveFile(const std::string& path);

}  // namespace kestrun
