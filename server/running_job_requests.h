// Requests on the running-job table: listing running jobs, killing one by
// process id or by the stop id its client received, and shutting the server
// down (which kills every running job first). Each runs on a request thread.
#pragma once

#include "core/context.h"

namespace kestrun {

// GET_ACTIVE_JOBS: no fields. Reply per running job, in table order: string
// job name; string lock value ("" without one); string client user
// ("SCHEDULER" for scheduled runs); long process id; long start time (low 32
// bits of the seconds since 1970). Then one empty string. Jobs that would
// take the reply past the message limits (long lock values) are left out and
// logged.
void GetActiveJobs(RequestContext& rc);

// KILL_JOB: long process id. Kills the job's process tree. Reply: enum 1 and
// string job name, or enum 0 when no job with that process id could be
// killed.
void KillJob(RequestContext& rc);

// STOP_REQUEST: long stop id. Kills the process tree of the job run by that
// request thread. Reply: no fields.
void StopRequest(RequestContext& rc);

// SHUTDOWN_KESTRUN: no fields. Kills every running job (and gives them two
// seconds to end when there were any). Reply: enum 1; the dispatcher ends the
// process once the reply is sent.
void ShutdownKestrun(RequestContext& rc);

// The shutdown shared by SHUTDOWN_KESTRUN and the interrupt: kills every
// running job, logging each, and waits two seconds when there were any.
// Returns the number of jobs killed.
int KillAllJobsForShutdown(ServerContext& server);

}  // namespace kestrun
