// Runs a request of the native protocol inside the process: the typed
// request is encoded as a client would send it, the server's own handler
// for its type reads it and writes its reply, and the reply comes back
// ready to decode. The web console serves through these calls so that every
// rule (permissions, running rules, logging, history) is the native one.
//
// Blocking for as long as the handler runs: call on a worker thread.
#pragma once

#include <cstdint>
#include <functional>

#include "core/context.h"
#include "protocol/messages/message.h"
#include "protocol/xdrwrap.h"

namespace kestrun::web {

// The server's handler of a request type (null: none).
using HandlerLookup = std::function<RequestHandler(int32_t type)>;

// Who makes the call and over what.
struct NativeCaller {
  uint32_t peerAddress = 0;                 // IPv4, host order
  SocketHandle socket = kInvalidSocket;     // what a run streams on
  const char* origin = nullptr;             // the history's origin of a run
  std::function<void(int64_t)> runStarted;  // see RequestContext
};

// `message` (built in the encode direction) as a receiver reads it.
XDRWRAP AsReceived(XDRWRAP& message);

// Calls the handler of `type` with `request` (its type word already taken)
// and returns the reply, ready to decode. Raises DecodeFailure when the
// handler abandons the request; a type without a handler gives an empty
// reply.
XDRWRAP CallHandler(ServerContext& server, const HandlerLookup& lookup, int32_t type,
                    XDRWRAP& request, const NativeCaller& caller);

template <class Request>
XDRWRAP CallNative(ServerContext& server, const HandlerLookup& lookup, const Request& request,
                   const NativeCaller& caller) {
  XDRWRAP message;
  messages::EncodeRequest(message, request);
  XDRWRAP received = AsReceived(message);
  received.GetEnum();
  return CallHandler(server, lookup, Request::kType, received, caller);
}

}  // namespace kestrun::web
