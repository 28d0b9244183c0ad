// What every request handler is given: the server's shared components, the
// request being read, the reply being built, and the connection; and the
// handler type itself. The modules of requests (jobs, notify, dialogs, ...)
// build on this; the server fills the table of handlers.
//
// The components are owned by the server process (see main.cpp) and outlive
// every request thread; handlers reach them only through this context.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/job_definition.h"
#include "launch/execute.h"
#include "protocol/receive_budget.h"
#include "protocol/socket.h"
#include "protocol/xdrwrap.h"

namespace kestrun {

class ServerConfig;
class RunningJobTable;
class DockedRegistry;
class RefusalLog;
class PreloadTable;
namespace history {
class RunHistory;
}

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

struct ServerContext {
  ServerConfig* config = nullptr;
  RunningJobTable* runningJobs = nullptr;
  DockedRegistry* docked = nullptr;
  // Paces the log lines of refused relay requests (notify/refusal_log.h);
  // null: every refusal is logged.
  RefusalLog* relayRefusals = nullptr;
  // The run history (history/run_history.h); null: runs are not recorded.
  history::RunHistory* history = nullptr;
  // Seams of job runs (preloaded programs); empty until that module fills
  // them in.
  RunHooks runHooks;
  // The preloaded-script table (jobs/preload.h); null until installed.
  std::shared_ptr<PreloadTable> preloads;
  PreloadHooks preloadHooks;
  // Tells the job's run group that the job started (true) or stopped
  // (false); empty: nobody is told.
  std::function<void(const JobDefinition& job, bool started)> notifyJobState;
  // Ends the process; tests replace it to observe a shutdown.
  std::function<void(int)> exitProcess;
  // Bounds of every request message: the buffer memory of all requests being
  // received (null: none) and the time from its first byte to its last.
  ReceiveBudget* receiveBudget = nullptr;
  std::chrono::milliseconds requestWhole = kRequestWhole;
};

struct RequestContext {
  ServerContext& server;
  XDRWRAP& request;  // positioned after the RequestType
  XDRWRAP& reply;    // started with BeginEncode
  SocketHandle socket;
  uint32_t peerAddress;  // IPv4, host order
};

// A request handler: reads its fields from `request` and appends its reply.
using RequestHandler = void (*)(RequestContext&);

}  // namespace kestrun
