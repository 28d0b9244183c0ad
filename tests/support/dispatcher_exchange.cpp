#include "tests/support/dispatcher_exchange.h"

#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "protocol/transport.h"
#include "server/dispatcher.h"

namespace kestrun::test {

std::optional<XDRWRAP> ExchangeWithDispatcher(ServerContext& server, XDRWRAP& request,
                                              uint32_t peerAddress) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return std::nullopt;
  Socket client(fds[0]);
  Socket serverSide(fds[1]);
  std::thread requestThread([&] {
    ProcessClientRequest(server, serverSide.get(), peerAddress);
    serverSide.ShutdownSend();
  });
  SendReply(request, client.get());
  XDRWRAP reply;
  bool received = true;
  try {
    ReceiveMessage(reply, client.get(), std::chrono::seconds(10));
  } catch (const DecodeFailure&) {
    received = false;
  }
  requestThread.join();
  if (!received) return std::nullopt;
  return reply;
}

}  // namespace kestrun::test
