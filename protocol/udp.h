// Sockets of the notification path: datagrams to docked clients, and the
// bounded connection attempt used to reach a relay server or a server from
// the notification tool. The POSIX implementation is udp_posix.cpp.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "protocol/socket.h"

namespace kestrun {

// One close-on-exec IPv4 datagram socket. A sending socket is unbound and may
// be used for any number of datagrams to any addresses; a receiving one is
// bound to a port of one local address.
class DatagramSocket {
 public:
  // An unbound socket for sending. Empty with *error set on failure.
  static std::optional<DatagramSocket> Open(int* error);
  // A socket bound to `address` (host order) at *port (0 picks a free port;
  // *port receives the bound one). Empty with *error set on failure.
  static std::optional<DatagramSocket> Bind(uint32_t address, int* port, int* error);

  // Sends `bytes` as one datagram to address:port (host order). Returns 0, or
  // the system's error code; a port outside 1..65535 gives EINVAL without a
  // send. Never blocks for long: a datagram socket's send buffer only fills
  // for a moment.
  int SendTo(uint32_t address, int port, std::span<const uint8_t> bytes) const;
  // Waits at most `wait` for one datagram and copies up to `size` bytes of it
  // into `area`: the datagram's length (cut to `size`), 0 on time-out, -1 on
  // an error (*error set). *sender receives the sender's address when given.
  long ReceiveFrom(void* area, size_t size, std::chrono::milliseconds wait, int* error,
                   uint32_t* sender = nullptr) const;

  SocketHandle get() const { return socket_.get(); }

 private:
  explicit DatagramSocket(Socket socket) : socket_(std::move(socket)) {}
  Socket socket_;
};

namespace net {

// Connects a close-on-exec IPv4 stream socket, giving up after `limit`; a
// send on the connection that cannot proceed for `limit` fails too. Empty on
// failure, with *error set to the system's code (ETIMEDOUT when the limit
// passed).
std::optional<Socket> ConnectTcpWithin(uint32_t address, int port, std::chrono::milliseconds limit,
                                       int* error);

// This machine's host name, cut to 256 characters; "localhost" when the system
// cannot tell.
std::string LocalHostName();

}  // namespace net
}  // namespace kestrun
