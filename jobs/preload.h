// Preloaded programs: a job's `preload` program started while the user still
// fills in the job's dialog, then handed over to the run or to the capture
// steps of the same client (RunHooks of launch/execute.h).
//
// The life of one program:
//   START_BACKGROUND_SCRIPT  RegisterPreload: an entry for (node, client pid, path)
//   GET_DIALOG_DATA          LaunchPreload: the program starts held before exec,
//                            its pid is stored in the entry, then it runs
//   the program              REGISTER_WAITING_FOR_CALLBACK with its callback port
//   RUN_SERVER_SCRIPT /      AdoptPreload: connect to the port, send the run's
//   a capture step           KES variables, point the pumps at the new run
//   program ends             the run thread frees the entry
// CANCEL_DIALOG ends the client's programs (KillPreload); a refused dialog
// frees its entry (ReleasePreload).
//
// Locking: the table is guarded by the running-job table's lock
// (RunningJobTable::TableLock()); no wait and no log line happen under it.
// Ownership: entries are shared (std::shared_ptr) between the table, the run
// thread and an adopting request, so none of them outlives what it uses.
// Threads: one detached run thread per launched program; it ends when the
// program ends. Every function here may be called from any request thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "config/job_definition.h"
#include "core/context.h"

namespace kestrun {

class PreloadTable;

// Starts `job.preload` for the client (argument vector: element 0 the
// program; environment: the run's vector) on a run thread of its own.
// Returns once the program has been started and attached to its entry, or
// after 5000 ms. A program without an entry (no START_BACKGROUND_SCRIPT came
// first) is ended at once.
void LaunchPreload(ServerContext& server, const JobDefinition& job, const std::string& clientNode,
                   uint32_t clientProcessId, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment);

// Ends (process tree) every started preloaded program of this client; their
// run threads then free the entries. Entries whose program has not started
// yet are freed at once, so the program is ended before it runs. CANCEL_DIALOG and runs of jobs
// without `program` use it.
void KillPreload(ServerContext& server, const std::string& clientNode, uint32_t clientProcessId);

// Frees the client's entry for `programPath` (a refused dialog). A program
// already started for it is ended too, so nothing is left running unowned.
void ReleasePreload(ServerContext& server, const std::string& clientNode, uint32_t clientProcessId,
                    const std::string& programPath);

// Request handlers: START_BACKGROUND_SCRIPT, REGISTER_WAITING_FOR_CALLBACK,
// UNREGISTER_WAITING_FOR_CALLBACK.
void StartBackgroundScript(RequestContext& rc);
void RegisterWaitingForCallback(RequestContext& rc);
void UnregisterWaitingForCallback(RequestContext& rc);

// Fills server.runHooks with the adoption seams of this module and
// server.preloadHooks with LaunchPreload, ReleasePreload and KillPreload. The table
// lives in the ServerContext (server.preloads), created here when missing.
// A run waits at most `registrationLimit` for its program to register; then
// the program is ended and the run starts one of its own.
void InstallPreloadHooks(ServerContext& server,
                         std::chrono::milliseconds registrationLimit = std::chrono::seconds(30));

}  // namespace kestrun
