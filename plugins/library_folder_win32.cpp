#include <windows.h>

#include "plugins/library_folder.h"
#include "plugins/wide_text_win32.h"

namespace kesgp {

std::string LibraryFolder(const void* address) {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<const wchar_t*>(address), &module))
    return ".";
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return ".";
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);  // truncated: a long path
  }
  const size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? "." : Narrow(path.substr(0, cut));
}

bool IsAbsolutePath(std::string_view path) {
  if (!path.empty() && (path.front() == '\\' || path.front() == '/')) return true;
  return path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

}  // namespace kesgp
