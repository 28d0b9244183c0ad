#include "server/help_request.h"

#include <string>
#include <vector>

#include "config/group_processor.h"
#include "config/job_definition.h"
#include "config/server_config.h"
#include "protocol/xdrwrap.h"

namespace kestrun {

void ShowHelpText(RequestContext& rc) {
  const std::string user = rc.request.GetString();
  const int32_t count = rc.request.GetLong();
  // The count comes from the wire: names are read one by one (a missing one
  // fails the decode) and nothing is reserved from it.
  std::vector<std::string> attributes;
  for (int32_t k = 0; k < count; ++k) attributes.push_back(rc.request.GetString());

  if (rc.server.config != nullptr) {
    const ServerConfig& config = *rc.server.config;
    for (const JobDefinition& job : config.Jobs()) {
      if (job.group && !IsUserInGroups(config, *job.group, user)) continue;
      rc.reply.AddString(job.name);
      rc.reply.AddString(job.helpText);
      for (const std::string& name : attributes) {
        const std::string* value = FindAttribute(job, name);
        rc.reply.AddChar(1);
        rc.reply.AddString(value != nullptr ? std::string_view(*value) : std::string_view());
      }
      rc.reply.AddChar(0);
    }
  }
  rc.reply.AddString("");
}

}  // namespace kestrun
