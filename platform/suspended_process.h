// Starting a program held before it runs: the child is created with its
// descriptors in place but waits, before exec, on a close-on-exec pipe; the
// program proper starts only when the launcher resumes it (closes the other
// end). Its process id is known and usable (kill, tables) in between.
//
// Used for preloaded programs, whose id must be recorded before the program
// can talk to the server.
#pragma once

#include <optional>

#include "platform/process.h"
#include "platform/unique_fd.h"

namespace kestrun {

class SuspendedStart {
 public:
  SuspendedStart(Process process, UniqueFd gate, UniqueFd execStatus)
      : process_(std::move(process)), gate_(std::move(gate)), execStatus_(std::move(execStatus)) {}

  Process& process() { return process_; }
  // Lets the child exec its program (writes the byte it waits for). Returns 0 once it did, or the
  // error of the failed exec (the child then exits with status 127).
  int Resume();

 private:
  Process process_;
  UniqueFd gate_;        // write end: the child waits for a byte on it
  UniqueFd execStatus_;  // read end: the child writes errno here when exec fails
};

// As LaunchProcess (same options: program lookup, descriptors, fresh signal
// state, own process group), but held before exec until Resume. Empty with the
// system's error code in *error when the child cannot be created or the
// program is not found. Safe to call from several threads at once.
std::optional<SuspendedStart> LaunchSuspended(const LaunchOptions& options, int* error);

}  // namespace kestrun
