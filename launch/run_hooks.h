// The seams through which a run can be handed to a preloaded program, and
// the outcome of a run: what the server context holds of the launch code.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "protocol/socket.h"

namespace kestrun {

struct CaptureBuffer;

// What Execute returns (see launch/execute.h for the result codes).
struct RunOutcome {
  int32_t result = 0;
  int32_t exitStatus = 0;
  uint32_t processId = 0;  // the program's, once launched
  bool killed = false;     // the server killed it through the running-job table
};

// What a preloaded program would be adopted for.
struct PreloadRequest {
  const std::string& clientNode;
  uint32_t clientProcessId;
  const std::string& programPath;  // element 0 of the argument vector
  const std::vector<std::string>& environment;
};

// Seams for the preloaded-script module; an empty function means "not
// there": no preloaded program is ever found.
struct RunHooks {
  // Execute, for a job with a `preload` program: attaches the client socket
  // to this client's preloaded program for the same path and returns the
  // run's outcome, or nullopt when there is no such program (a normal launch
  // follows).
  std::function<std::optional<RunOutcome>(const PreloadRequest&, SocketHandle clientSocket)>
      adoptPreloadForRun;
  // Capture mode: hands this step to the client's preloaded program, which
  // fills `capture`; returns the step's exit status, or nullopt when there is
  // no such program.
  std::function<std::optional<int32_t>(const PreloadRequest&, CaptureBuffer& capture)>
      adoptPreloadForCapture;
};

}  // namespace kestrun
