// `kesclient dialog`: shows a job's dialog and runs the job with what the
// user entered.
//
// The client asks for the dialog (GET_DIALOG_DATA), runs the script it gets
// in a safe Tcl interpreter (no files, programs, sockets or environment;
// the server is trusted with the dialog's windows only) with the client
// procedures the script calls
// (cbc, ebc and bbc recompute fields and the list box, apply refills the
// list box, autorefresh refreshes it on its timer, dblclick presses OK,
// cascade opens another job's dialog with this one's values passed along),
// and waits for OK or Cancel. OK asks the validation script; a refusal is
// shown in the dialog, which stays open. Accepted input runs the job with
// the field and list-box blocks, its streams handled as the job's stream
// block says. Cancel sends CANCEL_DIALOG.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "client/client_config.h"
#include "tools/kesclient/run_job.h"

namespace kestrun::client {

// Runs the job as `kesclient run` does, with these descriptors; returns
// the exit status kesclient ends with.
using JobRunner = std::function<int(RunRequest&, int inputFd, int outFd, int errFd)>;

struct DialogOptions {
  std::string eval;       // Tcl code run once the dialog is built
  bool noDialog = false;  // -nd: run the job without its dialog
  // -y: the files the server names for the job's streams are opened
  // without asking (dialog_streams.h)
  bool assumeYes = false;
  // --trust-server: run the dialog script in a full interpreter, where it
  // can do anything the user can (for `usetclfile` scripts that need it).
  bool trustServer = false;
};

// `request` names the job, user, node, client process id and arguments.
// Returns the job's exit status, or kExitClientFailure (exit_status.h) when
// no job ran: no server, a refusal, no display, the dialog cancelled or
// failed; standard error then says which.
int DialogCommand(const ServerAddress& server, const RunRequest& request,
                  const DialogOptions& options, const JobRunner& run);

}  // namespace kestrun::client
