// Running a job: the RUN_SERVER_SCRIPT exchange from the client's side.
//
// After the request, the server sends a 20-byte start header, then output
// frames (length, stream, data) until a zero word, then the reply message.
// The socket is read in large pieces; the frames found in each piece are
// written out at once, consecutive frames of one stream with one writev, so
// nothing received is held back. While frames arrive, a second thread
// forwards the client's standard input as chunks of up to 64 KB and ends it
// with a zero-length chunk.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "client/client_config.h"
#include "protocol/run_stream.h"
#include "tools/kesclient/dialog_requests.h"

namespace kestrun::client {

struct RunRequest {
  std::string job;
  std::string user;
  std::string node;
  int32_t processId = 0;
  std::vector<std::string> args;
  std::string stdinFileName;
  DialogValues values;      // the dialog's fields and list-box selection
  bool noTerminal = false;  // asks the server not to use the terminal wrapper
};

using StartHeader = runstream::StartHeader;

struct RunOutcome {
  // OutputClosed: the job's output could no longer be written (a reader
  // such as `head` went away); the run was left, the job runs on.
  enum class Kind { Ran, Refused, Failed, OutputClosed };
  Kind kind = Kind::Failed;
  int32_t exitCode = 0;
  std::string title;    // Ran
  std::string message;  // Refused and Failed
  // Ran, but the server started nothing: a job without a program is
  // answered with the refusal's zero start header and exit code 0.
  bool nothingRan = false;
};

// Runs the job and streams its output to outFd/errFd and inputFd to the job.
// `onStarted` is called with the start header once it has arrived (it may be
// a refusal's all-zero header).
RunOutcome RunJob(const ServerAddress& server, const RunRequest& request, int inputFd, int outFd,
                  int errFd, const std::function<void(const StartHeader&)>& onStarted);

}  // namespace kestrun::client
