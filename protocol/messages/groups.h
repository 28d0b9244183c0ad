// The group requests: the group processor's answers passed to a client.
// Field order after the request's type word (kinds as XDRWRAP writes them):
//
//   GET_GROUPS_FOR_USER (28)  request: string user name
//   GET_USERS_IN_GROUP (29)   request: string group name
//   reply of both:            long count n, then n strings
//
// Plain values: no locks, one owner at a time.
#pragma once

#include <string>
#include <vector>

#include "protocol/messages/message.h"

namespace kestrun::messages {

struct GetGroupsForUserRequest {
  static constexpr RequestType kType = GET_GROUPS_FOR_USER;
  std::string userName;
  void Encode(XDRWRAP& out) const;
  static GetGroupsForUserRequest Decode(XDRWRAP& in);
  bool operator==(const GetGroupsForUserRequest&) const = default;
};

struct GetUsersInGroupRequest {
  static constexpr RequestType kType = GET_USERS_IN_GROUP;
  std::string groupName;
  void Encode(XDRWRAP& out) const;
  static GetUsersInGroupRequest Decode(XDRWRAP& in);
  bool operator==(const GetUsersInGroupRequest&) const = default;
};

// The reply of both requests: the names in the group processor's order.
struct GroupNamesReply {
  std::vector<std::string> names;
  void Encode(XDRWRAP& out) const;
  // The count comes from the wire: names are read one by one (a missing one
  // fails the decode) and nothing is reserved from it.
  static GroupNamesReply Decode(XDRWRAP& in);
  bool operator==(const GroupNamesReply&) const = default;
};

}  // namespace kestrun::messages
