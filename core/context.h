// What every request handler is given: the server's shared components, the
// request being read, the reply being built, and the connection; and the
// handler type itself. The modules of requests (jobs, notify, dialogs, ...)
// build on this; the server fills the table of handlers.
//
// The components are owned by the server process (see main.cpp) and outlive
// every request thread; handlers reach them only through this context.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "launch/run_hooks.h"
#include "protocol/receive_budget.h"
#include "protocol/socket.h"

namespace kestrun {

// Declared only: each module includes what it uses of these itself.
class XDRWRAP;
class ServerConfig;
class RunningJobTable;
class DockedRegistry;
class RefusalLog;
class PreloadTable;
struct PreloadHooks;
struct JobDefinition;
namespace history {
class RunHistory;
}

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
  // How dialogs start, release and end preloaded programs (jobs/preload.h);
  // null: they do nothing.
  std::shared_ptr<PreloadHooks> preloadHooks;
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
  // Where a run of this request comes from in the run history (null: a
  // native client).
  const char* origin = nullptr;
  // Told, on the request's thread, when a run of this request has started
  // (its program is in the running-job table), with its history id (0: not
  // recorded). Empty: nobody is told.
  std::function<void(int64_t runId)> runStarted;
};

// A request handler: reads its fields from `request` and appends its reply.
using RequestHandler = void (*)(RequestContext&);

}  // namespace kestrun
