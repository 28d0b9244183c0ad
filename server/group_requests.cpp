#include "server/group_requests.h"

#include <optional>
#include <string>

#include "config/group_processor.h"
#include "config/server_config.h"
#include "protocol/messages/groups.h"
#include "protocol/xdrwrap.h"

namespace kestrun {

namespace {

void ReplyNames(RequestContext& rc, std::optional<GroupNames> names) {
  messages::GroupNamesReply reply;
  if (names) reply.names = std::move(*names);
  reply.Encode(rc.reply);
}

}  // namespace

void GetGroupsForUserRequest(RequestContext& rc) {
  const auto request = messages::GetGroupsForUserRequest::Decode(rc.request);
  std::optional<GroupNames> groups;
  if (rc.server.config != nullptr) groups = GetGroupsForUser(*rc.server.config, request.userName);
  ReplyNames(rc, std::move(groups));
}

void GetUsersInGroupRequest(RequestContext& rc) {
  const auto request = messages::GetUsersInGroupRequest::Decode(rc.request);
  std::optional<GroupNames> users;
  if (rc.server.config != nullptr) users = GetUsersInGroup(*rc.server.config, request.groupName);
  ReplyNames(rc, std::move(users));
}

}  // namespace kestrun
