#include "launch/execute.h"

#include <atomic>
#include <cerrno>
#include <iterator>

#include "base/environment.h"
#include "launch/command_line.h"
#include "launch/launch_options.h"
#include "launch/piped_launch.h"
#include "platform/process.h"
#include "platform/process_tree.h"

namespace kestrun {

std::optional<std::string> LockValueOf(int32_t lockParameter,
                                       const std::vector<std::string>& arguments) {
  if (lockParameter <= 0 || static_cast<size_t>(lockParameter) >= arguments.size()) {
    return std::nullopt;
  }
  return arguments[static_cast<size_t>(lockParameter)];
}

LaunchOptions LaunchOptionsFor(const std::vector<std::string>& arguments,
                               const std::vector<std::string>& environment,
                               const std::optional<std::string>& terminalHome,
                               const std::string& runMarker) {
  LaunchOptions options;
  // Each element is expanded on its own, so a value holding blanks or quotes
  // stays inside its argument; the expansion stops where the kernel would
  // refuse the launch anyway.
  std::optional<std::vector<std::string>> expanded =
      ExpandArguments(arguments, environment, ArgumentSpaceLimit());
  if (!expanded) return options;  // no program: the caller reports E2BIG
  if (terminalHome) options.arguments.push_back(*terminalHome + "/kestrunTTY");
  options.arguments.insert(options.arguments.end(), std::make_move_iterator(expanded->begin()),
                           std::make_move_iterator(expanded->end()));
  // A bare program name is found on the server's own PATH, never on the
  // run's, which a request may influence; the terminal wrapper is handed the
  // path found.
  options.searchPath = GetEnvLocked("PATH").value_or(std::string(DefaultSearchPath()));
  if (terminalHome && options.arguments.size() > 1 &&
      options.arguments[1].find('/') == std::string::npos) {
    int ignored = 0;
    if (std::optional<std::string> found =
            FindProgram(options.arguments[1], options.searchPath, &ignored)) {
      options.arguments[1] = *found;
    }
  }
  if (!options.arguments.empty()) options.program = options.arguments.front();
  const std::string markerPrefix = std::string(kRunMarkerName) + "=";
  std::vector<std::string> marked;
  marked.reserve(environment.size() + 1);
  for (const std::string& entry : environment) {
    if (!entry.starts_with(markerPrefix)) marked.push_back(entry);
  }
  marked.push_back(markerPrefix + runMarker);
  options.environment = SortedEnvironment(std::move(marked));
  return options;
}

void EndUnpumpedRun(Process& process, StreamPumps& pumps) {
  KillProcessTree(process.pid());
  process.WaitForEnd();
  pumps.Finish();
}

RunOutcome Execute(ExecutionContext& context, const RunDescription& run,
                   SocketHandle clientSocket) {
  const std::vector<std::string>& arguments = run.arguments;
  // A preloaded program of this client for the same path takes the run over.
  if (run.preload && context.hooks.adoptPreloadForRun && !arguments.empty()) {
    const PreloadRequest request{run.clientNode, run.clientProcessId, arguments[0],
                                 run.environment};
    if (std::optional<RunOutcome> adopted =
            context.hooks.adoptPreloadForRun(request, clientSocket)) {
      return *adopted;
    }
  }

  // Signalled once the run was killed and its program has ended: the output
  // pumps then stop waiting for pipes an escaped process may still hold.
  std::optional<Wakeup> killedAndEnded = Wakeup::Create();
  if (!killedAndEnded) return {kPipeFailure, 0};
  PipedLaunch launch = PipedLaunch::Start(
      {arguments, run.environment, run.useTerminal, /*wideOutput=*/true, /*holdBeforeExec=*/false});
  if (launch.result() != 0) return {launch.result(), 0};
  Process& process = launch.process();
  const uint32_t pid = static_cast<uint32_t>(process.pid());

  // A kill (under the table lock) after the program ended wakes the pumps
  // itself; a kill before is seen below once the program has ended.
  std::atomic<bool> ended{false};
  const Wakeup& wake = *killedAndEnded;
  RunningJobEntry entry(context.runningJobs, pid, run.jobName, run.clientUser, run.lockValue,
                        launch.marker(), [&ended, &wake] {
                          if (ended.load()) wake.Signal();
                        });
  if (run.stateChanged) run.stateChanged(true);

  std::unique_ptr<StreamPumps> pumps = launch.HandOver(clientSocket, nullptr, context.startThread);
  pumps->StopOutputOn(killedAndEnded->fd());
  pumps->TapOutput(run.outputTap);
  if (const int startError = pumps->Start()) {
    EndUnpumpedRun(process, *pumps);
    entry.Remove();
    process.Reap();
    if (run.stateChanged) run.stateChanged(false);
    return {startError, 0, pid};
  }
  const ProcessEnd end = process.WaitForEnd();
  ended.store(true);
  if (context.runningJobs.WasKilled(pid)) wake.Signal();
  const bool streamFailed = pumps->Finish();
  // Removed before the child is collected: until then its id cannot be
  // reused, so the table never signals a stranger.
  const bool killed = entry.Remove();
  process.Reap();
  // Processes of this run (or earlier ones) that the server adopted and
  // killed are collected now rather than at the next minute.
  ReapAdoptedOrphans();

  RunOutcome outcome{0, ExitCodeOf(end, killed), pid, killed};
  if (const int wrapperError = launch.LaunchErrorOfWrapper()) outcome = {wrapperError, 0};
  if (streamFailed) outcome.result = kStreamFailure;
  if (run.stateChanged) run.stateChanged(false);
  return outcome;
}

}  // namespace kestrun
