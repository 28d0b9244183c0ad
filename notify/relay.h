// The relay side of notifications: a server that cannot reach its clients'
// UDP ports forwards the resolved addresses to the server named by its
// `relayserver` and `relayport`, which sends the datagrams.
//
// The requests are those of protocol/messages/notify.h. Their target list
// ends at the first high half of 0, so an address whose first two octets are
// 0 cannot be relayed and a target without an address must not be written at
// all.
//
// A relay server sends datagrams wherever a relay request says, so it accepts
// relay requests only from loopback and from the addresses listed in its
// `relayclients` setting, and only up to kMaxRelayTargets targets a request;
// a sending server splits longer lists over several requests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "core/context.h"
#include "notify/docked_registry.h"
#include "notify/notifications.h"
#include "protocol/messages/notify.h"
#include "protocol/xdrwrap.h"

namespace kestrun {

// Most targets one relay request may list.
using messages::kMaxRelayTargets;

// True when a relay request from `peer` (IPv4, host order) is accepted: it
// comes from loopback (127.0.0.0/8) or from one of `relayClients`.
bool MayRelayFrom(uint32_t peer, std::span<const uint32_t> relayClients);

// The addresses of the targets that can be relayed, in target order. A target
// without a live registry entry is logged as not found and left out (a zero
// entry would end the relay's list and lose every later target); so is an
// address whose high half is 0.
std::vector<messages::RelayTarget> RelayAddresses(const ServerConfig& config,
                                                  DockedRegistry& docked,
                                                  const TargetList& targets);

// Connects to the configured relay server (at most kRelayConnectLimit) and
// sends `request` without waiting for a reply. On failure logs "Could not
// establish connection to Relay Server "%s" (Port %d)" and returns false.
bool SendToRelay(const ServerConfig& config, XDRWRAP& request);

// Sends `request` (RelayMessageBalloonRequest or RelayMessageJobNotifyRequest)
// to the relay server once per batch of at most kMaxRelayTargets of
// `targets` (once when there are none), its targets set to the batch. Stops
// at the first request that cannot be sent. Returns how many targets went.
template <class RelayRequest>
int SendToRelayInBatches(const ServerConfig& config, std::span<const messages::RelayTarget> targets,
                         RelayRequest request) {
  size_t sent = 0;
  do {
    const std::span<const messages::RelayTarget> batch =
        targets.subspan(sent, std::min(kMaxRelayTargets, targets.size() - sent));
    request.targets.assign(batch.begin(), batch.end());
    XDRWRAP message;
    messages::EncodeRequest(message, request);
    if (!SendToRelay(config, message)) break;
    sent += batch.size();
  } while (sent < targets.size());
  return static_cast<int>(sent);
}

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
