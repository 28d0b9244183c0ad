// Linux: /proc/net/tcp lists every IPv4 TCP socket with its two ends and its
// inode; /proc/PID/fd shows the sockets a process holds as "socket:[INODE]";
// /proc/PID/stat gives each process's parent.
#include "tools/kespreload/callback_peer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

namespace kespreload_internal {

namespace {

std::string ReadWholeFile(const char* path) {
  std::string data;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return data;
  char buf[8192];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) data.append(buf, static_cast<size_t>(n));
  close(fd);
  return data;
}

// "0100007F:1F90": the address word as the kernel prints it (the in-memory
// network-order value read as a native integer), then the port.
std::string EndpointText(const sockaddr_in& a) {
  char text[32];
  std::snprintf(text, sizeof text, "%08X:%04X", static_cast<unsigned>(a.sin_addr.s_addr),
                static_cast<unsigned>(ntohs(a.sin_port)));
  return text;
}

// The inode of the socket whose own end is `own` and whose other end is
// `peer`; 0 when there is none.
unsigned long long FindSocket(const sockaddr_in& own, const sockaddr_in& peer) {
  const std::string ownText = EndpointText(own), peerText = EndpointText(peer);
  std::istringstream lines(ReadWholeFile("/proc/net/tcp"));
  std::string line;
  std::getline(lines, line);  // heading
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode))
      continue;
    if (state != "0A" && local == ownText && remote == peerText)
      return std::strtoull(inode.c_str(), nullptr, 10);
  }
  return 0;
}

bool Holds(int pid, unsigned long long inode) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/fd", pid);
  DIR* dir = opendir(path);
  if (dir == nullptr) return false;
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "socket:[%llu]", inode);
  const size_t wantedSize = std::strlen(wanted);
  bool found = false;
  while (const dirent* e = readdir(dir)) {
    char target[64];
    const ssize_t n = readlinkat(dirfd(dir), e->d_name, target, sizeof target);
    if (n == static_cast<ssize_t>(wantedSize) && std::memcmp(target, wanted, wantedSize) == 0) {
      found = true;
      break;
    }
  }
  closedir(dir);
  return found;
}

// The parent of `pid` from /proc/PID/stat (counted from the last ")", as the
// command name may hold blanks and parentheses); 0 when unknown.
int ParentOf(int pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  const std::string stat = ReadWholeFile(path);
  const size_t close = stat.rfind(')');
  char state = 0;
  int parent = 0;
  if (close == std::string::npos ||
      std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) != 2)
    return 0;
  return parent;
}

}  // namespace

bool ComesFromAncestor(int fd) {
  sockaddr_in own{}, peer{};
  socklen_t ownSize = sizeof own, peerSize = sizeof peer;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownSize) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 ||
      own.sin_family != AF_INET || peer.sin_family != AF_INET)
    return false;
  // The connecting side's socket: its own end is our peer.
  const unsigned long long inode = FindSocket(peer, own);
  if (inode == 0) return false;
  // A bounded walk: ids are reused, and a loop must not hang the program.
  int pid = static_cast<int>(getppid());
  for (int hops = 0; pid > 0 && hops < 64; ++hops) {
    if (Holds(pid, inode)) return true;
    pid = ParentOf(pid);
  }
  return false;
}

}  // namespace kespreload_internal
