// Test support: runs one request through the real dispatcher of this process
// over a socket pair, as a request thread would, and returns the reply.
#pragma once

#include <cstdint>
#include <optional>

#include "core/context.h"
#include "protocol/xdrwrap.h"

namespace kestrun::test {

// Sends `request` (framed like a request after its magic) to
// ProcessClientRequest with `peerAddress`, and receives the reply. nullopt
// when the request was abandoned without a reply.
std::optional<XDRWRAP> ExchangeWithDispatcher(ServerContext& server, XDRWRAP& request,
                                              uint32_t peerAddress = 0x7F000001);

}  // namespace kestrun::test
