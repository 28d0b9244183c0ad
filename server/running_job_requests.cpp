#include "server/running_job_requests.h"

#include <string>
#include <vector>

#include "base/log.h"
#include "config/server_config.h"
#include "history/run_history.h"
#include "launch/running_jobs.h"
#include "platform/thread.h"
#include "protocol/messages/jobs_admin.h"
#include "protocol/xdrwrap.h"

namespace kestrun {

void GetActiveJobs(RequestContext& rc) {
  messages::GetActiveJobsRequest::Decode(rc.request);
  const std::vector<RunningJob> jobs = rc.server.runningJobs->ListRunningJobs();
  messages::GetActiveJobsReply reply;
  reply.jobs.reserve(jobs.size());
  for (const RunningJob& job : jobs) {
    reply.jobs.push_back({job.jobName, job.lockValue.value_or(""),
                          job.clientUser.value_or("SCHEDULER"), static_cast<int32_t>(job.processId),
                          static_cast<uint32_t>(job.startTime)});
  }
  // Lock values come from the clients' arguments and may be long: the jobs
  // that fit are listed, the rest is logged as left out.
  if (const size_t left = reply.EncodeWithin(rc.reply); left > 0)
    LogMessage(*rc.server.config,
               "Active job list cut short: %zu of %zu job(s) left out of the reply, which would "
               "pass the message limits",
               left, jobs.size());
}

void KillJob(RequestContext& rc) {
  const int32_t pid = messages::KillJobRequest::Decode(rc.request).processId;
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
    messages::KillJobRefused{}.Encode(rc.reply);
    return;
  }
  LogMessage(config, "Process ID %ld (%s) terminated successfully", static_cast<long>(pid),
             jobName->c_str());
  messages::KillJobKilled{*jobName}.Encode(rc.reply);
}

void StopRequest(RequestContext& rc) {
  const uint32_t stopId = messages::StopRequest::Decode(rc.request).stopId;
  const ServerConfig& config = *rc.server.config;
  LogMessage(config, "User Requests Process Stop");
  if (rc.server.history) rc.server.history->NoteStop(stopId);
  if (rc.server.runningJobs->KillJobByStopId(stopId)) {
    LogMessage(config, "Process stopped successfully");
  } else {
    LogMessage(config, "Failed to stop process");
  }
  messages::StopReply{}.Encode(rc.reply);
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
  messages::ShutdownRequest::Decode(rc.request);
  KillAllJobsForShutdown(rc.server);
  messages::ShutdownReply{}.Encode(rc.reply);
}

}  // namespace kestrun
