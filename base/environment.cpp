#include "base/environment.h"

#include <algorithm>
#include <mutex>

#include "platform/this_process.h"

namespace kestrun {

namespace {

// The environment lock: guards the process environment and every environment
// block handled here. Process-wide by nature, since the process environment is.
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

std::optional<std::string> GetEnvLocked(std::string_view name, const EnvironmentBlock& block) {
  std::lock_guard<std::mutex> hold(EnvLock());
  for (const std::string& entry : block) {
    if (EntryName(entry) == name) {
      const size_t eq = entry.find('=');
      return eq == std::string::npos ? std::string() : entry.substr(eq + 1);
    }
  }
  return std::nullopt;
}

EnvironmentBlock CopyProcessEnvironment() {
  std::lock_guard<std::mutex> hold(EnvLock());
  return ReadProcessEnvironment();
}

int PutEnvLocked(std::string_view text) {
  std::lock_guard<std::mutex> hold(EnvLock());
  return WriteProcessVariable(text);
}

int PutEnvLocked(std::string_view text, EnvironmentBlock& block) {
  const std::string_view name = EntryName(text);
  std::lock_guard<std::mutex> hold(EnvLock());
  for (std::string& entry : block) {
    if (EntryName(entry) == name) {
      entry.assign(text);
      return 0;
    }
  }
  block.emplace_back(text);
  return 0;
}

EnvironmentIndex::EnvironmentIndex(const EnvironmentBlock& block) {
  positions_.reserve(block.size());
  for (size_t i = 0; i < block.size(); ++i) Add(EntryName(block[i]), i);
}

std::optional<size_t> EnvironmentIndex::Find(std::string_view name) const {
  const auto found = positions_.find(name);
  if (found == positions_.end()) return std::nullopt;
  return found->second;
}

void EnvironmentIndex::Add(std::string_view name, size_t position) {
  if (positions_.find(name) == positions_.end()) positions_.emplace(name, position);
}

std::optional<std::string> GetEnvLocked(std::string_view name, const EnvironmentBlock& block,
                                        const EnvironmentIndex& index) {
  std::lock_guard<std::mutex> hold(EnvLock());
  const std::optional<size_t> at = index.Find(name);
  if (!at) return std::nullopt;
  const std::string& entry = block[*at];
  const size_t eq = entry.find('=');
  return eq == std::string::npos ? std::string() : entry.substr(eq + 1);
}

int PutEnvLocked(std::string_view text, EnvironmentBlock& block, EnvironmentIndex& index) {
  const std::string_view name = EntryName(text);
  std::lock_guard<std::mutex> hold(EnvLock());
  if (const std::optional<size_t> at = index.Find(name)) {
    block[*at].assign(text);
    return 0;
  }
  block.emplace_back(text);
  index.Add(name, block.size() - 1);
  return 0;
}

LocalTime CurrentLocalTime() {
  const int64_t now = CurrentTime();
  std::lock_guard<std::mutex> hold(EnvLock());
  return LocalTimeOf(now);
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
  return ExpandVariables(text,
                         [&block](std::string_view name) { return GetEnvLocked(name, block); });
}

}  // namespace kestrun
