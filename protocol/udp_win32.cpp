// Winsock 2 implementation of protocol/udp.h. Error codes are Winsock's.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include "protocol/udp.h"
#include "protocol/winsock_win32.h"

namespace kestrun {

namespace {

using winsock::IPv4;
using winsock::Native;
using winsock::SetNonBlocking;

Socket NewSocket(int type, int protocol, int* error) {
  return Socket(winsock::NewSocket(type, protocol, error));
}

}  // namespace

std::optional<DatagramSocket> DatagramSocket::Open(int* error) {
  Socket s = NewSocket(SOCK_DGRAM, IPPROTO_UDP, error);
  if (!s) return std::nullopt;
  // A full send buffer must not hold a request thread (see SendTo).
  SetNonBlocking(s.get(), true);
  return DatagramSocket(std::move(s));
}

std::optional<DatagramSocket> DatagramSocket::Bind(uint32_t address, int* port, int* error) {
  Socket s = NewSocket(SOCK_DGRAM, IPPROTO_UDP, error);
  if (!s) return std::nullopt;
  sockaddr_in addr = IPv4(address, *port);
  int len = sizeof addr;
  if (::bind(Native(s.get()), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(Native(s.get()), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    *error = ::WSAGetLastError();
    return std::nullopt;
  }
  SetNonBlocking(s.get(), true);
  *port = ntohs(addr.sin_port);
  return DatagramSocket(std::move(s));
}

int DatagramSocket::SendTo(uint32_t address, int port, std::span<const uint8_t> bytes) const {
  if (port < 1 || port > 65535) return WSAEINVAL;
  const sockaddr_in addr = IPv4(address, port);
  // The socket is non-blocking: a full send buffer reports the datagram as
  // not sent (delivery is best effort anyway).
  const int n = ::sendto(Native(socket_.get()), reinterpret_cast<const char*>(bytes.data()),
                         static_cast<int>(bytes.size()), 0,
                         reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  return n >= 0 ? 0 : ::WSAGetLastError();
}

long DatagramSocket::ReceiveFrom(void* area, size_t size, std::chrono::milliseconds wait,
                                 int* error, uint32_t* sender) const {
  WSAPOLLFD fd{Native(socket_.get()), POLLRDNORM, 0};
  const int rc = ::WSAPoll(&fd, 1, static_cast<int>(wait.count()));
  if (rc == 0) return 0;
  if (rc < 0) {
    *error = ::WSAGetLastError();
    return -1;
  }
  sockaddr_in from{};
  int len = sizeof from;
  const int n = ::recvfrom(Native(socket_.get()), static_cast<char*>(area), static_cast<int>(size),
                           0, reinterpret_cast<sockaddr*>(&from), &len);
  if (n >= 0) {
    if (sender) *sender = ntohl(from.sin_addr.s_addr);
    return n;
  }
  const int failure = ::WSAGetLastError();
  // A datagram longer than the area is cut, as on POSIX.
  if (failure == WSAEMSGSIZE) {
    if (sender) *sender = ntohl(from.sin_addr.s_addr);
    return static_cast<long>(size);
  }
  // Woken for an error queued by an ICMP report (WSAECONNRESET on Windows):
  // nothing to read.
  if (failure == WSAEWOULDBLOCK || failure == WSAECONNRESET) return 0;
  *error = failure;
  return -1;
}

namespace net {

std::optional<Socket> ConnectTcpWithin(uint32_t address, int port, std::chrono::milliseconds limit,
                                       int* error) {
  // Non-blocking while connecting so that an address that never answers
  // costs at most `limit`, then back to blocking for the transport.
  Socket s = NewSocket(SOCK_STREAM, IPPROTO_TCP, error);
  if (!s) return std::nullopt;
  SetNonBlocking(s.get(), true);
  const sockaddr_in addr = IPv4(address, port);
  if (::connect(Native(s.get()), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (::WSAGetLastError() != WSAEWOULDBLOCK) {
      *error = ::WSAGetLastError();
      return std::nullopt;
    }
    // A refused connection shows as POLLERR/POLLHUP, or as neither on some
    // Windows versions until the wait ends: SO_ERROR decides either way.
    WSAPOLLFD fd{Native(s.get()), POLLWRNORM, 0};
    const int rc = ::WSAPoll(&fd, 1, static_cast<int>(limit.count()));
    if (rc <= 0) {
      *error = rc == 0 ? WSAETIMEDOUT : ::WSAGetLastError();
      return std::nullopt;
    }
    int result = 0;
    int len = sizeof result;
    if (::getsockopt(Native(s.get()), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&result),
                     &len) != 0)
      result = ::WSAGetLastError();
    if (result != 0) {
      *error = result;
      return std::nullopt;
    }
  }
  SetNonBlocking(s.get(), false);
  // A peer that accepts but stops reading must not hold a sender either.
  SetSendTimeout(s.get(), limit);
  return s;
}

std::string LocalHostName() {
  StartSockets();
  char name[257] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

}  // namespace net
}  // namespace kestrun
