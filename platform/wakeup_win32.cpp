// Windows: only sockets can be waited for together with a socket (WSAPoll),
// and a send that waits for room watches its wake-up the same way (see
// SendWake in protocol/socket.h). So a wake-up is a loopback datagram socket
// connected to itself: Signal sends it one datagram, which is never read, so
// the socket stays readable from then on.
//
// Anonymous pipes cannot be waited for at all; a wait on a pipe looks at it
// with PeekNamedPipe and sleeps on the wake-up between looks, a little
// longer each time up to a few milliseconds.
#include <winsock2.h>

#include <windows.h>

#include <algorithm>

#include "platform/wakeup.h"
#include "platform/wide_win32.h"

namespace kestrun {

namespace {

bool IsSocketHandle(FileHandle h) {
  int type = 0;
  int size = sizeof type;
  return ::getsockopt(static_cast<SOCKET>(h), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type),
                      &size) == 0;
}

// Winsock is started once per process; WSAStartup counts its callers, so
// this is harmless beside the protocol's own start.
void StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

// -1 on failure, 0 when nothing came within `ms`, else >0.
int PollOne(FileHandle socket, int ms) {
  WSAPOLLFD fd{static_cast<SOCKET>(socket), POLLRDNORM, 0};
  return ::WSAPoll(&fd, 1, ms);
}

}  // namespace

std::optional<Wakeup> Wakeup::Create(int* error) {
  StartWinsock();
  SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    if (error) *error = ::WSAGetLastError();
    return std::nullopt;
  }
  UniqueFd fd(static_cast<FileHandle>(s));
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof self;
  if (::bind(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&self), &size) != 0 ||
      ::connect(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
    if (error) *error = ::WSAGetLastError();
    return std::nullopt;
  }
  return Wakeup(std::move(fd));
}

void Wakeup::Signal() const {
  const char one = 1;
  ::send(static_cast<SOCKET>(fd_.get()), &one, 1, 0);
}

InputWait WaitForInput(FileHandle fd, FileHandle wakeup) {
  if (IsSocketHandle(fd)) {
    WSAPOLLFD fds[2] = {{static_cast<SOCKET>(fd), POLLRDNORM, 0},
                        {static_cast<SOCKET>(wakeup), POLLRDNORM, 0}};
    const ULONG count = wakeup == kInvalidFile ? 1 : 2;
    if (::WSAPoll(fds, count, -1) < 0) return InputWait::Failed;
    // A hang-up or error counts as input: the read that follows reports it.
    if (fds[0].revents) return InputWait::Ready;
    return InputWait::Woken;
  }
  int pause = 1;
  for (;;) {
    DWORD available = 0;
    if (!::PeekNamedPipe(AsHandle(fd), nullptr, 0, nullptr, &available, nullptr)) {
      // The writers have gone (or this is no pipe): the read tells which.
      return InputWait::Ready;
    }
    if (available > 0) return InputWait::Ready;
    if (wakeup == kInvalidFile) {
      ::Sleep(static_cast<DWORD>(pause));
    } else {
      const int rc = PollOne(wakeup, pause);
      if (rc > 0) return InputWait::Woken;
      if (rc < 0) return InputWait::Failed;
    }
    pause = std::min(pause * 2, 8);
  }
}

bool IsSignalled(FileHandle wakeup) {
  return PollOne(wakeup, 0) > 0;
}

}  // namespace kestrun
