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
// GET_DIALOG_DATA (type 2) request, after the type:
//   string job (any case), string user, string node, long client process id,
//   long no-dialog flag, long N, N strings (parameters),
//   long passed-values flag; when it is not 0: the passed-field block
//   (long N, N strings) and the passed list-box block (long S, long V, V
//   pairs of strings name/value).
//   The request is read only up to the no-dialog flag and N when the
//   no-dialog refusal applies.
// Reply:
//   success              enum 1, stream block, string the Tcl/Tk script
//   job unknown/denied   enum 0, enum 0
//   refused              enum 0, enum 10, string message:
//                        "Job contains UI and -nd option specified",
//                        "Cannot run JOB - it is already running",
//                        "Cannot run JOB - job OTHER is running",
//                        "Cannot run JOB - job OTHER is not running"
//   prevalidate refused  enum 0, enum 6, stream block, string message (the
//                        program's standard error, or "Prevalidate Script
//                        failed to run: <error text>")
//   no dialog at all     enum 0, enum 1, stream block
//   dialog file missing  enum 0, enum 2, stream block
//   no script            enum 0, enum 3, stream block
// Stream block: enum stdin mode, enum stderr mode, enum stdout mode
//   (0 discard, 1 display, 2 popup, 3 report, 4 filechooser, 5 file), then
//   string stdin file, string stderr file, string stdout file: the path given
//   with filechooser:/file:, variables expanded against the job's
//   environment; "" when there is none.
//
// CANCEL_DIALOG (type 27) request, after the type: string job, string user,
// string node, long client process id. Logs "<user>@<node> cancels dialog for
// job <job>" and ends the preloaded programs of that node and process id.
// The reply has no fields.
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
