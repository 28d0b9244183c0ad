#include "server/help_request.h"

#include <string>
#include <vector>

#include "config/group_processor.h"
#include "config/job_definition.h"
#include "config/server_config.h"
#include "protocol/messages/jobs_admin.h"
#include "protocol/xdrwrap.h"

namespace kestrun {

void ShowHelpText(RequestContext& rc) {
  const auto request = messages::ShowHelpTextRequest::Decode(rc.request);
  messages::ShowHelpTextReply reply;
  if (rc.server.config != nullptr) {
    const ServerConfig& config = *rc.server.config;
    for (const JobDefinition& job : config.Jobs()) {
      if (job.group && !IsUserInGroups(config, *job.group, request.userName)) continue;
      messages::JobHelpEntry entry{job.name, job.helpText, {}};
      for (const std::string& name : request.attributeNames) {
        const std::string* value = FindAttribute(job, name);
        entry.attributeValues.push_back(value != nullptr ? *value : std::string());
      }
      reply.jobs.push_back(std::move(entry));
    }
  }
  reply.Encode(rc.reply);
}

}  // namespace kestrun
