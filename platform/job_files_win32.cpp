#include <windows.h>

#include "platform/job_files.h"
#include "platform/wide_win32.h"

namespace kestrun {

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW entry;
  HANDLE find = ::FindFirstFileExW(Widen(path + "\\*").c_str(), FindExInfoBasic, &entry,
                                   FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring_view name(entry.cFileName);
    if (name == L"." || name == L"..") continue;
    names.push_back(Narrow(name));
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return names;
}

bool RemoveFile(const std::string& path) {
  return ::DeleteFileW(Widen(path).c_str()) != 0;
}

int MakeDirectory(const std::string& path) {
  if (::CreateDirectoryW(Widen(path).c_str(), nullptr)) return 0;
  return PortableError(::GetLastError());
}

}  // namespace kestrun
