// Requests that dock, list and undock tray clients. Each runs on a request
// thread with the registry of the server context. The messages are those of
// protocol/messages/notify.h and (the listing) protocol/messages/jobs_admin.h.
#pragma once

#include "core/context.h"

namespace kestrun {

// CLIENT_KEEPALIVE: docks or refreshes the client at the connection's peer
// address.
void ClientKeepalive(RequestContext& rc);

// DEREGISTER_CLIENT: logs the request and removes the client.
void DeregisterClient(RequestContext& rc);

// DUMP_CLIENT_NODE_NAMES: with selector 1 the reply lists every entry as it
// stands (host, user, address, port). Any other selector gets the empty
// list. The registry's caps keep the list within the message limits; should
// it not fit all the same, the entries that fit are sent and the rest is
// logged as left out.
void DumpClientNodeNames(RequestContext& rc);

}  // namespace kestrun
