#include "server/server_process.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "base/environment.h"
#include "base/log.h"
#include "config/group_processor.h"
#include "history/run_history.h"
#include "history/shared_history.h"
#include "jobs/preload.h"
#include "notify/notifications.h"
#include "platform/error_text.h"
#include "platform/filesystem.h"
#include "platform/interrupts.h"
#include "platform/process.h"
#include "platform/process_tree.h"
#include "platform/service_manager.h"
#include "protocol/udp.h"
#include "scheduler/job_log.h"
#include "scheduler/scheduler.h"
#include "server/admin_command.h"
#include "server/dispatcher.h"
#include "server/history_requests.h"
#include "server/listener.h"
#include "server/running_job_requests.h"
#include "server/service.h"

namespace kestrun {

ServerProcess::ServerProcess(const std::string& home)
    : homeDirectory(home),
      config(home + "/kestrun.conf"),
      docked(DockedRegistry::SystemClock,
             [this](const std::string& line) { LogMessage(config, "%s", line.c_str()); }) {
  context.config = &config;
  context.runningJobs = &runningJobs;
  context.docked = &docked;
  context.relayRefusals = &relayRefusals;
  context.notifyJobState = [this](const JobDefinition& job, bool started) {
    NotifyJobState(config, docked, job.notifyRunGroup, started);
  };
  context.receiveBudget = &receiveBudget;
  context.exitProcess = [this](int status) {
    StopWebConsole(*this);
    ExitProcess(status);
  };
  InstallPreloadHooks(context);
}

void ExitProcess(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(status);
}

void OnInterrupt(ServerProcess& process, int signal) {
  std::fputs("Shutting Down\n", stdout);
  LogMessage(process.config, "Shutting Down Kestrun (%s)",
             signal == SIGTERM ? "SIGTERM" : "SIGINT");
  StopWebConsole(process);
  KillAllJobsForShutdown(process.context);
  LogMessage(process.config, "Kestrun Server Shut Down");
  ExitProcess(0);
}

void StartWebConsole(ServerProcess& process) {
  const WebSettings& settings = process.config.web();
  if (settings.port <= 0) return;
  std::string error;
  process.web = web::WebConsole::Start(process.context, HandlerFor, process.homeDirectory, &error);
  if (!process.web) {
    std::fprintf(stderr, "WARNING: the web console could not start: %s\n", error.c_str());
    LogMessage(process.config, "The web console could not start: %s", error.c_str());
    return;
  }
  LogMessage(process.config, "Web console listening on %s://%s:%d",
             settings.tls() ? "https" : "http", settings.address.c_str(), process.web->port());
  // Other servers' consoles link to this one through its heartbeat row.
  if (process.history && process.history->shared())
    process.history->shared()->SetConsole(ConsoleAddress(settings, net::LocalHostName()));
}

void StopWebConsole(ServerProcess& process) {
  if (process.web) process.web->Stop();
}

namespace {

// How long an orphaned run gets between SIGTERM and SIGKILL.
constexpr std::chrono::seconds kOrphanGrace(5);

}  // namespace

void EndOrphanedRunsOfEarlierServers(const ServerConfig& config, const std::string& home,
                                     std::chrono::milliseconds grace) {
  const std::vector<OrphanedProcess> orphans = FindOrphanedRuns(home);
  if (orphans.empty()) return;
  if (config.keepOrphans()) {
    for (const OrphanedProcess& p : orphans)
      LogMessage(config,
                 "Leaving process %d of an earlier Kestrun server running (keeporphans): %s", p.pid,
                 p.command.c_str());
    return;
  }
  for (const OrphanedProcess& p : orphans)
    LogMessage(config, "Ending process %d left running by an earlier Kestrun server: %s", p.pid,
               p.command.c_str());
  for (const ProcessId pid : EndOrphanedRuns(orphans, grace))
    LogMessage(config, "Process %d did not end on SIGTERM and was killed", pid);
}

namespace {

// Whole seconds from 0 to 86400; anything else is ignored.
std::optional<int64_t> ParseClockAhead(const std::optional<std::string>& text) {
  if (!text || text->empty() || text->size() > 5) return std::nullopt;
  int64_t value = 0;
  for (const char c : *text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value <= 86'400 ? std::optional<int64_t>(value) : std::nullopt;
}

ListenerHooks ServingHooks(ServerProcess& process) {
  ServerConfig& config = process.config;
  ListenerHooks hooks;
  hooks.reloadConfigIfChanged = [&config] {
    if (ConfigFileChanged(config)) ReloadServerConfig(config);
  };
  hooks.checkGroupChanges = [&config] {
    if (GroupsChanged(config) != 0) MarkGroupCacheStale(config);
  };
  SchedulerOptions scheduling;
  scheduling.notifyJobState = [&process](const JobDefinition& job, bool started) {
    if (process.context.notifyJobState) process.context.notifyJobState(job, started);
  };
  scheduling.history = process.history.get();
  // KESTRUN_CLOCK_AHEAD=SECONDS runs the minute tick and the scheduler on a
  // clock that far ahead of the system's, so that a test meets a minute
  // boundary soon after the start instead of up to a minute later.
  if (const std::optional<int64_t> ahead = ParseClockAhead(GetEnvLocked("KESTRUN_CLOCK_AHEAD"))) {
    scheduling.clock = [ahead = *ahead] { return ReadServerClockAhead(ahead); };
    hooks.minuteClock = [ahead = *ahead] { return std::time(nullptr) + ahead; };
  }
  auto scheduler = std::make_shared<Scheduler>(config, process.runningJobs, std::move(scheduling));
  hooks.schedulerMinuteStep = [scheduler] { scheduler->Tick(); };
  return hooks;
}

}  // namespace

void StartServer(ServerProcess& process, const std::vector<std::string>& args) {
  LoadServerConfig(process.config);
  const int port = process.config.port();
  if (port < 1) {
    std::fputs("Port Number in kestrun.conf not found or invalid\n", stderr);
    ExitProcess(1);
  }
  uint32_t address = net::kAnyAddress;
  if (!process.config.listenAddress().empty()) {
    const std::optional<uint32_t> resolved = net::ResolveIPv4(process.config.listenAddress());
    if (!resolved || *resolved == 0xFFFFFFFFu) {
      std::fprintf(stderr, "Listen address in kestrun.conf not valid: %s\n",
                   process.config.listenAddress().c_str());
      ExitProcess(1);
    }
    address = *resolved;
  }
  // Started only now that the configuration (and its log file) is in place;
  // an interrupt that came earlier is pending and is handled at once.
  // Only a serving process shuts down on an interrupt. An administrative
  // command that is interrupted just ends unfinished: it must not write
  // "Shutting Down Kestrun" into the log of the server that keeps running.
  const bool serving = args.size() < 2;
  static InterruptWatcher watcher;
  if (watcher.Start([&process, serving](int signal) {
        if (serving && process.underServiceManager) {
          if (StopService(process)) ExitProcess(0);
          return;  // the manager could not be told: it decides what follows
        }
        if (serving) OnInterrupt(process, signal);
        ExitProcess(1);
      }) != 0) {
    std::fputs("Could not watch for interrupts\n", stderr);
    ExitProcess(1);
  }
  if (args.size() < 2) {
    // Every process a job starts stays in the server's tree, whatever it does
    // to its session or parent, so that a kill of its run finds it.
    if (!BecomeChildSubreaper())
      std::fputs("Could not become the reaper of job processes\n", stderr);
    // Runs of an earlier server of this home that was killed before it could
    // end them are still running, invisible to this server's tables.
    EndOrphanedRunsOfEarlierServers(process.config, process.homeDirectory, kOrphanGrace);
    EnsureJobLogFolder(process.config, process.homeDirectory);
    process.history = OpenRunHistory(process.config, process.homeDirectory, [&process] {
      return static_cast<int32_t>(process.runningJobs.ListRunningJobs().size());
    });
    process.context.history = process.history.get();
    ListenerHooks hooks = ServingHooks(process);
    // The start line is logged, and the web console started, only once the
    // port is ours: a second server on a busy port logs why it could not
    // listen instead, and never serves a console meanwhile.
    hooks.listening = [&process, port, ready = process.underServiceManager] {
      LogMessage(process.config, "Kestrun Server Starts, Listening on Port %d", port);
      StartWebConsole(process);
      if (ready) ReportServiceReady();
    };
    hooks.notListening = [&process, port](int error) {
      LogMessage(process.config, "Kestrun Server could not listen on port %d: %s", port,
                 SystemErrorText(error).c_str());
    };
    ProcessIncomingRequests(process.context, port, std::move(hooks), address);
  }
  AdminEnvironment env;
  env.listBoxMode = GetEnvLocked("KESREASON") == std::optional<std::string>("LISTBOX");
  if (address != net::kAnyAddress) env.host = process.config.listenAddress();
  env.log = [&process](const std::string& line) { LogMessage(process.config, "%s", line.c_str()); };
  ExitProcess(RunAdminCommand(port, args, env));
}

}  // namespace kestrun
