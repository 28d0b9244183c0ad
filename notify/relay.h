// The relay side of notifications: a server that cannot reach its clients'
// UDP ports forwards the resolved addresses to the server named by its
// `relayserver` and `relayport`, which sends the datagrams.
//
// Request layouts after the RequestType:
//   RELAY_MESSAGE_BALLOON:    string sender host, string title, string text,
//                             long icon, char immediate, entries, long 0
//   RELAY_MESSAGE_JOB_NOTIFY: string sender host, char started, entries, long 0
// An entry is three longs: address high 16 bits, address low 16 bits, UDP
// port. The list ends at the first high half of 0, so an address whose first
// two octets are 0 cannot be relayed and a target without an address must not
// be written at all.
#pragma once

#include <cstdint>
#include <vector>

#include "core/context.h"
#include "notify/docked_registry.h"
#include "notify/notifications.h"
#include "protocol/xdrwrap.h"

namespace kestrun {

inline constexpr int32_t kRelayMessageBalloon = 23;
inline constexpr int32_t kRelayMessageJobNotify = 24;

// The addresses of the targets that can be relayed, in target order. A target
// without a live registry entry is logged as not found and left out (a zero
// entry would end the relay's list and lose every later target); so is an
// address whose high half is 0.
std::vector<DockedAddress> RelayAddresses(const ServerConfig& config, DockedRegistry& docked,
                                          const TargetList& targets);

// Appends the entries and the closing long 0.
void AddRelayEntries(XDRWRAP& request, const std::vector<DockedAddress>& addresses);

// Connects to the configured relay server (at most kRelayConnectLimit) and
// sends `request` without waiting for a reply. On failure logs "Could not
// establish connection to Relay Server "%s" (Port %d)" and returns false.
bool SendToRelay(const ServerConfig& config, XDRWRAP& request);

// Request handlers of the relay server. They send to the listed addresses
// without consulting their own registry; the reply has no fields.
void RelayMessageBalloon(RequestContext& rc);
void RelayMessageJobNotify(RequestContext& rc);

}  // namespace kestrun
