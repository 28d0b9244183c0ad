// The launch options shared by Execute and ExecuteAndCapture (internal to
// the launch code).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "launch/pumps.h"
#include "platform/process.h"

namespace kestrun {

// The program path and arguments of `arguments`, each element expanded
// against `environment`, with `$terminalHome/kestrunTTY` in front when a
// terminal home is given; the environment sorted byte-wise, with
// KESRUNMARKER=`runMarker` in place of any KESRUNMARKER it held (so a run
// can never claim another run's marker). Descriptors are left to the caller.
// When the expanded arguments and the environment would not fit in the
// space the kernel gives a new program (ArgumentSpaceLimit), the expansion
// stops there and the options hold no program and no arguments: the caller
// reports E2BIG ("Argument list too long") without starting anything.
LaunchOptions LaunchOptionsFor(const std::vector<std::string>& arguments,
                               const std::vector<std::string>& environment,
                               const std::optional<std::string>& terminalHome,
                               const std::string& runMarker);

// The pumps of a run could not all be started: kills the program's process
// tree, waits for its end and finishes the pumps. The caller removes the
// table entry (if any) and reaps.
void EndUnpumpedRun(Process& process, StreamPumps& pumps);

}  // namespace kestrun
