// The environment lock and the only way the server reads and writes
// environment variables, in its own process environment or in a run's
// environment block; and the $NAME / ${NAME} expansion of texts.
//
// The environment lock is one process-wide mutex. It is held only inside the
// functions of this header, for one variable at a time, and no other lock is
// ever taken while it is held. Callers must not hold any lock of their own
// when they call in here. Every function may be called from any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/local_time.h"

namespace kestrun {

// The environment of one run: entries of the form NAME=value, in order.
using EnvironmentBlock = std::vector<std::string>;

// Value of `name` in the process environment; nullopt when it is not defined.
std::optional<std::string> GetEnvLocked(std::string_view name);
// Value of the first entry of `block` whose name (the text before its first
// "=") equals `name` exactly; nullopt when there is none.
std::optional<std::string> GetEnvLocked(std::string_view name, const EnvironmentBlock& block);

// A copy of every NAME=value entry of the process environment, taken at once.
EnvironmentBlock CopyProcessEnvironment();

// Puts "NAME=value" into the process environment; a later put of the same name
// replaces the value. Returns 0 on success, -1 for an empty name.
int PutEnvLocked(std::string_view text);
// Replaces the first entry of `block` whose name equals the name of `text`
// exactly (case matters), or appends `text` when there is none. Returns 0.
int PutEnvLocked(std::string_view text, EnvironmentBlock& block);

// The current local time. The conversion reads the time zone from the process
// environment, so it runs under the environment lock.
LocalTime CurrentLocalTime();

// Looks a variable up for ExpandVariables; nullopt means "not defined".
using VariableLookup = std::function<std::optional<std::string>(std::string_view name)>;

// Replaces every "$NAME" and "${NAME}" (any number of braces, with closing
// braces consumed up to the number opened) by the variable's value, an undefined
// variable giving the empty string. A name is the longest run of A-Z, a-z, 0-9
// and "_". A "$" not followed by a name is dropped and the character after it
// kept. Everything else is copied unchanged.
std::string ExpandVariables(std::string_view text, const VariableLookup& lookup);
// Expansion against the process environment (GetEnvLocked per variable).
std::string ExpandVariables(std::string_view text);
// Expansion against a run's environment block.
std::string ExpandVariables(std::string_view text, const EnvironmentBlock& block);

}  // namespace kestrun
