// Linux: the kernel's socket lists are /proc/net/tcp and /proc/net/tcp6, one
// line per socket; a process's descriptors are the links in /proc/PID/fd,
// which read "socket:[INODE]" for sockets.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "platform/process_tree.h"
#include "platform/socket_owner.h"
#include "platform/unique_fd.h"

namespace kestrun {

namespace {

constexpr int kListenState = 0x0A;  // TCP_LISTEN in the kernel's numbering

// An address as the socket lists give it, reduced to what a connection over
// IPv4 loopback can meet: an IPv4 address (IPv4-mapped ones of IPv6 too) or
// the any-address. Other IPv6 addresses are `foreign`.
struct ListedAddress {
  bool foreign = false;
  bool any = false;
  uint32_t v4 = 0;  // host order
};

struct ListedSocket {
  ListedAddress localAddress, remoteAddress;
  int localPort = 0, remotePort = 0;
  int state = 0;
  SocketId inode = 0;
};

// The kernel prints each 32-bit word of an address as the hexadecimal of its
// in-memory (network order) value read as a native integer.
uint32_t WordOf(const std::string& hex, size_t at) {
  return ntohl(static_cast<uint32_t>(std::strtoul(hex.substr(at, 8).c_str(), nullptr, 16)));
}

// "0100007F:1F90" (IPv4) or 32 hex digits then ":PORT" (IPv6).
bool ParseEndpoint(const std::string& text, ListedAddress* address, int* port) {
  const size_t colon = text.find(':');
  if (colon != 8 && colon != 32) return false;
  const std::string hex = text.substr(0, colon);
  *port = static_cast<int>(std::strtol(text.c_str() + colon + 1, nullptr, 16));
  if (colon == 8) {
    address->v4 = WordOf(hex, 0);
    address->any = address->v4 == 0;
    return true;
  }
  const uint32_t w0 = WordOf(hex, 0), w1 = WordOf(hex, 8), w2 = WordOf(hex, 16),
                 w3 = WordOf(hex, 24);
  if (w0 == 0 && w1 == 0 && w2 == 0 && w3 == 0) {
    address->any = true;
  } else if (w0 == 0 && w1 == 0 && w2 == 0xFFFF) {
    address->v4 = w3;
  } else {
    address->foreign = true;
  }
  return true;
}

// One line: "sl local remote st tx:rx tr:when retrnsmt uid timeout inode ...".
bool ParseLine(const std::string& line, ListedSocket* out) {
  std::istringstream fields(line);
  std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
  if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode))
    return false;
  if (!ParseEndpoint(local, &out->localAddress, &out->localPort) ||
      !ParseEndpoint(remote, &out->remoteAddress, &out->remotePort))
    return false;
  out->state = static_cast<int>(std::strtol(state.c_str(), nullptr, 16));
  out->inode = std::strtoull(inode.c_str(), nullptr, 10);
  return true;
}

std::string ReadWholeFile(const char* path) {
  std::string data;
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return data;
  char buf[8192];
  int error = 0;
  long n;
  while ((n = ReadSome(fd.get(), buf, sizeof buf, &error)) > 0)
    data.append(buf, static_cast<size_t>(n));
  return data;
}

// Every socket of both lists (the first line of each is a heading).
std::vector<ListedSocket> ListTcpSockets() {
  std::vector<ListedSocket> sockets;
  for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::istringstream lines(ReadWholeFile(path));
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
      ListedSocket s;
      if (ParseLine(line, &s)) sockets.push_back(s);
    }
  }
  return sockets;
}

bool Is(const ListedAddress& a, uint32_t v4) {
  return !a.foreign && !a.any && a.v4 == v4;
}

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

bool ProcessHoldsSocket(ProcessId pid, SocketId id) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/fd", pid);
  std::unique_ptr<DIR, DirCloser> dir(::opendir(path));
  if (!dir) return false;
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "socket:[%llu]", static_cast<unsigned long long>(id));
  const size_t wantedSize = std::strlen(wanted);
  while (const dirent* e = ::readdir(dir.get())) {
    if (e->d_name[0] == '.') continue;
    char target[64];
    const ssize_t n = ::readlinkat(::dirfd(dir.get()), e->d_name, target, sizeof target);
    if (n == static_cast<ssize_t>(wantedSize) && std::memcmp(target, wanted, wantedSize) == 0)
      return true;
  }
  return false;
}

}  // namespace

std::optional<SocketId> FindTcpSocket(TcpEndpoint own, TcpEndpoint peer) {
  for (const ListedSocket& s : ListTcpSockets()) {
    if (s.state == kListenState || s.inode == 0) continue;
    if (s.localPort == own.port && s.remotePort == peer.port && Is(s.localAddress, own.address) &&
        Is(s.remoteAddress, peer.address))
      return s.inode;
  }
  return std::nullopt;
}

std::vector<SocketId> FindLoopbackListeners(int port) {
  std::vector<SocketId> found;
  for (const ListedSocket& s : ListTcpSockets()) {
    if (s.state != kListenState || s.localPort != port || s.localAddress.foreign) continue;
    if (s.localAddress.any || s.localAddress.v4 == INADDR_LOOPBACK) found.push_back(s.inode);
  }
  return found;
}

bool ProcessTreeHoldsSocket(ProcessId root, SocketId id) {
  if (root <= 0 || id == 0) return false;
  if (ProcessHoldsSocket(root, id)) return true;
  for (ProcessId pid : KillOrder(TakeProcessSnapshot(), root))
    if (ProcessHoldsSocket(pid, id)) return true;
  return false;
}

bool AncestorHoldsSocket(SocketId id) {
  if (id == 0) return false;
  // A bounded walk: ids are reused, and a loop must not hang the caller.
  ProcessId pid = ::getppid();
  for (int hops = 0; pid > 0 && hops < 64; ++hops) {
    if (ProcessHoldsSocket(pid, id)) return true;
    pid = ParentProcessOf(pid);
  }
  return false;
}

}  // namespace kestrun
