#include "launch/execute.h"

#include <cerrno>

#include "launch/launch_options.h"
#include "launch/piped_launch.h"
#include "platform/pipe.h"
#include "platform/process_tree.h"

namespace kestrun {

namespace {

// Capture mode: empty input, output and error collected up to their 0x04.
void RunCaptured(ExecutionContext& context, const std::vector<std::string>& arguments,
                 const std::string& clientNode, uint32_t clientProcessId,
                 const std::vector<std::string>& environment, CaptureOutcome& outcome) {
  if (context.hooks.adoptPreloadForCapture && !arguments.empty()) {
    const PreloadRequest request{clientNode, clientProcessId, arguments[0], environment};
    if (std::optional<int32_t> status =
            context.hooks.adoptPreloadForCapture(request, outcome.capture)) {
      outcome.exitStatus = *status;
      return;
    }
  }
  PipedLaunch launch = PipedLaunch::Start({arguments, environment});
  if (launch.result() != 0) {
    outcome = {launch.result(), -1, {}};
    return;
  }
  Process& process = launch.process();
  std::unique_ptr<StreamPumps> pumps =
      launch.HandOver(kInvalidSocket, &outcome.capture, context.startThread);
  if (const int startError = pumps->StartAndPumpOutput()) {
    EndUnpumpedRun(process, *pumps);
    process.Reap();
    outcome = {startError, -1, {}};
    return;
  }
  const ProcessEnd end = process.WaitForEnd();
  // A captured run is not in the running-job table, so the server never
  // killed it.
  outcome.exitStatus = ExitCodeOf(end, false);
  if (pumps->Finish()) outcome.result = kStreamFailure;
  process.Reap();
}

// Handle mode: the given streams, an entry in the running-job table.
void RunWithHandles(ExecutionContext& context, const std::vector<std::string>& arguments,
                    const std::vector<std::string>& environment, const RunDescriptor& descriptor,
                    CaptureOutcome& outcome) {
  // Without a given input the program gets a pipe whose writing end is
  // closed as soon as it started: it reads end-of-file.
  std::optional<Pipe> in;
  FileHandle input = descriptor.standardInput;
  if (input == kInvalidFile) {
    in = CreatePipe();
    if (!in) {
      outcome = {kPipeFailure, -1, {}};
      return;
    }
    input = in->read.get();
  }
  const std::string marker = NewRunMarker();
  LaunchOptions options = LaunchOptionsFor(arguments, environment, std::nullopt, marker);
  if (options.arguments.empty()) {
    outcome = {E2BIG, -1, {}};
    return;
  }
  options.descriptors = {input, descriptor.standardOutput, descriptor.standardError};
  int error = 0;
  std::optional<Process> process = LaunchProcess(options, &error);
  if (!process) {
    outcome.result = error;
    outcome.exitStatus = -1;
    return;
  }
  in.reset();
  const uint32_t pid = static_cast<uint32_t>(process->pid());
  RunningJobEntry entry(context.runningJobs, pid, descriptor.jobName, descriptor.clientUser,
                        descriptor.lockValue, marker);
  if (descriptor.stateChanged) descriptor.stateChanged(true);
  const ProcessEnd end = process->WaitForEnd();
  const bool killed = entry.Remove();
  process->Reap();
  ReapAdoptedOrphans();
  outcome.exitStatus = ExitCodeOf(end, killed);
  if (descriptor.stateChanged) descriptor.stateChanged(false);
}

}  // namespace

CaptureOutcome ExecuteAndCapture(ExecutionContext& context,
                                 const std::vector<std::string>& arguments,
                                 const std::string& clientNode, uint32_t clientProcessId,
                                 const std::vector<std::string>& environment,
                                 const std::optional<RunDescriptor>& descriptor) {
  CaptureOutcome outcome;
  if (descriptor) {
    RunWithHandles(context, arguments, environment, *descriptor, outcome);
  } else {
    RunCaptured(context, arguments, clientNode, clientProcessId, environment, outcome);
  }
  return outcome;
}

}  // namespace kestrun
