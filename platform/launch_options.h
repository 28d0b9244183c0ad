// The launch options shared by Execute and ExecuteAndCapture (internal to
// the launch code).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"

namespace kestrun {

// The program path and arguments of `arguments`, each element expanded
// against `environment`, with `$terminalHome/kestrunTTY` in front when a
// terminal home is given; the environment sorted byte-wise. Descriptors are
// left to the caller.
LaunchOptions LaunchOptionsFor(const std::vector<std::string>& arguments,
                               const std::vector<std::string>& environment,
                               const std::optional<std::string>& terminalHome);

}  // namespace kestrun
