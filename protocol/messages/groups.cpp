#include "protocol/messages/groups.h"

namespace kestrun::messages {

void GetGroupsForUserRequest::Encode(XDRWRAP& out) const {
  out.AddString(userName);
}

GetGroupsForUserRequest GetGroupsForUserRequest::Decode(XDRWRAP& in) {
  return {in.GetString()};
}

void GetUsersInGroupRequest::Encode(XDRWRAP& out) const {
  out.AddString(groupName);
}

GetUsersInGroupRequest GetUsersInGroupRequest::Decode(XDRWRAP& in) {
  return {in.GetString()};
}

void GroupNamesReply::Encode(XDRWRAP& out) const {
  out.AddLong(static_cast<int32_t>(names.size()));
  for (const std::string& name : names) out.AddString(name);
}

GroupNamesReply GroupNamesReply::Decode(XDRWRAP& in) {
  GroupNamesReply reply;
  const int32_t count = in.GetLong();
  for (int32_t k = 0; k < count; ++k) reply.names.push_back(in.GetString());
  return reply;
}

}  // namespace kestrun::messages
