#include "web/native_call.h"

#include <algorithm>

namespace kestrun::web {

XDRWRAP AsReceived(XDRWRAP& message) {
  XDRWRAP received;
  const auto& buffers = message.Buffers();
  received.BeginDecode(static_cast<int32_t>(buffers.size()));
  for (const auto& buffer : buffers) {
    XdrBuffer& copy = received.AppendReceivedBuffer(buffer->Size, buffer->NumItems);
    std::copy_n(buffer->data.begin(), buffer->Size, copy.data.begin());
  }
  received.FinishReceive();
  return received;
}

XDRWRAP CallHandler(ServerContext& server, const HandlerLookup& lookup, int32_t type,
                    XDRWRAP& request, const NativeCaller& caller) {
  XDRWRAP reply;
  reply.BeginEncode();
  if (const RequestHandler handler = lookup(type)) {
    RequestContext rc{server, request, reply, caller.socket, caller.peerAddress};
    rc.origin = caller.origin;
    rc.runStarted = caller.runStarted;
    handler(rc);
  }
  return AsReceived(reply);
}

}  // namespace kestrun::web
