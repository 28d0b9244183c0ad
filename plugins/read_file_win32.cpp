// Reading a group file (or the pointer file naming it) with Windows calls.
#include <windows.h>

#include "plugins/group_file.h"
#include "plugins/wide_text_win32.h"

namespace kesgp {

std::optional<std::string> ReadGroupFile(const std::string& path) {
  // Shared for writing and deleting, so that the administrator can edit or
  // replace the file while a server has it open.
  HANDLE file = ::CreateFileW(Widen(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  // Only a plain disk file: a named pipe or device would hold the caller.
  std::optional<std::string> text;
  if (::GetFileType(file) == FILE_TYPE_DISK) {
    text.emplace();
    char chunk[4096];
    for (;;) {
      DWORD n = 0;
      if (!::ReadFile(file, chunk, sizeof chunk, &n, nullptr)) {
        text.reset();
        break;
      }
      if (n == 0) break;
      text->append(chunk, n);
    }
  }
  ::CloseHandle(file);
  return text;
}

}  // namespace kesgp
