// The environment lock and the only way the server reads and writes its own
// process environment; the environment block of a run; and the $NAME /
// ${NAME} expansion of texts.
//
// The environment lock is one process-wide mutex that guards the process
// environment (and the time zone conversion, which reads it). It is held only
// inside the functions of this header, for one variable at a time, and no
// other lock is ever taken while it is held. Callers must not hold any lock of
// their own when they call in here. The process-environment functions may be
// called from any thread; an EnvironmentBlock belongs to its owner's thread.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/local_time.h"

namespace kestrun {

// Value of `name` in the process environment; nullopt when it is not defined.
std::optional<std::string> GetEnvLocked(std::string_view name);

// Puts "NAME=value" into the process environment; a later put of the same name
// replaces the value. Returns 0 on success, -1 for an empty name.
int PutEnvLocked(std::string_view text);

// The environment of one run: entries of the form NAME=value, in order. A
// name is the text of an entry before its first "=" (the whole entry when it
// has none) and is compared exactly, case included. The block keeps an index
// of the first entry of each name beside the entries, so a lookup or a put
// costs constant time on average however many variables a request sets. A
// plain value owned by one thread at a time: it takes no lock.
class EnvironmentBlock {
 public:
  EnvironmentBlock() = default;
  EnvironmentBlock(std::initializer_list<std::string> entries);
  explicit EnvironmentBlock(std::vector<std::string> entries);

  // Value of the first entry named `name`; nullopt when there is none.
  std::optional<std::string> Get(std::string_view name) const;
  // Replaces the first entry named as `text` is, or appends `text` when there
  // is none.
  void Put(std::string_view text);

  // The entries, in order: what a launched program is given.
  const std::vector<std::string>& entries() const { return entries_; }
  size_t size() const { return entries_.size(); }
  // Room for `count` entries without reallocating.
  void reserve(size_t count);

  // Blocks are equal when their entries are, in the same order.
  friend bool operator==(const EnvironmentBlock& a, const EnvironmentBlock& b) {
    return a.entries_ == b.entries_;
  }

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };
  // Records the entry at `position` under its name, unless the name is known.
  void Index(size_t position);

  std::vector<std::string> entries_;
  // Name of an entry -> position of the first entry of that name. Positions,
  // not pointers: the vector moves its strings as it grows.
  std::unordered_map<std::string, size_t, Hash, std::equal_to<>> positions_;
};

// A copy of every NAME=value entry of the process environment, taken at once.
EnvironmentBlock CopyProcessEnvironment();

// The current local time, and that of a given instant. The conversion reads
// the time zone from the process environment, so it runs under the
// environment lock.
LocalTime CurrentLocalTime();
LocalTime LocalTimeAt(int64_t secondsSinceEpoch);

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
