#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "protocol/udp.h"

namespace kestrun {

namespace {

sockaddr_in IPv4(uint32_t address, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(address);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

}  // namespace

std::optional<DatagramSocket> DatagramSocket::Open(int* error) {
  Socket s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!s) {
    *error = errno;
    return std::nullopt;
  }
  return DatagramSocket(std::move(s));
}

std::optional<DatagramSocket> DatagramSocket::Bind(uint32_t address, int* port, int* error) {
  Socket s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!s) {
    *error = errno;
    return std::nullopt;
  }
  sockaddr_in addr = IPv4(address, *port);
  socklen_t len = sizeof addr;
  if (::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    *error = errno;
    return std::nullopt;
  }
  *port = ntohs(addr.sin_port);
  return DatagramSocket(std::move(s));
}

int DatagramSocket::SendTo(uint32_t address, int port, std::span<const uint8_t> bytes) const {
  if (port < 1 || port > 65535) return EINVAL;
  const sockaddr_in addr = IPv4(address, port);
  for (;;) {
    // MSG_DONTWAIT: a full send buffer must not hold a request thread; the
    // datagram is then reported as not sent (delivery is best effort anyway).
    const ssize_t n =
        ::sendto(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    if (n >= 0) return 0;
    if (errno != EINTR) return errno;
  }
}

long DatagramSocket::ReceiveFrom(void* area, size_t size, std::chrono::milliseconds wait,
                                 int* error, uint32_t* sender) const {
  pollfd pfd{socket_.get(), POLLIN, 0};
  const int rc = ::poll(&pfd, 1, static_cast<int>(wait.count()));
  if (rc == 0) return 0;
  if (rc < 0) {
    *error = errno;
    return -1;
  }
  sockaddr_in from{};
  socklen_t len = sizeof from;
  for (;;) {
    const ssize_t n = ::recvfrom(socket_.get(), area, size, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &len);
    if (n >= 0) {
      if (sender) *sender = ntohl(from.sin_addr.s_addr);
      return static_cast<long>(n);
    }
    if (errno == EINTR) continue;
    // Woken for an error the kernel queued (an ICMP report): nothing to read.
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    *error = errno;
    return -1;
  }
}

namespace net {

std::optional<Socket> ConnectTcpWithin(uint32_t address, int port, std::chrono::milliseconds limit,
                                       int* error) {
  // Non-blocking while connecting so that an address that never answers
  // costs at most `limit`, then back to blocking for the transport.
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!s) {
    *error = errno;
    return std::nullopt;
  }
  const sockaddr_in addr = IPv4(address, port);
  if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      *error = errno;
      return std::nullopt;
    }
    pollfd pfd{s.get(), POLLOUT, 0};
    const int rc = ::poll(&pfd, 1, static_cast<int>(limit.count()));
    if (rc <= 0) {
      *error = rc == 0 ? ETIMEDOUT : errno;
      return std::nullopt;
    }
    int result = 0;
    socklen_t len = sizeof result;
    if (::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &result, &len) != 0) result = errno;
    if (result != 0) {
      *error = result;
      return std::nullopt;
    }
  }
  const int flags = ::fcntl(s.get(), F_GETFL);
  ::fcntl(s.get(), F_SETFL, flags & ~O_NONBLOCK);
  // A peer that accepts but stops reading must not hold a sender either.
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit);
  const timeval timeout{static_cast<time_t>(seconds.count()),
                        static_cast<suseconds_t>((limit - seconds).count() * 1000)};
  ::setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  return s;
}

std::string LocalHostName() {
  char name[257] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

}  // namespace net
}  // namespace kestrun
