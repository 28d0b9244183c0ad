// The group cache shared by many threads while the listener marks it stale.
// The tiny plug-in keeps unguarded counters, so under ThreadSanitizer this also
// shows that calls into the plug-in never overlap.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "config/group_processor.h"
#include "tests/plugins/group_home.h"

namespace kestrun::testplugins {
namespace {

struct Check {
  const char* groups;
  const char* user;
  bool expected;
};

const Check kChecks[] = {
    {"Admins,Operators", "carol", true},
    {"Admins", "bob", false},
    {"admins", "bob", true},
    {"Admins, Operators", "carol", false},
    {"Operators", "alice", true},
    {"Admins", "dave", false},
    {"Admins", "zed", false},
};

TEST(GroupCacheThreads, ChecksStayRightWhileEntriesAreAddedRefilledAndMarkedStale) {
  unsetenv("TINY_INITIALISE_RESULT");
  GroupHome home(TINY_PLUGIN_PATH);
  ASSERT_TRUE(home.config.groupProcessorReady());
  const ServerConfig& config = home.config;

  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::thread listener([&] {
    while (!stop.load()) {
      GroupsChanged(config);
      MarkGroupCacheStale(config);
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> checkers;
  for (int t = 0; t < 4; ++t) {
    checkers.emplace_back([&, t] {
      for (int k = 0; k < 3000; ++k) {
        const Check& c = kChecks[(k + t) % std::size(kChecks)];
        if (IsUserInGroups(config, c.groups, c.user) != c.expected) ++wrong;
        // The direct getters bypass the cache lock, so they meet in the
        // plug-in often.
        if (GetUsersInGroup(config, "Operators") != GroupNames{"alice", "carol"}) ++wrong;
        if (GetGroupsForUser(config, "bob") != GroupNames{"admins"}) ++wrong;
      }
    });
  }
  for (std::thread& t : checkers) t.join();
  stop = true;
  listener.join();

  EXPECT_EQ(wrong.load(), 0);
  TinyControls tiny;
  EXPECT_EQ(tiny.Count("outstanding"), 0);
}

}  // namespace
}  // namespace kestrun::testplugins
