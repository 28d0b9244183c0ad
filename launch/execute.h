// Running a job program for a client (Execute) and running a program to
// completion without one (ExecuteAndCapture).
//
// A program is started directly from its argument vector: element 0 is the
// program path, the rest its arguments, each expanded ($NAME, ${NAME})
// against the run's environment vector just before the launch. No shell ever
// sees them, so a client's parameter stays one argument. The child gets the
// run's environment vector, sorted byte-wise, as its whole environment, and
// exactly three descriptors (pipes, or the given handles); it leads a
// process group of its own.
//
// Result codes (the `result` of RunOutcome and CaptureOutcome):
//   0                the program ran; its exit code is in `exitStatus`
//   kPipeFailure     a pipe could not be made; nothing was started
//   errno value > 0  the program could not be started (ENOENT: no such file,
//                    EACCES: no run permission, ...). For a use-terminal run
//                    this is also how kestrunTTY's failure to start the
//                    program is reported (then `exitStatus` is 0).
//                    A pump thread that cannot be created also fails the
//                    launch with its error code (EAGAIN): the program is
//                    killed, as nothing would read its output.
//   kStreamFailure   the program ran, but the client connection failed during
//                    the run or the program stopped reading input the client
//                    still sent (Execute and capture mode only)
// Callers turn other results than 0 and kStreamFailure into text with the C
// library's error text.
//
// Exit status: the program's exit code; 1 when the server killed it through
// the running-job table; 128 + n for any other death by signal n.
//
// Threads: both functions run on the calling thread (a request thread or a
// scheduler thread) and block until the program has ended; Execute and capture
// mode use three pump threads of their own (pumps.h). Several runs proceed at
// once. The running-job table is used under its own lock; no lock is held
// while a seam is called or the environment is read.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "launch/pumps.h"
#include "launch/run_hooks.h"
#include "launch/running_jobs.h"
#include "protocol/socket.h"

namespace kestrun {

inline constexpr int32_t kPipeFailure = -1;
inline constexpr int32_t kStreamFailure = 10000;

struct CaptureOutcome {
  int32_t result = 0;
  int32_t exitStatus = 0;  // -1 when the program could not be started
  CaptureBuffer capture;   // capture mode: what the program wrote (empty in handle mode)
};

// What the launch functions share with the rest of the server.
struct ExecutionContext {
  RunningJobTable& runningJobs;
  RunHooks hooks;
  ThreadStarter startThread = {};  // empty: std::thread (tests inject failures)
};

// Handle mode of ExecuteAndCapture: the program's standard streams are given
// (kInvalidFile: none) and the run is entered in the running-job table. The
// descriptors stay the caller's.
struct RunDescriptor {
  std::string jobName;
  std::optional<std::string> lockValue;
  FileHandle standardInput = kInvalidFile;  // none: the program reads end-of-file
  FileHandle standardOutput = kInvalidFile;
  FileHandle standardError = kInvalidFile;
  // Listed with the run in the running-job table; none for no user.
  std::optional<std::string> clientUser = {};
  // Called with true once the program is listed and with false once it has
  // ended (the run group's notifications); may be empty.
  std::function<void(bool started)> stateChanged = {};
};

// The lock value of a run: argument N (1-based, after the program path) when
// the job's `lockparameter` N is greater than 0 and not beyond the last
// argument; none otherwise.
std::optional<std::string> LockValueOf(int32_t lockParameter,
                                       const std::vector<std::string>& arguments);

// One run for a client: what runs, for whom, and how it is listed.
struct RunDescription {
  std::string jobName;                   // listed in the running-job table
  std::optional<std::string> lockValue;  // listed with it (LockValueOf)
  bool preload = false;                  // the job has a preloaded program to adopt
  std::string clientNode;
  uint32_t clientProcessId = 0;
  std::optional<std::string> clientUser;  // listed with it; none for no user
  bool useTerminal = false;               // start through $KESTRUNHOME/kestrunTTY
  std::vector<std::string> arguments;     // element 0: the program
  std::vector<std::string> environment;   // the run's environment block
  // Called on the launching thread with true once the program is listed in
  // the running-job table and with false once the run has ended. May be empty.
  std::function<void(bool started)> stateChanged;
  // Given a copy of the program's output (the run history); null for none.
  OutputTap* outputTap = nullptr;
};

// Runs `run.arguments` for the client on `clientSocket`: streams its input and
// output as chunks and frames while it runs, with its entry in the running-job
// table from launch to end. A client that disconnects does not end the
// program: Execute waits for it and returns kStreamFailure. Nothing is logged;
// the caller reports failures.
RunOutcome Execute(ExecutionContext& context, const RunDescription& run, SocketHandle clientSocket);

// Runs `arguments` to completion. Without a descriptor (capture mode) the
// program gets an empty standard input and its output and error are collected
// up to the first 0x04 byte of each (the rest is dropped); the run is not
// entered in the running-job table. With a descriptor (handle mode) the
// program gets the given streams, no pumps run, the run is in the table, and
// the result is 0 once it ran.
CaptureOutcome ExecuteAndCapture(ExecutionContext& context,
                                 const std::vector<std::string>& arguments,
                                 const std::string& clientNode, uint32_t clientProcessId,
                                 const std::vector<std::string>& environment,
                                 const std::optional<RunDescriptor>& descriptor = std::nullopt);

}  // namespace kestrun
