// The two group requests: the plug-in's answers passed to a client as they
// come, without the server's cache. Nothing is logged. The messages are
// those of protocol/messages/groups.h; the names keep the plug-in's order.
//
// The count is 0 when no group processor is ready or it knows no such name.
// Called on request threads through the dispatcher.
#pragma once

#include "core/context.h"

namespace kestrun {

void GetGroupsForUserRequest(RequestContext& rc);
void GetUsersInGroupRequest(RequestContext& rc);

}  // namespace kestrun
