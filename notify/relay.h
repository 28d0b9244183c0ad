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
//
// A relay server sends datagrams wherever a relay request says, so it accepts
// relay requests only from loopback and from the addresses listed in its
// `relayclients` setting, and only up to kMaxRelayTargets targets a request;
// a sending server splits longer lists over several requests.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/context.h"
#include "notify/docked_registry.h"
#include "notify/notifications.h"
#include "protocol/xdrwrap.h"

namespace kestrun {

inline constexpr int32_t kRelayMessageBalloon = 23;
inline constexpr int32_t kRelayMessageJobNotify = 24;
// Most targets one relay request may list.
inline constexpr size_t kMaxRelayTargets = 1000;

// True when a relay request from `peer` (IPv4, host order) is accepted: it
// comes from loopback (127.0.0.0/8) or from one of `relayClients`.
bool MayRelayFrom(uint32_t peer, std::span<const uint32_t> relayClients);

// The addresses of the targets that can be relayed, in target order. A target
// without a live registry entry is logged as not found and left out (a zero
// entry would end the relay's list and lose every later target); so is an
// address whose high half is 0.
std::vector<DockedAddress> RelayAddresses(const ServerConfig& config, DockedRegistry& docked,
                                          const TargetList& targets);

// Appends the entries and the closing long 0.
void AddRelayEntries(XDRWRAP& request, std::span<const DockedAddress> addresses);

// Connects to the configured relay server (at most kRelayConnectLimit) and
// sends `request` without waiting for a reply. On failure logs "Could not
// establish connection to Relay Server "%s" (Port %d)" and returns false.
bool SendToRelay(const ServerConfig& config, XDRWRAP& request);

// Sends `addresses` to the relay server in requests of at most
// kMaxRelayTargets entries (one request when there are none), each opened by
// `opening` (the RequestType and the fields before the entries). Stops at
// the first request that cannot be sent. Returns how many addresses went.
int SendToRelayInBatches(const ServerConfig& config, const std::vector<DockedAddress>& addresses,
                         const std::function<void(XDRWRAP& request)>& opening);

// Request handlers of the relay server. A request from an address that
// MayRelayFrom refuses is not read further and is logged as refused ("Relay
// request from IP Address %s refused - address not listed in
// "relayclients"", at most once a minute per address); one listing more
// than kMaxRelayTargets targets is logged and nothing is sent. Otherwise they
// send to the listed addresses without consulting their own registry, and
// log the failed sends in one line. The reply has no fields.
void RelayMessageBalloon(RequestContext& rc);
void RelayMessageJobNotify(RequestContext& rc);

}  // namespace kestrun
