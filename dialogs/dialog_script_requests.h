// The scripts a client runs while it shows a job's dialog: RUN_LISTBOX_SCRIPT
// refills the list box, RUN_FIELD_SCRIPT recomputes one field's values and
// RUN_VALIDATION_SCRIPT checks the input before the job runs. Each handler
// reads its request, builds the script's environment (the job's environment,
// the dialog blocks the client sent, then the request's own KES variables),
// runs the script to completion on the request thread with its output
// captured (no time-out: a hanging script keeps the thread), logs, and
// appends its reply. Nothing is streamed. A client-sent list-box variable
// under a name the run already holds or that is unsafe is refused and logged
// ("<user>@<node> - list-box variable NAME refused").
//
// The requests and their reply forms are in protocol/messages/dialog_scripts.h.
// Every script gets the arguments: the job's `param` values, then the
// client's parameters. The replies' texts:
//   RUN_LISTBOX_SCRIPT     "Could not find Program ID" (job unknown or not
//                          allowed), "No ListBox Script", "ListBoxScript
//                          failed to run", or the script's standard error
//                          when it exits with a code other than 0
//   RUN_FIELD_SCRIPT       "Could not find Program ID", "Could not locate
//                          field values" (job without fields), "Invalid Field
//                          Number specified" (current field not 1..fields),
//                          "PopulateFieldScript failed to run: <error text>";
//                          a field without populate script gets values with
//                          no lines and a failure without text
//   RUN_VALIDATION_SCRIPT  accepted when the job is unknown, not allowed or
//                          without `validatewith`, or the script exits 0;
//                          else its standard error, or "Validation Script
//                          failed to execute"
// A reply that would pass the message limits is refused instead with
// "<what> too large to send (<n> bytes)", <what> being "ListBoxScript
// output", "PopulateFieldScript output", "PopulateFieldScript error output"
// or "Validation Script error output".
//
// Output lines: the standard output cut as ScriptOutputLines
// (dialogs/value_scripts.h) says, each line as the script wrote it.
#pragma once

#include "core/context.h"

namespace kestrun {

void RunListBoxScript(RequestContext& rc);
void RunFieldScript(RequestContext& rc);
void RunValidationScript(RequestContext& rc);

}  // namespace kestrun
