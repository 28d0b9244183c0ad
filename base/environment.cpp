#include "base/environment.h"

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

LocalTime CurrentLocalTime() {
  const int64_t now = CurrentTime();
  std::lock_guard<std::mutex> hold(EnvLock());
  return LocalTimeOf(now);
}

std::string ExpandVariables(std::string_view text, const VariableLookup& lookup) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const size_t dollar = text.find('$', i);
    if (dollar == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, dollar - i));
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
    if (std::optional<std::string> value = lookup(name)) out.append(*value);
    i = j;
  }
  return out;
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
