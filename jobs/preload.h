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
// Who may talk for a program: REGISTER_WAITING_FOR_CALLBACK and
// UNREGISTER_WAITING_FOR_CALLBACK name a program by process id, and the
// process ids of preloaded programs are public (GET_ACTIVE_JOBS lists them).
// So a request naming a preloaded program is taken only when its connection
// comes from that program or one of its descendants: the kernel's list of
// TCP sockets gives the socket at the other end of the request's loopback
// connection, and the program's descriptors show whether it holds it
// (platform/socket_owner.h). Before connecting to the registered port the
// server checks the same way that the port's listener is the program's.
// A per-launch secret handed to the program in its environment would have
// needed a new field in the registration or the environment message, so
// every preloaded program would have had to change; the socket check keeps
// both wire formats as they are, and leaves no secret in an environment
// that the program's own children and output may show. libkespreload makes
// the same check from its side: it takes a callback connection only from one
// of its ancestors (the server that started it).
//
// Locking: the table is guarded by the running-job table's lock
// (RunningJobTable::TableLock()); no wait, no log line and no read of the
// process lists happen under it.
// Ownership: entries are shared (std::shared_ptr) between the table, the run
// thread and an adopting request, so none of them outlives what it uses.
// Threads: one detached run thread per launched program; it ends when the
// program ends, and ends a program that no request takes within the
// registration limit (see PreloadLimits). Every function here may be called
// from any request thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "config/job_definition.h"
#include "core/context.h"
#include "jobs/preload_table.h"

namespace kestrun {

class PreloadTable;

// A preload program to start in the background for a client's dialog.
struct PreloadStart {
  const std::string& clientNode;
  uint32_t clientProcessId;
  const std::vector<std::string>& arguments;    // element 0: the preload program
  const std::vector<std::string>& environment;  // the run's NAME=value entries
  const JobDefinition& job;                     // the job whose dialog starts it
};

// Seams of preloaded programs for dialogs; an empty function does nothing.
struct PreloadHooks {
  // Starts the program (copying what it keeps) and returns once it has
  // started or after at most 5 s; the program outlives the request.
  std::function<void(const PreloadStart&)> start;
  // Removes the entry of (node, process id, program path), if any.
  std::function<void(std::string_view node, uint32_t clientProcessId, std::string_view program)>
      release;
  // Ends every preloaded program (with its descendants) of exactly this node
  // and process id, whatever its job.
  std::function<void(std::string_view node, uint32_t clientProcessId)> killAll;
};

// Starts `job.preload` for the client (argument vector: element 0 the
// program; environment: the run's vector) on a run thread of its own.
// Returns once the program has been started and attached to its entry, or
// after 5000 ms. Nothing starts when no START_BACKGROUND_SCRIPT announced the
// program (or its announcement expired), nor when the client's node already
// runs PreloadLimits::programsPerNode preloaded programs (logged; the
// announcement is dropped, and the run will start a program of its own).
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
// lives in the ServerContext (server.preloads), created here when missing
// (with `clock` for the age of announcements; empty: the steady clock).
// `limits` bound the table and the programs; tests shorten the time limits.
void InstallPreloadHooks(ServerContext& server, const PreloadLimits& limits = {},
                         PreloadClock clock = {});

}  // namespace kestrun
