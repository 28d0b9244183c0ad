// RUN_SERVER_SCRIPT: running a job for a client.
//
// The handler checks that the job exists, that the user may run it and that
// its rules on other running jobs hold, builds the run's arguments and
// environment, starts the program and streams its input and output over the
// request connection while it runs, then answers with the exit code.
//
// The request, the bytes of the run on the connection and the reply forms
// are in protocol/messages/run.h. A client that closes the connection during
// the run gets nothing more, and the job is not killed: it runs to its end.
//
// Runs on the request thread of the connection, which stays busy for the
// whole run; holds no lock of its own.
#pragma once

#include "core/context.h"

namespace kestrun {

void RunServerScript(RequestContext& rc);

}  // namespace kestrun
