// The request dispatcher: reads one request from a connection, calls the
// handler of its RequestType and always sends the reply (unless the request
// cannot be decoded, which abandons it without one).
#pragma once

#include <cstdint>
#include <string_view>

#include "core/context.h"
#include "protocol/request_framer.h"
#include "protocol/request_types.h"

namespace kestrun {

// Trace name of a request type; "Unknown" for types without a name.
std::string_view RequestTypeName(int32_t type);
// Handler of a request type, or null for a type without one.
RequestHandler HandlerFor(int32_t type);

// Handles one request on `socket`: prints "ProcessClientRequest", reads the
// request, dispatches and replies. Returns when the reply has been sent or the
// request was abandoned (a decode failure is caught here). A request whose
// handling runs out of memory (std::bad_alloc) is abandoned too and logged
// as "Request <type> (<name>) failed: out of memory"; the server goes on. A
// SHUTDOWN_KESTRUN request ends the process through server.exitProcess.
void ProcessClientRequest(ServerContext& server, SocketHandle socket, uint32_t peerAddress);
// The same for a request whose bytes the listener has already received
// whole; its budget is given back once it has been decoded.
void ProcessClientRequest(ServerContext& server, SocketHandle socket, uint32_t peerAddress,
                          ReceivedMessage received);

}  // namespace kestrun
