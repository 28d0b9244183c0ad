#include <windows.h>

#include <vector>

#include "platform/home_directory.h"
#include "platform/wide_win32.h"

namespace kestrun {

// Windows paths separate with "\" and accept "/" as well.
std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(0, slash);
}

std::string HomeDirectory() {
  // GetModuleFileNameW truncates silently when the buffer is short: grow
  // until the text fits.
  std::vector<wchar_t> buf(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) return DirectoryOf(Narrow(std::wstring_view(buf.data(), n)));
    buf.resize(buf.size() * 2);
  }
}

}  // namespace kestrun
