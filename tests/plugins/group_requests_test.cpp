// GET_GROUPS_FOR_USER and GET_USERS_IN_GROUP through the real dispatcher,
// answered by the tiny plug-in.
#include "server/group_requests.h"

#include <gtest/gtest.h>

#include "protocol/messages/groups.h"
#include "server/dispatcher.h"
#include "tests/plugins/group_home.h"
#include "tests/support/ask.h"

namespace kestrun::testplugins {
namespace {

// The reply's names; fails the test if anything follows them.
Names AskFor(ServerContext& context, RequestType type, const std::string& name) {
  using messages::GroupNamesReply;
  const std::optional<GroupNamesReply> reply =
      type == GET_GROUPS_FOR_USER
          ? test::AskDispatcher<GroupNamesReply>(context, messages::GetGroupsForUserRequest{name})
          : test::AskDispatcher<GroupNamesReply>(context, messages::GetUsersInGroupRequest{name});
  EXPECT_TRUE(reply);
  return reply ? reply->names : Names{};
}

class GroupRequests : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("TINY_INITIALISE_RESULT");
    home = std::make_unique<GroupHome>(TINY_PLUGIN_PATH);
    context.config = &home->config;
    logBefore = home->Log();
  }
  Names Ask(RequestType type, const std::string& name) { return AskFor(context, type, name); }
  std::unique_ptr<GroupHome> home;
  ServerContext context{};
  std::string logBefore;
};

TEST_F(GroupRequests, GroupsOfAUserComeInThePluginsOrder) {
  EXPECT_EQ(Ask(GET_GROUPS_FOR_USER, "alice"), (Names{"Admins", "Operators"}));
  EXPECT_EQ(home->Log(), logBefore);  // nothing is logged
}

TEST_F(GroupRequests, AUserWithoutGroupsAndAnUnknownUserGetCountZero) {
  EXPECT_EQ(Ask(GET_GROUPS_FOR_USER, "dave"), Names{});
  EXPECT_EQ(Ask(GET_GROUPS_FOR_USER, "zed"), Names{});
}

TEST_F(GroupRequests, UsersOfAGroupComeInThePluginsOrder) {
  EXPECT_EQ(Ask(GET_USERS_IN_GROUP, "Operators"), (Names{"alice", "carol"}));
  EXPECT_EQ(Ask(GET_USERS_IN_GROUP, "Nobody"), Names{});
  EXPECT_EQ(Ask(GET_USERS_IN_GROUP, "operators"), Names{});
  EXPECT_EQ(home->Log(), logBefore);
}

TEST_F(GroupRequests, TheRequestsDoNotUseTheCache) {
  TinyControls tiny;
  const int fetches = tiny.Count("groups");
  Ask(GET_GROUPS_FOR_USER, "alice");
  Ask(GET_GROUPS_FOR_USER, "alice");
  EXPECT_EQ(tiny.Count("groups"), fetches + 2);
  EXPECT_EQ(tiny.Count("outstanding"), 0);
}

TEST(GroupRequestsWithoutPlugin, AnswerCountZero) {
  GroupHome h("");
  ServerContext context{};
  context.config = &h.config;
  EXPECT_EQ(AskFor(context, GET_GROUPS_FOR_USER, "alice"), Names{});
  EXPECT_EQ(AskFor(context, GET_USERS_IN_GROUP, "Admins"), Names{});
}

}  // namespace
}  // namespace kestrun::testplugins
