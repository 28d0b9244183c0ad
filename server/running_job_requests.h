// Requests on the running-job table: listing running jobs, killing one by
// process id or by the stop id its client received, and shutting the server
// down (which kills every running job first). Each runs on a request thread;
// the messages are those of protocol/messages/jobs_admin.h.
#pragma once

#include "core/context.h"

namespace kestrun {

// GET_ACTIVE_JOBS: lists every running job in table order ("" as the lock
// value without one, "SCHEDULER" as the user of scheduled runs). Jobs that
// would take the reply past the message limits (long lock values) are left
// out and logged.
void GetActiveJobs(RequestContext& rc);

// KILL_JOB: kills the job's process tree. Replies killed with the job name,
// or refused when no job with that process id could be killed.
void KillJob(RequestContext& rc);

// STOP_REQUEST: kills the process tree of the job run by the request thread
// whose id is the stop id.
void StopRequest(RequestContext& rc);

// SHUTDOWN_KESTRUN: kills every running job (and gives them two seconds to
// end when there were any), then replies; the dispatcher ends the process
// once the reply is sent.
void ShutdownKestrun(RequestContext& rc);

// The shutdown shared by SHUTDOWN_KESTRUN and the interrupt: kills every
// running job, logging each, and waits two seconds when there were any.
// Returns the number of jobs killed.
int KillAllJobsForShutdown(ServerContext& server);

}  // namespace kestrun
