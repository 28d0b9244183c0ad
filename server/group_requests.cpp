#include "server/group_requests.h"

#include <optional>
#include <string>

#include "config/group_processor.h"
#include "config/server_config.h"
#include "protocol/xdrwrap.h"

namespace kestrun {

namespace {

void AddNames(XDRWRAP& reply, const std::optional<GroupNames>& names) {
  if (!names) {
    reply.AddLong(0);
    return;
  }
  reply.AddLong(static_cast<int32_t>(names->size()));
  for (const std::string& name : *names) reply.AddString(name);
}

}  // namespace

void GetGroupsForUserRequest(RequestContext& rc) {
  const std::string user = rc.request.GetString();
  std::optional<GroupNames> groups;
  if (rc.server.config != nullptr) groups = GetGroupsForUser(*rc.server.config, user);
  AddNames(rc.reply, groups);
}

void GetUsersInGroupRequest(RequestContext& rc) {
  const std::string group = rc.request.GetString();
  std::optional<GroupNames> users;
  if (rc.server.config != nullptr) users = GetUsersInGroup(*rc.server.config, group);
  AddNames(rc.reply, users);
}

}  // namespace kestrun
