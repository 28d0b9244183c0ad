// Message transport: puts an XDRWRAP on a TCP connection and takes it off,
// and owns the listening socket and outgoing connections.
//
// One connection carries one request and one reply. A request opens with the
// 4-byte connection magic; each buffer goes out as a 32-byte header followed
// by its scrambled data.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/receive_budget.h"
#include "protocol/scramble.h"
#include "protocol/socket.h"
#include "protocol/xdrwrap.h"

namespace kestrun {

inline constexpr uint32_t ConnectionMagic = 0x125ABBCD;
inline constexpr uint32_t AlternateConnectionMagic = 0x125ABBCE;
// True for either connection magic.
constexpr bool IsConnectionMagic(uint32_t magic) {
  return magic == ConnectionMagic || magic == AlternateConnectionMagic;
}
inline constexpr size_t kHeaderSize = 32;
inline constexpr int kListenBacklog = 5;
inline constexpr std::chrono::milliseconds kReadWait{30000};
// A send to a peer that makes no progress for this long fails (the server
// sets it on every client connection: net::SetSendTimeout).
inline constexpr std::chrono::milliseconds kSendProgressLimit{30000};

// An outgoing connection. CloseConnection (or destruction) closes the socket.
struct ServerConnection {
  uint32_t address = 0;  // IPv4, host order
  int port = 0;
  Socket socket;
};

// Sends magic (first buffer only), headers and scrambled data. A failed send
// is reported on standard error as "Failed to send: <error>" and the rest is
// still attempted. The message's data is scrambled in place: send it once.
void SendRequest(XDRWRAP& message, ServerConnection& connection, uint32_t magic = ConnectionMagic);
// Same framing without magic; send errors are not checked (the peer learns of
// them by the missing reply).
void SendReply(XDRWRAP& message, SocketHandle socket);

// Reads one message into `message` (decode direction). Raises DecodeFailure
// on a time-out, a failed read (both with their error code), a closed
// connection or a header beyond the limits; a header's limits are checked
// before its data is allocated or read. `limits` may also bound the time from
// the message's first byte to its last and the buffer memory of all messages
// being received (receive_budget.h); passing either is a failure too.
void ReceiveMessage(XDRWRAP& message, SocketHandle socket,
                    std::chrono::milliseconds wait = kReadWait, const ReceiveLimits& limits = {});
// The same, for a reader that has already received the message's first bytes
// (`received`, possibly the whole message) with something read before it.
void ReceiveMessage(XDRWRAP& message, SocketHandle socket, std::string_view received,
                    std::chrono::milliseconds wait = kReadWait, const ReceiveLimits& limits = {});
// Reads exactly `count` bytes, waiting at most `wait` for each arrival.
void ReadExactly(SocketHandle socket, void* area, size_t count,
                 std::chrono::milliseconds wait = kReadWait);

// Listening socket on *port (0 picks a free one); *port receives the bound
// port. Empty on failure, with the step's message on standard error.
std::optional<Socket> CreateListenSocket(int* port);
// Connects to host (dotted address, empty, or a name) at port; empty when the
// name does not resolve or the connect fails. `error`, when given, receives
// the failed connect's system error code, or 0 when the name did not resolve.
std::optional<ServerConnection> ConnectToServer(int port, const std::string& host,
                                                int* error = nullptr);
void CloseConnection(ServerConnection& connection);

// The seed of a message: the clock's seconds truncated to 32 bits.
uint32_t MessageSeed();

// Reads the four magic bytes of a new connection, waiting at most `wait` for
// all four.
// True when they carry one of the two connection magics.
bool ReadConnectionMagic(SocketHandle socket, std::chrono::milliseconds wait);

}  // namespace kestrun
