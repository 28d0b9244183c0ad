#include <unistd.h>

#include <cstdlib>

#include "platform/this_process.h"

namespace kestrun {

std::optional<std::string> ReadProcessVariable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

int WriteProcessVariable(std::string_view text) {
  const size_t eq = text.find('=');
  const std::string name(text.substr(0, eq));
  const std::string value(eq == std::string_view::npos ? "" : text.substr(eq + 1));
  if (name.empty()) return -1;
  // setenv copies both strings, unlike putenv, which would keep a pointer
  // into memory this function does not own.
  return ::setenv(name.c_str(), value.c_str(), 1);
}

std::vector<std::string> ReadProcessEnvironment() {
  std::vector<std::string> entries;
  for (char** e = environ; *e != nullptr; ++e) entries.emplace_back(*e);
  return entries;
}

int CurrentProcessId() {
  return static_cast<int>(::getpid());
}

}  // namespace kestrun
