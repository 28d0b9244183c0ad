// The environment lock and the only way the server reads and writes
// environment variables, in its own process environment or in a run's
// environment block; and the $NAME / ${NAME} expansion of texts.
//
// The environment lock is one process-wide mutex. It is held only inside the
// functions of this header, for one variable at a time, and no other lock is
// ever taken while it is held. Callers must not hold any lock of their own
// when they call in here. Every function may be called from any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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

// An index by name of one environment block, kept beside it by the code that
// sets or looks up many variables in the same block (a request's dialog
// blocks, the expansion of a run's arguments): a lookup or a put through the
// index costs constant time on average instead of a scan of the block. The
// index is valid only while the block is changed through it alone; it belongs
// to the thread that owns the block.
class EnvironmentIndex {
 public:
  // Indexes every entry of `block` (the first entry of each name counts).
  explicit EnvironmentIndex(const EnvironmentBlock& block);
  // Position in the block of the first entry named `name`.
  std::optional<size_t> Find(std::string_view name) const;
  // Records that the entry at `position` is named `name`, unless the name is
  // known already.
  void Add(std::string_view name, size_t position);

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };
  // Name of an entry -> its position in the block.
  std::unordered_map<std::string, size_t, Hash, std::equal_to<>> positions_;
};

// As the two functions above, with `index` kept beside `block` in place of a
// scan of the block.
std::optional<std::string> GetEnvLocked(std::string_view name, const EnvironmentBlock& block,
                                        const EnvironmentIndex& index);
int PutEnvLocked(std::string_view text, EnvironmentBlock& block, EnvironmentIndex& index);

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
// Expansion that stops as soon as the result would grow past `limit` bytes:
// nullopt then, before the text that does not fit has been copied. A text
// from a client can name a long variable many times over, so its expansion
// must be bounded while it runs rather than checked afterwards.
std::optional<std::string> ExpandVariables(std::string_view text, const VariableLookup& lookup,
                                           size_t limit);

}  // namespace kestrun
