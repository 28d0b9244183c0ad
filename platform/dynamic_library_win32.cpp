#include <windows.h>

#include "platform/dynamic_library.h"
#include "platform/error_text.h"
#include "platform/wide_win32.h"

namespace kestrun {

// The loader's failure as text, taken at once: the thread's last error is
// overwritten by the next call.
static std::string LoaderError(const std::string& what) {
  const DWORD error = ::GetLastError();
  return what + ": " + SystemErrorText(static_cast<int>(error));
}

std::optional<DynamicLibrary> DynamicLibrary::Open(const std::string& path, std::string* error) {
  // LOAD_WITH_ALTERED_SEARCH_PATH: a plug-in's own DLLs are looked for in
  // its folder first, as the Linux loader's $ORIGIN would.
  HMODULE module = ::LoadLibraryExW(Widen(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) {
    std::string text = LoaderError(path);
    if (error) *error = std::move(text);
    return std::nullopt;
  }
  return DynamicLibrary(module);
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (handle_) ::FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

DynamicLibrary::~DynamicLibrary() {
  if (handle_) ::FreeLibrary(static_cast<HMODULE>(handle_));
}

void* DynamicLibrary::Symbol(const std::string& name, std::string* error) const {
  FARPROC address = ::GetProcAddress(static_cast<HMODULE>(handle_), name.c_str());
  if (!address) {
    std::string text = LoaderError(name);
    if (error) *error = std::move(text);
  }
  return reinterpret_cast<void*>(address);
}

}  // namespace kestrun
