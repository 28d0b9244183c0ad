// The running process itself: its environment variables and its id.
//
// The raw environment calls are not synchronised: the server reaches them only
// through GetEnvLocked/PutEnvLocked (base/environment.h), which hold the
// environment lock. Implemented in this_process_posix.cpp.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// Value of the process environment variable `name`, or nullopt when unset.
std::optional<std::string> ReadProcessVariable(const std::string& name);

// Puts "NAME=value" into the process environment, replacing an earlier value
// of the same name. A text without "=" sets the variable to the empty value.
// Returns 0 on success, -1 when the name is empty or holds "=".
int WriteProcessVariable(std::string_view text);

// Every NAME=value entry of the process environment, in its order.
std::vector<std::string> ReadProcessEnvironment();

int CurrentProcessId();

}  // namespace kestrun
