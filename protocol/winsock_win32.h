// Winsock pieces shared by the two Winsock files of this module
// (socket_win32.cpp, udp_win32.cpp); defined in socket_win32.cpp.
#pragma once

#include <winsock2.h>

#include <cstdint>

#include "protocol/socket.h"

namespace kestrun::winsock {

inline SOCKET Native(SocketHandle s) {
  return static_cast<SOCKET>(s);
}

sockaddr_in IPv4(uint32_t address, int port);

// A socket no child process inherits: the flag at creation where Winsock
// knows it, and the handle flag in every case. kInvalidSocket on failure,
// with *error (when given) set to Winsock's code.
SocketHandle NewSocket(int type, int protocol, int* error = nullptr);

// Switches the blocking mode; Winsock has no per-call MSG_DONTWAIT.
void SetNonBlocking(SocketHandle s, bool on);

}  // namespace kestrun::winsock
