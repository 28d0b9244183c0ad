// Which process holds a local TCP socket.
//
// Used to tie a loopback connection to the process at its other end: the
// kernel lists every TCP socket of this machine with its two ends and its
// identity (an inode number), and each process's descriptors name the
// sockets they hold. A process can lie in what it sends, but not about which
// socket it connected from. Only processes whose descriptors this process may
// read (its own user's, or all for root) can be found as holders, which is
// enough for the programs this server starts itself.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/process.h"

namespace kestrun {

// One end of an IPv4 TCP connection: address in host order and port.
struct TcpEndpoint {
  uint32_t address = 0;
  int port = 0;
};

// The system-wide identity of a socket (its inode number); never 0.
using SocketId = uint64_t;

// The socket of this machine whose own end is `own` and whose other end is
// `peer`, in any state but listening. Empty when there is none (the other
// end is on another machine, or already closed) or when it is held by no
// descriptor any more.
std::optional<SocketId> FindTcpSocket(TcpEndpoint own, TcpEndpoint peer);

// Every listening TCP socket that a connection to 127.0.0.1:`port` can reach:
// bound to a loopback address or to every address, IPv4 or IPv6. Empty when
// nothing listens there (or the lists cannot be read).
std::vector<SocketId> FindLoopbackListeners(int port);

// True when `root` or one of its descendants holds socket `id` in one of its
// descriptors. False as well when their descriptors cannot be read.
bool ProcessTreeHoldsSocket(ProcessId root, SocketId id);

// True when the parent of this process, or one of its ancestors (at most 64
// steps up), holds the socket `id`: a program can tell that a connection was
// made by the server that started it. False when it cannot be told.
bool AncestorHoldsSocket(SocketId id);

}  // namespace kestrun
