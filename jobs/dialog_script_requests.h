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
// Field kinds: string, long, char (travels as a long 0..255). Blocks:
//   field block          long N, N strings (KESFIELD1..N)
//   list-box block       long S, long V, long C, C strings (headings),
//                        V pairs of strings (name, value)
//   passed-field block   long N, N strings (KESPASSEDFIELD1..N)
//   passed list-box block long S, long V, V pairs of strings
// Every script gets the arguments: the job's `param` values, then the P
// client parameters.
//
// RUN_LISTBOX_SCRIPT (type 5) request, after the type:
//   string job, string user, long P, P strings, field block, list-box block,
//   passed-field block, passed list-box block, string node, long client pid,
//   string list-box reason, string changed field.
// Reply:
//   job unknown or not allowed   char 0, string "Could not find Program ID"
//   no list-box script           char 0, string "No ListBox Script"
//   script could not run         char 0, string "ListBoxScript failed to run"
//   script exit code not 0       char 0, string its standard error
//   exit code 0                  char 1;
//     long K (onlistboxchangeupdate items whose number is not 0), K strings
//       (the field numbers in decimal);
//     string separator (`listboxsep`, "," by default);
//     char 1 when the job has no `columnnames` list, else char 0;
//     long `contextcolumn`; when above 0: long icon count, icon names;
//     only without a `columnnames` list: long W, W strings (the
//       `columnwidths` entries, "-" for an empty one);
//     for each output line: char 1, string the line; then char 0.
//   reply past the message limits char 0, string
//                                "ListBoxScript output too large to send (<n> bytes)"
//
// RUN_FIELD_SCRIPT (type 4) request, after the type:
//   string job, string user, long P, P strings, field block, list-box block,
//   passed-field block, passed list-box block, string node, long client pid,
//   string changed field, string current field (field number, decimal).
// Reply:
//   job unknown or not allowed   char 0, string "Could not find Program ID"
//   job without fields           char 0, string "Could not locate field values"
//   current field not 1..fields  char 0, string "Invalid Field Number specified"
//   field without populate script char 1, char 0, char 1, long 0
//   script could not run         char 0, string
//                                "PopulateFieldScript failed to run: <error text>"
//   script ran                   char 1; for each output line: char 1,
//                                string the line; char 0; then char 0 for
//                                exit code 0, else char 1, long L (length of
//                                its standard error), and string the
//                                standard error when L > 0.
//   reply past the message limits char 0, string "PopulateFieldScript output
//                                too large to send (<n> bytes)" (or "...error
//                                output too large..." for its standard error)
//
// RUN_VALIDATION_SCRIPT (type 3) request, after the type:
//   string job, string user, string node, long client pid, field block,
//   list-box block, passed-field block, passed list-box block, long P,
//   P strings.
// Reply:
//   job unknown, not allowed or without `validatewith`, or exit code 0:
//                                char 1
//   exit code not 0              char 0, string its standard error
//   script could not run         char 0, string "Validation Script failed to execute"
//   standard error past the message limits: char 0, string
//                                "Validation Script error output too large to send (<n> bytes)"
//
// Output lines: the standard output cut as ScriptOutputLines
// (jobs/value_scripts.h) says, each line as the script wrote it.
#pragma once

#include "core/context.h"

namespace kestrun {

void RunListBoxScript(RequestContext& rc);
void RunFieldScript(RequestContext& rc);
void RunValidationScript(RequestContext& rc);

}  // namespace kestrun
