// RUN_SERVER_SCRIPT: running a job for a client.
//
// The handler checks that the job exists, that the user may run it and that
// its rules on other running jobs hold, builds the run's arguments and
// environment, starts the program and streams its input and output over the
// request connection while it runs, then answers with the exit code.
//
// Bytes on the connection between the request and the reply (big-endian
// 32-bit words):
//   start header  stdout display option, stderr display option, stop id
//                 (the request thread's id with `allowstop`, else 0),
//                 `systemtray` (0/1), `systemtray hold` (0/1);
//   output frames while the program runs (see launch/pumps.h);
//   end word      0.
// A job that is not started gets 24 zero bytes instead: a zero header and the
// end word. A `systemtray` job waits for 4 bytes from the client after the
// header before it is started.
//
// Reply: enum 1, long 0, long exit code, string title ("Kestrun" without
// one) when the job ran; enum 1, 0, 0, title (maybe empty) for a job without
// a program; enum 0 and a message for a refusal, an unknown job or a failed
// launch; no fields when the connection failed during the run (the job is
// not killed: it runs to its end).
//
// Runs on the request thread of the connection, which stays busy for the
// whole run; holds no lock of its own.
#pragma once

#include "core/context.h"

namespace kestrun {

// Request fields after the type: program id, client user, parameter count
// (above 65535: its low 16 bits, and no terminal wrapper), the parameters,
// the field, list-box, passed-field and passed list-box blocks, client node,
// client process id, standard-input file name.
void RunServerScript(RequestContext& rc);

}  // namespace kestrun
