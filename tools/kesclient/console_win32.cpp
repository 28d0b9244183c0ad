#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include "tools/kesclient/console.h"
#include "tools/kesclient/exit_status.h"

namespace kestrun::client {

namespace {

// The console control handler has no context argument: the one handler of
// the process is reached through this, set once by WatchInterrupts before
// the console may call.
std::function<bool(bool)>* interruptHandler = nullptr;

BOOL WINAPI OnConsoleControl(DWORD event) {
  // The console calls on a thread it creates for the purpose; returning
  // TRUE for Ctrl+C keeps the process (the handler decided to go on).
  const bool ctrlC = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
  if (!(*interruptHandler)(ctrlC)) std::_Exit(kExitInterrupted);
  return TRUE;
}

}  // namespace

std::string LoginName() {
  wchar_t name[257];
  DWORD size = 257;
  if (!::GetUserNameW(name, &size) || size < 2) return "unknown";
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(size - 1), nullptr, 0,
                                      nullptr, nullptr);
  std::string text(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(size - 1), text.data(), n, nullptr,
                        nullptr);
  return text;
}

bool IsTerminal(int fd) {
  return ::_isatty(fd) != 0;
}

void WatchInterrupts(std::function<bool(bool ctrlC)> handler) {
  static std::function<bool(bool)> installed;
  installed = std::move(handler);
  interruptHandler = &installed;
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool WriteAll(int fd, std::span<const std::string_view> pieces) {
  for (std::string_view piece : pieces) {
    while (!piece.empty()) {
      const unsigned chunk = static_cast<unsigned>(std::min<size_t>(piece.size(), 1u << 30));
      const int n = ::_write(fd, piece.data(), chunk);
      if (n < 0) return false;  // errno set by the C runtime (EPIPE, ...)
      piece.remove_prefix(static_cast<size_t>(n));
    }
  }
  return true;
}

InputReader::InputReader(int fd) : fd_(fd) {
  ready_ = true;
}

InputReader::~InputReader() {
  if (cancelRead_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(cancelRead_));
}

long InputReader::Read(char* buffer, size_t size) {
  if (cancelRead_ == -1) {
    HANDLE self = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &self, 0,
                      FALSE, DUPLICATE_SAME_ACCESS);
    cancelRead_ = reinterpret_cast<intptr_t>(self);
  }
  reading_ = true;
  long result = -1;
  if (!cancelled_) {
    const HANDLE input = reinterpret_cast<HANDLE>(::_get_osfhandle(fd_));
    DWORD n = 0;
    const unsigned chunk = static_cast<unsigned>(std::min<size_t>(size, 1u << 30));
    if (::ReadFile(input, buffer, chunk, &n, nullptr))
      result = static_cast<long>(n);
    else
      result = cancelled_ ? -1 : 0;  // a broken pipe is the end of input
  }
  reading_ = false;
  return cancelled_ ? -1 : result;
}

void InputReader::Cancel() {
  cancelled_ = true;
  // A read of a file, a pipe at its end or /dev/null returns by itself in a
  // moment; only a read that waits for input (a console, an open pipe) is
  // cancelled, with CancelSynchronousIo. That call is kept for such reads:
  // Wine's faults when it meets a thread that is between two calls. A read
  // about to start sees the flag; the loop covers the moment between the two.
  for (int waited = 0; reading_ && waited < 100; ++waited) ::Sleep(1);
  while (reading_) {
    if (cancelRead_ != -1) ::CancelSynchronousIo(reinterpret_cast<HANDLE>(cancelRead_));
    ::Sleep(1);
  }
}

}  // namespace kestrun::client
