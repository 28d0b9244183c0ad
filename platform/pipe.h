// Anonymous pipes for a child's standard streams.
#pragma once

#include <cstddef>
#include <optional>

#include "platform/unique_fd.h"

namespace kestrun {

struct Pipe {
  UniqueFd read;   // the reading end
  UniqueFd write;  // the writing end
};

// Creates a pipe whose two ends are close-on-exec from birth; the launch
// hands the child's end over explicitly. Empty on failure, with the system's
// error code in *error when given.
std::optional<Pipe> CreatePipe(int* error = nullptr);

// Asks for room for `bytes` in the pipe (a job's output pipe: fewer, larger
// reads and fewer switches between writer and reader). Best effort: the
// system may refuse or round it; the pipe works either way.
void WidenPipe(const UniqueFd& end, size_t bytes);

}  // namespace kestrun
