// Sockets for the message transport: an owning handle and the few socket
// calls the transport needs. The POSIX implementation is socket_posix.cpp;
// everything above this header is free of operating-system calls.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace kestrun {

// A socket: a descriptor on POSIX, a Winsock SOCKET (an unsigned pointer-sized
// value) on Windows.
#ifdef _WIN32
using SocketHandle = uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~uintptr_t{0};
#else
using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;
#endif

// Owns one socket; closes it once (never retried) when destroyed.
class Socket {
 public:
  Socket() = default;
  explicit Socket(SocketHandle handle) : handle_(handle) {}
  Socket(Socket&& other) noexcept : handle_(std::exchange(other.handle_, kInvalidSocket)) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { Close(); }

  SocketHandle get() const { return handle_; }
  bool valid() const { return handle_ != kInvalidSocket; }
  explicit operator bool() const { return valid(); }
  SocketHandle release() { return std::exchange(handle_, kInvalidSocket); }
  void Close();
  // Shuts down the sending direction so the peer sees the end of the reply.
  void ShutdownSend() const;
  // Ends a connection cleanly: shuts down the sending direction, then reads
  // and discards what the peer still sends until it ends its side, an error,
  // `limit` passes or `byteCap` bytes were discarded, and closes. Closing
  // with unread bytes queued would send a reset, and a peer that gets one
  // may lose the reply it has not read yet. A peer that closes its side
  // after reading the reply costs no wait; one that never does costs at most
  // `limit`.
  void ShutdownDrainAndClose(std::chrono::milliseconds limit, size_t byteCap);

 private:
  SocketHandle handle_ = kInvalidSocket;
};

// Result of one wait for readability.
enum class WaitResult { Ready, Timeout, Interrupted, Error };

// A piece of bytes to send; several are sent with one call.
struct SendPiece {
  const void* data;
  size_t size;
};

namespace net {

// Process set-up before the first socket: on POSIX ignores SIGPIPE so a
// vanished peer never ends the process (sends also pass MSG_NOSIGNAL); on
// Windows starts Winsock 2 (once, however often it is called).
void StartSockets();

WaitResult WaitReadable(SocketHandle s, std::chrono::milliseconds wait);
// Reads up to `size` bytes: >0 bytes read, 0 orderly close, -1 error
// (errno-style code in *error).
long ReceiveSome(SocketHandle s, void* area, size_t size, int* error);
// A wake-up that a send waiting for room also watches: a handle that becomes
// readable, such as a run's kill wake-up (a descriptor on POSIX, a socket on
// Windows, where only sockets can be waited for together with one). Until it fires the
// send waits as long as the socket's send time-out allows (SetSendTimeout;
// none: for ever); once it has fired, the receiver has `patience` more to
// take bytes before the send gives up (ETIMEDOUT).
struct SendWake {
  SocketHandle handle = kInvalidSocket;
  std::chrono::milliseconds patience{0};
};

// Sends all pieces, looping over partial sends. Returns 0, or the system's
// error code of the failed send. With `wake`, every send is non-blocking and
// each wait for room also watches the wake-up, so a sender stuck behind a
// peer that reads nothing notices at once (see SendWake).
int SendAll(SocketHandle s, std::span<const SendPiece> pieces, const SendWake* wake = nullptr);
// Makes every later send on `s` fail (EAGAIN) once `limit` passes without
// any byte going out: a peer that stops reading cannot hold a sender for
// ever. A send that makes progress goes on. Returns 0 or the error code.
int SetSendTimeout(SocketHandle s, std::chrono::milliseconds limit);

// Creates a close-on-exec IPv4 stream socket bound to every local address at
// *port and listening with the given backlog; *port receives the bound port.
// On failure prints the failing step's message on standard error.
std::optional<Socket> ListenTcp(int* port, int backlog);
// The same on one IPv4 address (host order); every address: kAnyAddress.
inline constexpr uint32_t kAnyAddress = 0;
std::optional<Socket> ListenTcp(int* port, int backlog, uint32_t address);
// Accepts one connection (close-on-exec). Empty with *error set on failure;
// *error is EINTR-like when interrupted (see IsInterrupted).
std::optional<Socket> Accept(SocketHandle listener, uint32_t* peerAddress, int* error);
bool IsInterrupted(int error);
// Reads what has arrived without waiting: >0 bytes read, 0 orderly close,
// -1 error, with *error the would-block code (see IsWouldBlock) when nothing
// is there yet.
long ReceiveAvailable(SocketHandle s, void* area, size_t size, int* error);
bool IsWouldBlock(int error);

// One socket of a PollReadable wait; `ready` is set when it has input, is at
// its end or has failed (a read then tells which).
struct PollEntry {
  SocketHandle socket = kInvalidSocket;
  bool ready = false;
};
// Waits until one of `entries` is ready or `wait` passes. Returns the number
// ready (0 on time-out or interruption), -1 on failure.
int PollReadable(std::span<PollEntry> entries, std::chrono::milliseconds wait);
// Resolves a dotted address or host name to an IPv4 address in host order;
// "localhost" is the loopback address without a lookup.
std::optional<uint32_t> ResolveIPv4(const std::string& host);
// Connects a close-on-exec IPv4 stream socket; empty on failure, with the
// system's error code in *error when `error` is given.
std::optional<Socket> ConnectTcp(uint32_t address, int port, int* error = nullptr);
// The two ends of a connected IPv4 socket: the address (host order) and
// port of this side (own) or of the other side (peer). False when `s` is not
// a connected IPv4 socket.
bool LocalEndpoint(SocketHandle s, uint32_t* address, int* port);
bool PeerEndpoint(SocketHandle s, uint32_t* address, int* port);
// Two connected close-on-exec local stream sockets, for a run served inside
// the process (the web console gives one end to the run's handler). Empty
// with *error set on failure.
std::optional<std::pair<Socket, Socket>> ConnectedPair(int* error = nullptr);
// The error code of a wait that ran out of time.
extern const int kTimedOut;
// The error code of a connection that nobody listens for.
extern const int kConnectionRefused;
// The calling thread's last socket error code.
int LastError();

}  // namespace net
}  // namespace kestrun
