// GET_DIALOG_DATA and CANCEL_DIALOG: handing a client the Tcl/Tk script of a
// job's dialog, and hearing that the user closed it without running the job.
//
// GetDialogData finds the job for the user, refuses a no-dialog client on a
// job with user interface, checks the job's allow/deny rules, runs its
// prevalidate program, starts its preload program (ServerContext's
// PreloadHooks), reads the dialog definition (the `dialog` file or the output
// of the `dialogscript`), cuts it into lines, runs the populate scripts and
// generates the script (or sends the `usetclfile` file unchanged). Every
// script runs to completion on the request thread. Nothing is kept after the
// reply.
//
// The requests and every reply form are in protocol/messages/dialog.h. The
// refusals' texts: "Job contains UI and -nd option specified" (the no-dialog
// flag on a job with user interface), the running-rule refusal ("Cannot run
// JOB - it is already running", "Cannot run JOB - job OTHER is running",
// "Cannot run JOB - job OTHER is not running"); a prevalidate program's
// refusal is its standard error, or "Prevalidate Script failed to run:
// <error text>". The stream block's files are the paths given with
// filechooser:/file:, variables expanded against the job's environment.
//
// CANCEL_DIALOG logs "<user>@<node> cancels dialog for job <job>" and ends
// the preloaded programs of that node and process id.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/context.h"

namespace kestrun {

void GetDialogData(RequestContext& rc);
void CancelDialog(RequestContext& rc);

// A dialog definition cut into lines: a line ends at a line feed or at a run
// of carriage returns (a run directly followed by a line feed ends one line).
// A text without a final line end is treated as having one.
std::vector<std::string> DefinitionLines(std::string_view text);

}  // namespace kestrun
