// The files of scheduled runs: the listing and removal of old log files.
//
// Every call may be made from any thread. Descriptors are close-on-exec from
// birth; a launch hands them to the program on purpose. Implemented in
// job_files_posix.cpp.
#pragma once

#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace kestrun {

// Names of the entries of a directory ("." and ".." left out), in no
// particular order; empty when the directory cannot be read.
std::vector<std::string> ListDirectory(const std::string& path);

// Deletes a file; false when it cannot be deleted.
bool RemoveFile(const std::string& path);

// Creates the directory `path` (mode 0755 before the umask); 0 or the
// system's error code (EEXIST when something of that name exists).
int MakeDirectory(const std::string& path);

}  // namespace kestrun
