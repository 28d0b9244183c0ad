// The steps that open a job's dialog, shared by GET_DIALOG_DATA (which writes
// the Tk script) and OpenDialogLayout (which writes the layout): find the job
// for the user, refuse a no-dialog caller on a job with user interface, check
// the allow/deny rules, run the prevalidate program, start the preload
// program, read the dialog definition and, unless the job sends its own Tcl
// file, run the populate scripts. Each step logs as GET_DIALOG_DATA does, and
// a refusal after the job was found releases the caller's preload entry.
// Scripts run to the end on the calling thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/environment.h"
#include "config/job_definition.h"
#include "dialogs/dialog_layout.h"
#include "dialogs/dialog_script.h"

namespace kestrun {

struct OpenedDialog {
  std::string job;  // the asked-for name in upper case
  std::string user;
  std::string node;
  int32_t clientProcessId = 0;
  // The job's copy; none when it was not found (refusal NotFound).
  std::optional<JobDefinition> definition;
  // Element 0 the last script run (a placeholder before any), then the
  // job's `param` values and the caller's parameters.
  std::vector<std::string> arguments;
  EnvironmentBlock environment;
  // Set when the dialog could not be opened; the rest below is then empty.
  std::optional<DialogRefusal> refusal;
  bool tclFile = false;                 // `usetclfile`: no populate script ran
  std::vector<std::string> lines;       // the definition, cut into lines
  std::vector<FieldDefinition> fields;  // in dialog order, with their values
};

// `noDialog`: the caller shows no user interface (the native -nd option).
OpenedDialog OpenDialog(ServerContext& server, const DialogCaller& caller, bool noDialog);

// Ends the preload program that OpenDialog started for the caller, when the
// dialog is not shown after all.
void ReleaseDialogPreload(ServerContext& server, const OpenedDialog& dialog);

// The list-box rows of an opened dialog: the job's list-box script, run with
// the dialog's arguments and a copy of its environment.
ListBoxRowSource DialogListBoxRows(ServerContext& server);

}  // namespace kestrun
