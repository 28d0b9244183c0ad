// Running a job: the RUN_SERVER_SCRIPT exchange from the client's side.
//
// After the request, the server sends a 20-byte start header, then output
// frames (length, stream, data) until a zero word, then the reply message.
// While frames arrive, a second thread forwards the client's standard input
// as chunks (length, data) and ends it with a zero-length chunk.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/kesclient/client_config.h"

namespace kestrun::client {

struct RunRequest {
  std::string job;
  std::string user;
  std::string node;
  int32_t processId = 0;
  std::vector<std::string> args;
  std::string stdinFileName;
  bool noTerminal = false;  // asks the server not to use the terminal wrapper
};

struct StartHeader {
  uint32_t stdoutMode = 0;
  uint32_t stderrMode = 0;
  uint32_t stopId = 0;
  uint32_t systemTray = 0;
  uint32_t trayHold = 0;
};

struct RunOutcome {
  // OutputClosed: the job's output could no longer be written (a reader
  // such as `head` went away); the run was left, the job runs on.
  enum class Kind { Ran, Refused, Failed, OutputClosed };
  Kind kind = Kind::Failed;
  int32_t exitCode = 0;
  std::string title;    // Ran
  std::string message;  // Refused and Failed
};

// Runs the job and streams its output to outFd/errFd and inputFd to the job.
// `onStarted` is called with the start header once it has arrived (it may be
// a refusal's all-zero header).
RunOutcome RunJob(const ServerAddress& server, const RunRequest& request, int inputFd, int outFd,
                  int errFd, const std::function<void(const StartHeader&)>& onStarted);

}  // namespace kestrun::client
