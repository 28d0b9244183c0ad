// Anonymous pipes for a child's standard streams.
#pragma once

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

}  // namespace kestrun
