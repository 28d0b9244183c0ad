// SHOW_HELP_TEXT: the help text and chosen attributes of every job a user may
// see.
#pragma once

#include "core/context.h"

namespace kestrun {

// Replies (protocol/messages/jobs_admin.h) with each job of the live list, in
// file order, that has no `group` or whose group holds the user: its name,
// its help text and the value of each attribute asked for (empty when the
// job has none). Any request thread may call.
void ShowHelpText(RequestContext& rc);

}  // namespace kestrun
