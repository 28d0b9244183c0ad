#include "server/running_job_requests.h"

#include <string>
#include <vector>

#include "base/log.h"
#include "config/server_config.h"
#include "history/run_history.h"
#include "launch/running_jobs.h"
#include "platform/thread.h"

namespace kestrun {

void GetActiveJobs(RequestContext& rc) {
  const std::vector<RunningJob> jobs = rc.server.runningJobs->ListRunningJobs();
  BoundedList entries(rc.reply, kEmptyStringTail);
  for (const RunningJob& job : jobs) {
    // Lock values come from the clients' arguments and may be long: the
    // jobs that fit are listed, the rest is logged as left out.
    entries.Add([&](XDRWRAP& out) {
      out.AddString(job.jobName);
      out.AddString(job.lockValue.value_or(""));
      out.AddString(job.clientUser.value_or("SCHEDULER"));
      out.AddLong(static_cast<int32_t>(job.processId));
      out.AddLong(static_cast<int32_t>(static_cast<uint32_t>(job.startTime)));
    });
  }
  if (const size_t left = entries.left(); left > 0)
    LogMessage(*rc.server.config,
               "Active job list cut short: %zu of %zu job(s) left out of the reply, which would "
               "pass the message limits",
               left, jobs.size());
  rc.reply.AddString("");
}

void KillJob(RequestContext& rc) {
  const int32_t pid = rc.request.GetLong();
  const ServerConfig& config = *rc.server.config;
  LogMessage(config, "Administrator requests kill of process id %ld", static_cast<long>(pid));
  // Process ids are positive; anything else names no job.
  std::optional<std::string> jobName;
  // Noted before the kill: the run records its end as soon as it sees it.
  history::RunHistory* const history = rc.server.history;
  if (pid > 0 && history) history->NoteKill(static_cast<uint32_t>(pid), history::kEndedByAdmin);
  if (pid > 0) jobName = rc.server.runningJobs->KillJobByProcessId(static_cast<uint32_t>(pid));
  if (!jobName && pid > 0 && history) history->NoteKill(static_cast<uint32_t>(pid), {});
  if (!jobName) {
    rc.reply.AddEnum(0);
    return;
  }
  LogMessage(config, "Process ID %ld (%s) terminated successfully", static_cast<long>(pid),
             jobName->c_str());
  rc.reply.AddEnum(1);
  rc.reply.AddString(*jobName);
}

void StopRequest(RequestContext& rc) {
  const uint32_t stopId = static_cast<uint32_t>(rc.request.GetLong());
  const ServerConfig& config = *rc.server.config;
  LogMessage(config, "User Requests Process Stop");
  if (rc.server.history) rc.server.history->NoteStop(stopId);
  if (rc.server.runningJobs->KillJobByStopId(stopId)) {
    LogMessage(config, "Process stopped successfully");
  } else {
    LogMessage(config, "Failed to stop process");
  }
}

int KillAllJobsForShutdown(ServerContext& server) {
  const ServerConfig& config = *server.config;
  if (server.history) server.history->NoteEndAll(history::kEndedByShutdown);
  const int killed = server.runningJobs->KillAllRunningJobs(
      [&](const std::string& line) { LogMessage(config, "%s", line.c_str()); });
  // The killed programs get time to end before the process goes.
  if (killed > 0) SleepMilliseconds(2000);
  return killed;
}

void ShutdownKestrun(RequestContext& rc) {
  LogMessage(*rc.server.config, "Shutting Down Kestrun");
  KillAllJobsForShutdown(rc.server);
  rc.reply.AddEnum(1);
}

}  // namespace kestrun
