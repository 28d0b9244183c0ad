// A pseudo-terminal whose slave side becomes a program's standard output.
#pragma once

#include <optional>

#include "platform/unique_fd.h"

namespace kestrun {

struct PseudoTerminal {
  UniqueFd master;  // read here what the program writes
  UniqueFd slave;   // the program's end
};

// Opens a pseudo-terminal (both ends close-on-exec, not our controlling
// terminal) with output post-processing off, so that the program's bytes
// arrive unchanged (no CR before each LF). Empty with *error set on failure.
std::optional<PseudoTerminal> OpenPseudoTerminal(int* error);

}  // namespace kestrun
