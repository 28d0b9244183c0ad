#include "tools/kespreload/callback_peer.h"

#include <optional>

#include "platform/socket_owner.h"
#include "protocol/socket.h"

namespace kespreload_internal {

bool ComesFromAncestor(int fd) {
  using namespace kestrun;
  TcpEndpoint own, peer;
  if (!net::LocalEndpoint(fd, &own.address, &own.port) ||
      !net::PeerEndpoint(fd, &peer.address, &peer.port))
    return false;
  // The connecting side's socket: its own end is our peer.
  const std::optional<SocketId> id = FindTcpSocket(peer, own);
  return id && AncestorHoldsSocket(*id);
}

}  // namespace kespreload_internal
