#include "base/log.h"
#include "config/group_processor.h"
#include "config/server_config.h"
#include "jobs/job_running_rule.h"
#include "notify/notify_requests.h"
#include "protocol/xdrwrap.h"

namespace kestrun {

void GetJobsForUser(RequestContext& rc) {
  const auto request = messages::GetJobsForUserRequest::Decode(rc.request);
  const std::string& host = request.hostName;
  const std::string& user = request.userName;
  const ServerConfig& config = *rc.server.config;
  LogMessage(config, "%s@%s requests system tray menu items", user.c_str(), host.c_str());
  // Asking for the menu also docks: a tray client that refreshes its menu
  // stays docked.
  rc.server.docked->DockOrRefresh(host, rc.peerAddress, request.udpPort, user);

  messages::GetJobsForUserReply reply;
  for (const JobDefinition& job : config.Jobs()) {
    if (!job.trayMenu || !job.hasJobDirective) continue;
    if (job.group && !IsUserInGroups(config, *job.group, user)) continue;
    // No argument list: running jobs are matched by name alone.
    if (CheckJobRunningRules(job, {}, *rc.server.runningJobs).refused) continue;
    reply.items.push_back({job.name, job.title.empty() ? job.name : job.title});
  }
  if (const size_t left = reply.EncodeWithin(rc.reply); left > 0)
    LogMessage(config,
               "%s@%s - system tray menu cut short: %zu item(s) left out of the reply, which "
               "would pass the message limits",
               user.c_str(), host.c_str(), left);
}

}  // namespace kestrun
