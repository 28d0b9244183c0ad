// Winsock 2 implementation of protocol/socket.h. Error codes are Winsock's
// (WSAGetLastError); sockets are created without inheritance, so a job
// started by CreateProcess never holds a connection of the server.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/error_text.h"
#include "protocol/socket.h"
#include "protocol/winsock_win32.h"

namespace kestrun {

namespace winsock {

sockaddr_in IPv4(uint32_t address, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(address);
  addr.sin_port = htons(static_cast<u_short>(port));
  return addr;
}

SocketHandle NewSocket(int type, int protocol, int* error) {
  net::StartSockets();
  SOCKET s = ::WSASocketW(AF_INET, type, protocol, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL)
    s = ::WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (s == INVALID_SOCKET) {
    if (error) *error = ::WSAGetLastError();
    return kInvalidSocket;
  }
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<SocketHandle>(s);
}

void SetNonBlocking(SocketHandle s, bool on) {
  u_long mode = on ? 1 : 0;
  ::ioctlsocket(Native(s), FIONBIO, &mode);
}

}  // namespace winsock

using namespace winsock;

namespace {

int PollOne(SocketHandle s, short events, int timeoutMs) {
  WSAPOLLFD fd{Native(s), events, 0};
  return ::WSAPoll(&fd, 1, timeoutMs);
}

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, kInvalidSocket);
  }
  return *this;
}

void Socket::Close() {
  if (handle_ != kInvalidSocket) ::closesocket(Native(std::exchange(handle_, kInvalidSocket)));
}

void Socket::ShutdownSend() const {
  if (handle_ != kInvalidSocket) ::shutdown(Native(handle_), SD_SEND);
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
    // Polled first so the read never blocks, whatever the socket's mode.
    if (PollOne(handle_, POLLRDNORM, static_cast<int>(left.count())) <= 0) break;
    const int n = ::recv(Native(handle_), discard.data(), static_cast<int>(discard.size()), 0);
    if (n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) continue;
    if (n <= 0) break;  // the peer's end, or the connection failed
    discarded += static_cast<size_t>(n);
  }
  Close();
}

namespace net {

void StartSockets() {
  // Winsock counts its starts; one for the life of the process is enough,
  // and a function-local static makes it happen exactly once across threads.
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

WaitResult WaitReadable(SocketHandle s, std::chrono::milliseconds wait) {
  const int rc = PollOne(s, POLLRDNORM, static_cast<int>(wait.count()));
  if (rc > 0) return WaitResult::Ready;
  if (rc == 0) return WaitResult::Timeout;
  return ::WSAGetLastError() == WSAEINTR ? WaitResult::Interrupted : WaitResult::Error;
}

long ReceiveSome(SocketHandle s, void* area, size_t size, int* error) {
  const int n = ::recv(Native(s), static_cast<char*>(area),
                       static_cast<int>(std::min<size_t>(size, INT_MAX)), 0);
  if (n >= 0) return n;
  *error = ::WSAGetLastError();
  return -1;
}

namespace {

// The socket's send time-out (SO_SNDTIMEO, milliseconds) as a poll wait: -1
// when none.
int SendTimeoutMs(SocketHandle s) {
  DWORD ms = 0;
  int size = sizeof ms;
  if (::getsockopt(Native(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&ms), &size) != 0)
    return -1;
  return ms > 0 ? static_cast<int>(ms) : -1;
}

// Waits for room on `s` while watching `wake`. 0 when there is room (or the
// wake-up just fired: the caller tries again), else the error to return.
int WaitForRoom(SocketHandle s, const SendWake& wake, int timeoutMs,
                std::optional<std::chrono::steady_clock::time_point>& wokenAt) {
  using std::chrono::steady_clock;
  if (!wokenAt) {
    WSAPOLLFD fds[2] = {{Native(s), POLLWRNORM, 0}, {Native(wake.handle), POLLRDNORM, 0}};
    const int rc = ::WSAPoll(fds, 2, timeoutMs);
    if (rc == 0) return WSAETIMEDOUT;
    if (rc < 0) return ::WSAGetLastError();
    if (fds[1].revents) wokenAt = steady_clock::now();
    return 0;
  }
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(*wokenAt + wake.patience - steady_clock::now());
  if (left.count() <= 0) return WSAETIMEDOUT;
  const int rc = PollOne(s, POLLWRNORM, static_cast<int>(left.count()));
  if (rc == 0) return WSAETIMEDOUT;
  if (rc < 0) return ::WSAGetLastError();
  return 0;
}

int SendPieces(SocketHandle s, std::vector<WSABUF>& bufs, const SendWake* wake) {
  const int timeoutMs = wake ? SendTimeoutMs(s) : -1;
  std::optional<std::chrono::steady_clock::time_point> wokenAt;
  size_t first = 0;
  while (first < bufs.size()) {
    DWORD sent = 0;
    if (::WSASend(Native(s), &bufs[first], static_cast<DWORD>(bufs.size() - first), &sent, 0,
                  nullptr, nullptr) != 0) {
      const int error = ::WSAGetLastError();
      if (!wake || error != WSAEWOULDBLOCK) return error;
      if (const int failed = WaitForRoom(s, *wake, timeoutMs, wokenAt)) return failed;
      continue;
    }
    // Skip what went out; a partial send resumes inside its piece.
    size_t n = sent;
    while (first < bufs.size() && n >= bufs[first].len) n -= bufs[first++].len;
    if (first < bufs.size()) {
      bufs[first].buf += n;
      bufs[first].len -= static_cast<ULONG>(n);
    }
  }
  return 0;
}

}  // namespace

int SendAll(SocketHandle s, std::span<const SendPiece> pieces, const SendWake* wake) {
  std::vector<WSABUF> bufs;
  bufs.reserve(pieces.size());
  for (const SendPiece& p : pieces) {
    // A piece larger than a WSABUF holds goes as several.
    const char* data = static_cast<const char*>(p.data);
    for (size_t left = p.size; left > 0;) {
      const ULONG part = static_cast<ULONG>(std::min<size_t>(left, 1u << 30));
      bufs.push_back({part, const_cast<char*>(data)});
      data += part;
      left -= part;
    }
  }
  if (!wake) return SendPieces(s, bufs, nullptr);
  // Non-blocking only while this send runs: Winsock knows no per-call flag.
  SetNonBlocking(s, true);
  const int error = SendPieces(s, bufs, wake);
  SetNonBlocking(s, false);
  return error;
}

int SetSendTimeout(SocketHandle s, std::chrono::milliseconds limit) {
  const DWORD ms = static_cast<DWORD>(limit.count());
  return ::setsockopt(Native(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms),
                      sizeof ms) == 0
             ? 0
             : ::WSAGetLastError();
}

std::optional<Socket> ListenTcp(int* port, int backlog) {
  return ListenTcp(port, backlog, kAnyAddress);
}

std::optional<Socket> ListenTcp(int* port, int backlog, uint32_t address) {
  Socket s(NewSocket(SOCK_STREAM, IPPROTO_TCP));
  if (!s) {
    std::fputs("Failed to create socket\n", stderr);
    return std::nullopt;
  }
  // SO_REUSEADDR on Windows would let a second server take the port away;
  // exclusive use is what a restarted server wants (TIME_WAIT does not block
  // a bind there).
  const BOOL on = TRUE;
  ::setsockopt(Native(s.get()), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
               sizeof on);
  sockaddr_in addr = IPv4(address, *port);
  if (::bind(Native(s.get()), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::fputs("Failed to bind to socket\n", stderr);
    return std::nullopt;
  }
  int len = sizeof addr;
  if (::getsockname(Native(s.get()), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::fputs("Failed to getsockname\n", stderr);
    return std::nullopt;
  }
  if (::listen(Native(s.get()), backlog) != 0) {
    std::fprintf(stderr, "listen on port %d: %s\n", *port,
                 SystemErrorText(::WSAGetLastError()).c_str());
    return std::nullopt;
  }
  *port = ntohs(addr.sin_port);
  return s;
}

std::optional<Socket> Accept(SocketHandle listener, uint32_t* peerAddress, int* error) {
  sockaddr_in peer{};
  int len = sizeof peer;
  const SOCKET s = ::accept(Native(listener), reinterpret_cast<sockaddr*>(&peer), &len);
  if (s == INVALID_SOCKET) {
    *error = ::WSAGetLastError();
    return std::nullopt;
  }
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  *peerAddress = ntohl(peer.sin_addr.s_addr);
  return Socket(static_cast<SocketHandle>(s));
}

namespace {

bool EndpointOf(SocketHandle s, bool peer, uint32_t* address, int* port) {
  sockaddr_in addr{};
  int len = sizeof addr;
  const int rc = peer ? ::getpeername(Native(s), reinterpret_cast<sockaddr*>(&addr), &len)
                      : ::getsockname(Native(s), reinterpret_cast<sockaddr*>(&addr), &len);
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
  return error == WSAEINTR;
}

long ReceiveAvailable(SocketHandle s, void* area, size_t size, int* error) {
  // Winsock has no per-call MSG_DONTWAIT: a zero-wait poll says whether a
  // read would block.
  const int rc = PollOne(s, POLLRDNORM, 0);
  if (rc < 0) {
    *error = ::WSAGetLastError();
    return -1;
  }
  if (rc == 0) {
    *error = WSAEWOULDBLOCK;
    return -1;
  }
  return ReceiveSome(s, area, size, error);
}

bool IsWouldBlock(int error) {
  return error == WSAEWOULDBLOCK;
}

int PollReadable(std::span<PollEntry> entries, std::chrono::milliseconds wait) {
  if (entries.empty()) {
    // WSAPoll refuses an empty set; waiting on nothing is a plain sleep.
    ::Sleep(static_cast<DWORD>(wait.count() < 0 ? INFINITE : wait.count()));
    return 0;
  }
  std::vector<WSAPOLLFD> fds(entries.size());
  for (size_t k = 0; k < entries.size(); ++k) fds[k] = {Native(entries[k].socket), POLLRDNORM, 0};
  const int rc =
      ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), static_cast<int>(wait.count()));
  if (rc < 0) return ::WSAGetLastError() == WSAEINTR ? 0 : -1;
  for (size_t k = 0; k < entries.size(); ++k) entries[k].ready = fds[k].revents != 0;
  return rc;
}

std::optional<uint32_t> ResolveIPv4(const std::string& host) {
  StartSockets();
  if (host.find_first_not_of("0123456789.") == std::string::npos) {
    // Dotted form (or empty), converted without a name lookup; inet_addr
    // takes the same shortened forms as inet_aton.
    if (host.empty()) return ntohl(INADDR_NONE);
    return ntohl(::inet_addr(host.c_str()));
  }
  // The loopback name always means the loopback address (RFC 6761).
  if (::_stricmp(host.c_str(), "localhost") == 0) return INADDR_LOOPBACK;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return std::nullopt;
  const uint32_t address = ntohl(reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr);
  ::freeaddrinfo(res);
  return address;
}

const int kTimedOut = WSAETIMEDOUT;
const int kConnectionRefused = WSAECONNREFUSED;

std::optional<Socket> ConnectTcp(uint32_t address, int port, int* error) {
  Socket s(NewSocket(SOCK_STREAM, IPPROTO_TCP));
  if (!s) {
    if (error) *error = ::WSAGetLastError();
    return std::nullopt;
  }
  const sockaddr_in addr = IPv4(address, port);
  if (::connect(Native(s.get()), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (error) *error = ::WSAGetLastError();
    return std::nullopt;
  }
  return s;
}

int LastError() {
  return ::WSAGetLastError();
}

}  // namespace net
}  // namespace kestrun
