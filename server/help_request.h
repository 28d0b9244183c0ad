// SHOW_HELP_TEXT: the help text and chosen attributes of every job a user may
// see.
#pragma once

#include "core/context.h"

namespace kestrun {

// Request: string user name; long N; N strings, attribute names.
// Reply, per job of the live list in file order that has no `group` or whose
// group holds the user: string name; string help text; for each attribute
// name, char 1 and the string value (empty when the job has none); char 0.
// After the last job one empty string. Any request thread may call.
void ShowHelpText(RequestContext& rc);

}  // namespace kestrun
