// Requests that dock, list and undock tray clients. Each runs on a request
// thread with the registry of the server context.
#pragma once

#include "core/context.h"

namespace kestrun {

// CLIENT_KEEPALIVE: user name, host name, UDP port. Docks or refreshes the
// client at the connection's peer address. Reply: enum 1.
void ClientKeepalive(RequestContext& rc);

// DEREGISTER_CLIENT: host name, user name. Logs the request and removes the
// client. Reply: char 1.
void DeregisterClient(RequestContext& rc);

// DUMP_CLIENT_NODE_NAMES: long selector. With selector 1 the reply lists every
// entry as it stands (host, user, address, port), then one empty string. Any
// other selector gets the empty list: just the empty string. The registry's
// caps keep the list within the message limits; should it not fit all the
// same, the entries that fit are sent and the rest is logged as left out.
void DumpClientNodeNames(RequestContext& rc);

}  // namespace kestrun
