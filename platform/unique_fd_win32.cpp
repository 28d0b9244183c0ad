#include <winsock2.h>

#include <windows.h>

#include <cerrno>

#include "platform/unique_fd.h"
#include "platform/wide_win32.h"

namespace kestrun {

int PortableError(DWORD error) {
  switch (error) {
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
      return EPIPE;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    default:
      return static_cast<int>(error);
  }
}

namespace {

// A wake-up (wakeup.h) is a socket, which closesocket must close; every
// other handle is closed with CloseHandle. getsockopt tells the two apart
// without side effects.
bool IsSocket(FileHandle h) {
  int type = 0;
  int size = sizeof type;
  return ::getsockopt(static_cast<SOCKET>(h), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type),
                      &size) == 0;
}

}  // namespace

void UniqueFd::Reset(FileHandle fd) {
  if (fd_ != kInvalidFile) {
    if (IsSocket(fd_)) {
      ::closesocket(static_cast<SOCKET>(fd_));
    } else {
      ::CloseHandle(AsHandle(fd_));
    }
  }
  fd_ = fd;
}

long ReadSome(FileHandle fd, void* area, size_t size, int* error) {
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(size > 0x40000000 ? 0x40000000 : size);
  if (::ReadFile(AsHandle(fd), area, want, &got, nullptr)) return static_cast<long>(got);
  const DWORD failure = ::GetLastError();
  // Every writer of a pipe has closed its end: that is the end of the data.
  if (failure == ERROR_BROKEN_PIPE || failure == ERROR_HANDLE_EOF) return 0;
  *error = PortableError(failure);
  return -1;
}

int WriteAll(FileHandle fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD put = 0;
    const DWORD want = static_cast<DWORD>(size > 0x40000000 ? 0x40000000 : size);
    if (!::WriteFile(AsHandle(fd), p, want, &put, nullptr)) return PortableError(::GetLastError());
    p += put;
    size -= put;
  }
  return 0;
}

}  // namespace kestrun
