// The process environment through the wide calls: values are UTF-8 above
// platform/ and UTF-16 in the system. The C runtime's narrow copy of the
// environment is not used, so a variable written here is seen by every later
// read and by the environment blocks of launched programs alike.
#include <windows.h>

#include "platform/this_process.h"
#include "platform/wide_win32.h"

namespace kestrun {

std::optional<std::string> ReadProcessVariable(const std::string& name) {
  const std::wstring wide = Widen(name);
  std::wstring value(64, L'\0');
  for (;;) {
    ::SetLastError(0);
    const DWORD n =
        ::GetEnvironmentVariableW(wide.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (n < value.size()) {
      value.resize(n);
      return Narrow(value);
    }
    value.resize(n);  // n counts the terminating NUL here
  }
}

int WriteProcessVariable(std::string_view text) {
  const size_t eq = text.find('=');
  const std::string_view name = text.substr(0, eq);
  const std::string_view value = eq == std::string_view::npos ? "" : text.substr(eq + 1);
  if (name.empty()) return -1;
  return ::SetEnvironmentVariableW(Widen(name).c_str(), Widen(value).c_str()) ? 0 : -1;
}

std::vector<std::string> ReadProcessEnvironment() {
  std::vector<std::string> entries;
  wchar_t* block = ::GetEnvironmentStringsW();
  if (block == nullptr) return entries;
  for (const wchar_t* e = block; *e != L'\0';) {
    const std::wstring_view entry(e);
    // Entries of the form "=C:=C:\dir" are the per-drive current
    // directories of cmd.exe, not variables.
    if (entry.front() != L'=') entries.push_back(Narrow(entry));
    e += entry.size() + 1;
  }
  ::FreeEnvironmentStringsW(block);
  return entries;
}

int CurrentProcessId() {
  return static_cast<int>(::GetCurrentProcessId());
}

}  // namespace kestrun
