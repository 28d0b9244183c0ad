// What every request handler is given: the server's shared components, the
// request being read, the reply being built, and the connection.
//
// The components are owned by the server process (see main.cpp) and outlive
// every request thread; handlers reach them only through this context.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/execute.h"
#include "protocol/socket.h"
#include "protocol/xdrwrap.h"

namespace kestrun {

class ServerConfig;
class RunningJobTable;
class DockedRegistry;

struct ServerContext {
  ServerConfig* config = nullptr;
  RunningJobTable* runningJobs = nullptr;
  DockedRegistry* docked = nullptr;
  // Seams of job runs (preloaded programs, run-group notifications); empty
  // until those modules fill them in.
  RunHooks runHooks;
  // Ends the process; tests replace it to observe a shutdown.
  std::function<void(int)> exitProcess;
};

struct RequestContext {
  ServerContext& server;
  XDRWRAP& request;  // positioned after the RequestType
  XDRWRAP& reply;    // started with BeginEncode
  SocketHandle socket;
  uint32_t peerAddress;  // IPv4, host order
};

}  // namespace kestrun
