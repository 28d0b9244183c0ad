#include "base/environment.h"

#include <algorithm>
#include <mutex>

#include "platform/this_process.h"

namespace kestrun {

namespace {

// The environment lock: guards the process environment (and the time zone
// conversion, which reads it). Process-wide by nature, since the process
// environment is.
std::mutex& EnvLock() {
  static std::mutex lock;
  return lock;
}

std::string_view EntryName(std::string_view entry) {
  return entry.substr(0, entry.find('='));
}

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

std::optional<std::string> GetEnvLocked(std::string_view name) {
  const std::string key(name);
  std::lock_guard<std::mutex> hold(EnvLock());
  return ReadProcessVariable(key);
}

int PutEnvLocked(std::string_view text) {
  std::lock_guard<std::mutex> hold(EnvLock());
  return WriteProcessVariable(text);
}

EnvironmentBlock CopyProcessEnvironment() {
  std::vector<std::string> entries;
  {
    std::lock_guard<std::mutex> hold(EnvLock());
    entries = ReadProcessEnvironment();
  }
  return EnvironmentBlock(std::move(entries));
}

EnvironmentBlock::EnvironmentBlock(std::initializer_list<std::string> entries)
    : EnvironmentBlock(std::vector<std::string>(entries)) {}

EnvironmentBlock::EnvironmentBlock(std::vector<std::string> entries)
    : entries_(std::move(entries)) {
  positions_.reserve(entries_.size());
  for (size_t i = 0; i < entries_.size(); ++i) Index(i);
}

std::optional<std::string> EnvironmentBlock::Get(std::string_view name) const {
  const auto found = positions_.find(name);
  if (found == positions_.end()) return std::nullopt;
  const std::string& entry = entries_[found->second];
  const size_t eq = entry.find('=');
  return eq == std::string::npos ? std::string() : entry.substr(eq + 1);
}

void EnvironmentBlock::Put(std::string_view text) {
  if (const auto found = positions_.find(EntryName(text)); found != positions_.end()) {
    entries_[found->second].assign(text);
    return;
  }
  entries_.emplace_back(text);
  Index(entries_.size() - 1);
}

void EnvironmentBlock::reserve(size_t count) {
  entries_.reserve(count);
  positions_.reserve(count);
}

void EnvironmentBlock::Index(size_t position) {
  const std::string_view name = EntryName(entries_[position]);
  if (positions_.find(name) == positions_.end()) positions_.emplace(name, position);
}

LocalTime CurrentLocalTime() {
  return LocalTimeAt(CurrentTime());
}

LocalTime LocalTimeAt(int64_t secondsSinceEpoch) {
  std::lock_guard<std::mutex> hold(EnvLock());
  return LocalTimeOf(secondsSinceEpoch);
}

namespace {

// The expansion itself. With a limit, it gives up (nullopt) before any
// append that would take the result past it.
std::optional<std::string> Expand(std::string_view text, const VariableLookup& lookup,
                                  std::optional<size_t> limit) {
  std::string out;
  out.reserve(limit ? std::min(text.size(), *limit) : text.size());
  const auto append = [&out, limit](std::string_view piece) {
    if (limit && piece.size() > *limit - out.size()) return false;
    out.append(piece);
    return true;
  };
  size_t i = 0;
  while (i < text.size()) {
    const size_t dollar = text.find('$', i);
    if (dollar == std::string_view::npos) {
      if (!append(text.substr(i))) return std::nullopt;
      break;
    }
    if (!append(text.substr(i, dollar - i))) return std::nullopt;
    size_t j = dollar + 1;
    size_t braces = 0;
    while (j < text.size() && text[j] == '{') ++braces, ++j;
    const size_t nameStart = j;
    while (j < text.size() && IsNameChar(text[j])) ++j;
    if (j == nameStart) {
      // No name: the "$" alone is dropped; what follows it (braces included)
      // is copied as ordinary text.
      i = dollar + 1;
      continue;
    }
    const std::string_view name = text.substr(nameStart, j - nameStart);
    for (size_t closed = 0; closed < braces && j < text.size() && text[j] == '}'; ++closed) ++j;
    const std::optional<std::string> value = lookup(name);
    if (value && !append(*value)) return std::nullopt;
    i = j;
  }
  return out;
}

}  // namespace

std::string ExpandVariables(std::string_view text, const VariableLookup& lookup) {
  return *Expand(text, lookup, std::nullopt);
}

std::optional<std::string> ExpandVariables(std::string_view text, const VariableLookup& lookup,
                                           size_t limit) {
  return Expand(text, lookup, limit);
}

std::string ExpandVariables(std::string_view text) {
  if (text.find('$') == std::string_view::npos) return std::string(text);
  return ExpandVariables(text, [](std::string_view name) { return GetEnvLocked(name); });
}

std::string ExpandVariables(std::string_view text, const EnvironmentBlock& block) {
  if (text.find('$') == std::string_view::npos) return std::string(text);
  return ExpandVariables(text, [&block](std::string_view name) { return block.Get(name); });
}

}  // namespace kestrun
