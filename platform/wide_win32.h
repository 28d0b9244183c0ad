// Internal to platform/: the one place where the server's UTF-8 texts
// (paths, command lines, environment entries) become the UTF-16 texts of
// the wide Win32 calls, and back. Everything above platform/ speaks UTF-8.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace kestrun {

inline std::wstring Widen(std::string_view text) {
  if (text.empty()) return {};
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

inline std::string Narrow(std::wstring_view text) {
  if (text.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), n,
                        nullptr, nullptr);
  return narrow;
}

inline HANDLE AsHandle(FileHandle h) {
  return reinterpret_cast<HANDLE>(h);
}
// A handle from a call that reports failure with a null handle (events,
// threads, OpenProcess) or with INVALID_HANDLE_VALUE (files): kInvalidFile
// for both.
inline FileHandle FromHandle(HANDLE h) {
  return h == nullptr ? kInvalidFile : reinterpret_cast<FileHandle>(h);
}

// Win32 error codes the portable code compares against the C library's
// codes: a pipe whose other end has gone reads as end of data or fails
// with EPIPE, a missing file is ENOENT and an existing one EEXIST.
int PortableError(DWORD error);

}  // namespace kestrun
