// The program side of the callback protocol. Uses plain POSIX sockets for the
// callback port and the protocol library for the one request to the server.
#include "tools/kespreload/kespreload.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "protocol/messages/preload.h"
#include "protocol/transport.h"
#include "tools/kespreload/callback_peer.h"

struct kespreload {
  int port = 0;
  int listener = -1;
  int connection = -1;
};

namespace {

bool ReadExact(int fd, void* area, size_t count) {
  char* p = static_cast<char*>(area);
  while (count > 0) {
    const ssize_t n = read(fd, p, count);
    if (n <= 0) return false;
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const void* data, size_t count) {
  const char* p = static_cast<const char*>(data);
  while (count > 0) {
    const ssize_t n = send(fd, p, count, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

extern "C" int kespreload_register(const char* host, int serverPort, const char* client,
                                   int callbackPort) {
  using namespace kestrun;
  std::optional<ServerConnection> c = ConnectToServer(serverPort, host ? host : "localhost");
  if (!c) return -1;
  try {
    XDRWRAP request;
    messages::EncodeRequest(request, messages::RegisterWaitingForCallbackRequest{
                                         client ? client : "", static_cast<int32_t>(getpid()),
                                         static_cast<int32_t>(getppid()), callbackPort, 0});
    SendRequest(request, *c);
    XDRWRAP reply;
    ReceiveMessage(reply, c->socket.get());
    const messages::CallbackReply answer = messages::CallbackReply::Decode(reply);
    return answer.result == messages::CallbackResult::Accepted ? 0 : -1;
  } catch (const DecodeFailure&) {
    return -1;
  }
}

extern "C" kespreload* kespreload_open(const char* host, int serverPort, const char* client) {
  auto* kp = new (std::nothrow) kespreload;
  if (kp == nullptr) return nullptr;
  kp->listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (kp->listener < 0 || bind(kp->listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      listen(kp->listener, 4) != 0 ||
      getsockname(kp->listener, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      kespreload_register(host, serverPort, client, kp->port = ntohs(address.sin_port)) != 0) {
    kespreload_close(kp);
    return nullptr;
  }
  return kp;
}

extern "C" int kespreload_port(const kespreload* kp) {
  return kp ? kp->port : 0;
}

namespace {

// Waits for the server's callback connection until `deadline` (none: no
// limit). Connections from anyone but an ancestor of this program (the
// server that started it) are closed unread: any local user can connect to
// the port, and what comes over it becomes this program's environment.
int AcceptFromServer(int listener, std::optional<std::chrono::steady_clock::time_point> deadline) {
  for (;;) {
    int wait = -1;
    if (deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          *deadline - std::chrono::steady_clock::now());
      wait = static_cast<int>(std::max<long long>(0, left.count()));
    }
    pollfd ready{listener, POLLIN, 0};
    const int rc = poll(&ready, 1, wait);
    if (rc < 0 && errno == EINTR) continue;
    if (rc != 1) return -1;
    const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return -1;
    }
    if (kespreload_internal::ComesFromAncestor(connection)) return connection;
    close(connection);
  }
}

}  // namespace

extern "C" int kespreload_next_step(kespreload* kp, int timeoutMs) {
  if (kp == nullptr) return -1;
  if (kp->connection >= 0) close(kp->connection);
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (timeoutMs >= 0)
    deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  kp->connection = AcceptFromServer(kp->listener, deadline);
  if (kp->connection < 0) return -1;
  int count = 0;
  for (;;) {
    uint32_t length = 0;  // the server's native order
    if (!ReadExact(kp->connection, &length, sizeof length)) return -1;
    if (length == 0) return count;
    if (length > (1u << 20)) return -1;
    std::string item(length, '\0');
    if (!ReadExact(kp->connection, item.data(), length)) return -1;
    // Only the run's KES variables: a name such as LD_PRELOAD or PATH would
    // change what this program and everything it starts runs.
    const size_t eq = item.find('=');
    if (eq == std::string::npos || item.compare(0, 3, "KES") != 0) continue;
    setenv(item.substr(0, eq).c_str(), item.c_str() + eq + 1, 1);
    ++count;
  }
}

extern "C" int kespreload_end_step(kespreload* kp, int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  const char end = 0x04;
  (void)!write(1, &end, 1);
  (void)!write(2, &end, 1);
  if (kp == nullptr || kp->connection < 0) return -1;
  const unsigned char record[5] = {0x23, 0x7A, 0x6F, 0x1F, static_cast<unsigned char>(status)};
  const bool sent = WriteAll(kp->connection, record, sizeof record);
  close(kp->connection);
  kp->connection = -1;
  return sent ? 0 : -1;
}

extern "C" void kespreload_close(kespreload* kp) {
  if (kp == nullptr) return;
  if (kp->connection >= 0) close(kp->connection);
  if (kp->listener >= 0) close(kp->listener);
  delete kp;
}
