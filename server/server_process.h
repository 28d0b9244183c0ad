// The server process: its process-wide components, the start step that loads
// kestrun.conf and hands over to the listener or to the administrative
// command line, and the two ways a serving process ends (an interrupt, or a
// SHUTDOWN_KESTRUN request).
//
// Threads: the main thread runs StartServer and becomes the listener; the
// interrupt watcher (started by StartServer once kestrun.conf is loaded) runs
// OnInterrupt, or ends an interrupted administrative command. SIGINT and SIGTERM are blocked in
// every thread from the start of main, so one that arrives before the watcher runs waits for it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "config/server_config.h"
#include "core/context.h"
#include "history/run_history.h"
#include "launch/running_jobs.h"
#include "notify/docked_registry.h"
#include "notify/refusal_log.h"
#include "web/web_console.h"

namespace kestrun {

// Everything that lives as long as the process. Created once by main.
struct ServerProcess {
  explicit ServerProcess(const std::string& homeDirectory);
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  std::string homeDirectory;
  ServerConfig config;  // path set here; loaded by StartServer
  RunningJobTable runningJobs;
  DockedRegistry docked;
  RefusalLog relayRefusals{DockedRegistry::SystemClock};
  ReceiveBudget receiveBudget;  // buffers of all requests being received
  // The run history; opened by StartServer before serving (null: none).
  std::unique_ptr<history::RunHistory> history;
  ServerContext context;
  // The web console; started by StartServer when `webport` is set.
  std::unique_ptr<web::WebConsole> web;
  // Started by systemd (-StartService): an interrupt is the service's stop.
  bool underServiceManager = false;
};

// Loads kestrun.conf and checks the port ("Port Number in kestrun.conf not
// found or invalid", status 1). With no option (`args` holds only the
// program) it serves requests; otherwise it runs the administrative command
// of args[1], which an interrupt ends with status 1 and nothing logged.
// Never returns.
[[noreturn]] void StartServer(ServerProcess& process, const std::vector<std::string>& args);

// At the start of serving: the processes that carry a run marker of an
// earlier server of `home` that is no longer running (platform/process_tree.h)
// are logged and ended, SIGTERM first and SIGKILL for those still there after
// `grace` ("Ending process %d left running by an earlier Kestrun server: %s",
// "Process %d did not end on SIGTERM and was killed"). With `keeporphans` on
// they are only logged ("Leaving process %d of an earlier Kestrun server
// running (keeporphans): %s") and left alone.
void EndOrphanedRunsOfEarlierServers(const ServerConfig& config, const std::string& home,
                                     std::chrono::milliseconds grace);

// Starts the web console when kestrun.conf sets `webport`: "Web console
// listening on ADDRESS:PORT" in the log, or a warning on standard error and
// in the log when it cannot listen (the server serves without it).
void StartWebConsole(ServerProcess& process);
// Closes the web console, when there is one.
void StopWebConsole(ServerProcess& process);

// The interrupt sequence (SIGINT or SIGTERM): "Shutting Down" on standard
// output, every running job killed, status 0.
[[noreturn]] void OnInterrupt(ServerProcess& process, int signal);

// Ends the process with `status` once standard output and error are flushed,
// without running destructors that request threads may still depend on.
[[noreturn]] void ExitProcess(int status);

}  // namespace kestrun
