#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/error_text.h"
#include "protocol/socket.h"

namespace kestrun {

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, kInvalidSocket);
  }
  return *this;
}

void Socket::Close() {
  // close is not retried on EINTR: the descriptor is gone either way.
  if (handle_ != kInvalidSocket) ::close(std::exchange(handle_, kInvalidSocket));
}

void Socket::ShutdownSend() const {
  if (handle_ != kInvalidSocket) ::shutdown(handle_, SHUT_WR);
}

void Socket::ShutdownDrainAndClose(std::chrono::milliseconds limit, size_t byteCap) {
  if (handle_ == kInvalidSocket) return;
  using Clock = std::chrono::steady_clock;
  ShutdownSend();
  const Clock::time_point end = Clock::now() + limit;
  std::array<char, 4096> discard;
  size_t discarded = 0;
  while (discarded < byteCap) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) break;
    pollfd pfd{handle_, POLLIN, 0};
    const int rc = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) break;
    const ssize_t n = ::recv(handle_, discard.data(), discard.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) break;  // the peer's end, or the connection failed
    discarded += static_cast<size_t>(n);
  }
  Close();
}

namespace net {

void StartSockets() {
  ::signal(SIGPIPE, SIG_IGN);
}

WaitResult WaitReadable(SocketHandle s, std::chrono::milliseconds wait) {
  pollfd pfd{s, POLLIN, 0};
  const int rc = ::poll(&pfd, 1, static_cast<int>(wait.count()));
  if (rc > 0) return WaitResult::Ready;
  if (rc == 0) return WaitResult::Timeout;
  return errno == EINTR ? WaitResult::Interrupted : WaitResult::Error;
}

long ReceiveSome(SocketHandle s, void* area, size_t size, int* error) {
  for (;;) {
    const ssize_t n = ::recv(s, area, size, 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    *error = errno;
    return -1;
  }
}

namespace {

// The socket's send time-out (SO_SNDTIMEO) as a poll wait: -1 when none.
int SendTimeoutMs(SocketHandle s) {
  timeval tv{};
  socklen_t size = sizeof tv;
  if (::getsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, &size) != 0) return -1;
  const long ms = static_cast<long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
  return ms > 0 ? static_cast<int>(ms) : -1;
}

// Waits for room on `s` while watching `wake`. 0 when there is room (or the
// wake-up just fired: the caller tries again), else the error to return.
int WaitForRoom(SocketHandle s, const SendWake& wake, int timeoutMs,
                std::optional<std::chrono::steady_clock::time_point>& wokenAt) {
  using std::chrono::steady_clock;
  if (!wokenAt) {
    pollfd fds[2] = {{s, POLLOUT, 0}, {wake.handle, POLLIN, 0}};
    const int rc = ::poll(fds, 2, timeoutMs);
    if (rc == 0) return ETIMEDOUT;
    if (rc < 0) return errno == EINTR ? 0 : errno;
    if (fds[1].revents) wokenAt = steady_clock::now();
    return 0;
  }
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(*wokenAt + wake.patience - steady_clock::now());
  if (left.count() <= 0) return ETIMEDOUT;
  pollfd room{s, POLLOUT, 0};
  const int rc = ::poll(&room, 1, static_cast<int>(left.count()));
  if (rc == 0) return ETIMEDOUT;
  if (rc < 0 && errno != EINTR) return errno;
  return 0;
}

}  // namespace

int SendAll(SocketHandle s, std::span<const SendPiece> pieces, const SendWake* wake) {
  // A few pieces (the usual case) need no allocation.
  std::array<iovec, 16> few;
  std::vector<iovec> many;
  if (pieces.size() > few.size()) many.resize(pieces.size());
  iovec* iov = many.empty() ? few.data() : many.data();
  size_t count = 0;
  for (const SendPiece& p : pieces) {
    if (p.size) iov[count++] = {const_cast<void*>(p.data), p.size};
  }
  const int timeoutMs = wake ? SendTimeoutMs(s) : -1;
  std::optional<std::chrono::steady_clock::time_point> wokenAt;
  size_t first = 0;
  while (first < count) {
    msghdr msg{};
    msg.msg_iov = &iov[first];
    msg.msg_iovlen = count - first;
    ssize_t n = ::sendmsg(s, &msg, MSG_NOSIGNAL | (wake ? MSG_DONTWAIT : 0));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (!wake || (errno != EAGAIN && errno != EWOULDBLOCK)) return errno;
      if (const int error = WaitForRoom(s, *wake, timeoutMs, wokenAt)) return error;
      continue;
    }
    // Skip what went out; a partial send resumes inside its piece.
    while (first < count && static_cast<size_t>(n) >= iov[first].iov_len) {
      n -= static_cast<ssize_t>(iov[first].iov_len);
      ++first;
    }
    if (first < count) {
      iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + n;
      iov[first].iov_len -= static_cast<size_t>(n);
    }
  }
  return 0;
}

int SetSendTimeout(SocketHandle s, std::chrono::milliseconds limit) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(limit.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((limit.count() % 1000) * 1000);
  return ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0 ? 0 : errno;
}

std::optional<Socket> ListenTcp(int* port, int backlog) {
  return ListenTcp(port, backlog, kAnyAddress);
}

std::optional<Socket> ListenTcp(int* port, int backlog, uint32_t address) {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s) {
    std::fputs("Failed to create socket\n", stderr);
    return std::nullopt;
  }
  // A restarted server must not wait for old connections in TIME_WAIT.
  const int on = 1;
  ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(address);
  addr.sin_port = htons(static_cast<uint16_t>(*port));
  if (::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::fputs("Failed to bind to socket\n", stderr);
    return std::nullopt;
  }
  socklen_t len = sizeof addr;
  if (::getsockname(s.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::fputs("Failed to getsockname\n", stderr);
    return std::nullopt;
  }
  if (::listen(s.get(), backlog) != 0) {
    std::fprintf(stderr, "listen on port %d: %s\n", *port, SystemErrorText(errno).c_str());
    return std::nullopt;
  }
  *port = ntohs(addr.sin_port);
  return s;
}

std::optional<Socket> Accept(SocketHandle listener, uint32_t* peerAddress, int* error) {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return std::nullopt;
  }
  *peerAddress = ntohl(peer.sin_addr.s_addr);
  return Socket(fd);
}

namespace {

bool EndpointOf(SocketHandle s, bool peer, uint32_t* address, int* port) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  const int rc = peer ? ::getpeername(s, reinterpret_cast<sockaddr*>(&addr), &len)
                      : ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  if (rc != 0 || addr.sin_family != AF_INET) return false;
  *address = ntohl(addr.sin_addr.s_addr);
  *port = ntohs(addr.sin_port);
  return true;
}

}  // namespace

bool LocalEndpoint(SocketHandle s, uint32_t* address, int* port) {
  return EndpointOf(s, false, address, port);
}

bool PeerEndpoint(SocketHandle s, uint32_t* address, int* port) {
  return EndpointOf(s, true, address, port);
}

bool IsInterrupted(int error) {
  return error == EINTR;
}

long ReceiveAvailable(SocketHandle s, void* area, size_t size, int* error) {
  for (;;) {
    const ssize_t n = ::recv(s, area, size, MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    *error = errno;
    return -1;
  }
}

bool IsWouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

int PollReadable(std::span<PollEntry> entries, std::chrono::milliseconds wait) {
  std::vector<pollfd> fds(entries.size());
  for (size_t k = 0; k < entries.size(); ++k) fds[k] = {entries[k].socket, POLLIN, 0};
  const int rc = ::poll(fds.data(), fds.size(), static_cast<int>(wait.count()));
  if (rc < 0) return errno == EINTR ? 0 : -1;
  for (size_t k = 0; k < entries.size(); ++k) entries[k].ready = fds[k].revents != 0;
  return rc;
}

std::optional<uint32_t> ResolveIPv4(const std::string& host) {
  if (host.find_first_not_of("0123456789.") == std::string::npos) {
    // Dotted form (or empty), converted without a name lookup.
    in_addr a{};
    if (host.empty() || ::inet_aton(host.c_str(), &a) == 0) return ntohl(INADDR_NONE);
    return ntohl(a.s_addr);
  }
  // The loopback name always means the loopback address (RFC 6761), so the
  // common case needs no trip through the name service.
  if (strcasecmp(host.c_str(), "localhost") == 0) return INADDR_LOOPBACK;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return std::nullopt;
  const uint32_t address = ntohl(reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr);
  ::freeaddrinfo(res);
  return address;
}

const int kTimedOut = ETIMEDOUT;
const int kConnectionRefused = ECONNREFUSED;

std::optional<Socket> ConnectTcp(uint32_t address, int port, int* error) {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s) {
    if (error) *error = errno;
    return std::nullopt;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(address);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  int rc;
  do {
    rc = ::connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (error) *error = errno;
    return std::nullopt;
  }
  return s;
}

std::optional<std::pair<Socket, Socket>> ConnectedPair(int* error) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    if (error != nullptr) *error = errno;
    return std::nullopt;
  }
  return std::make_pair(Socket(ends[0]), Socket(ends[1]));
}

int LastError() {
  return errno;
}

}  // namespace net
}  // namespace kestrun
