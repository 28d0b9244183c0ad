// The web console's session table and failed-login throttle, on an injected
// clock.
#include "web/sessions.h"

#include <gtest/gtest.h>

namespace kestrun::web {
namespace {

using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;

struct FakeClock {
  std::chrono::steady_clock::time_point now{};
  Clock clock() {
    return [this] { return now; };
  }
};

TEST(WebSessions, TokensAreRandomAndSessionsEndAfterTwelveHoursOrEightIdle) {
  FakeClock t;
  SessionTable table(t.clock());
  Session s{"alice", "127.0.0.1", "", true, 0};
  const std::string token = *table.Create(s);
  EXPECT_EQ(token.size(), 64u);
  EXPECT_EQ(s.csrf.size(), 64u);
  EXPECT_NE(token, s.csrf);
  EXPECT_GT(s.clientId, 0);
  struct Step {
    std::chrono::steady_clock::duration advance;
    bool alive;
  };
  // Used every 7 hours, the session lives until 12 hours have passed.
  for (const Step step : {Step{hours(7), true}, Step{hours(4), true}, Step{hours(1), false}}) {
    t.now += step.advance;
    EXPECT_EQ(table.Find(token).has_value(), step.alive);
  }
  Session idle{"bob", "127.0.0.1", "", false, 0};
  const std::string other = *table.Create(idle);
  t.now += hours(8);
  EXPECT_FALSE(table.Find(other).has_value());
  EXPECT_FALSE(table.Find("unknown").has_value());
}

TEST(WebSessions, LogoutRemovesTheSession) {
  SessionTable table;
  Session s{"alice", "127.0.0.1", "", false, 0};
  const std::string token = *table.Create(s);
  ASSERT_EQ(table.Find(token)->user, "alice");
  table.Remove(token);
  EXPECT_FALSE(table.Find(token).has_value());
}

TEST(WebLoginThrottle, FiveFailuresWithinAMinuteBlockThatUserAndAddressForAMinute) {
  FakeClock t;
  LoginThrottle throttle(t.clock());
  for (int k = 0; k < 4; ++k) {
    throttle.Failed("alice", "10.0.0.1");
    t.now += seconds(10);
  }
  EXPECT_FALSE(throttle.Blocked("alice", "10.0.0.1"));
  throttle.Failed("alice", "10.0.0.1");
  EXPECT_TRUE(throttle.Blocked("alice", "10.0.0.1"));
  EXPECT_FALSE(throttle.Blocked("alice", "10.0.0.2"));
  EXPECT_FALSE(throttle.Blocked("bob", "10.0.0.1"));
  t.now += seconds(59);
  EXPECT_TRUE(throttle.Blocked("alice", "10.0.0.1"));
  t.now += seconds(1);
  EXPECT_FALSE(throttle.Blocked("alice", "10.0.0.1"));
}

TEST(WebLoginThrottle, FailuresSpreadOverMoreThanAMinuteDoNotBlock) {
  FakeClock t;
  LoginThrottle throttle(t.clock());
  for (int k = 0; k < 10; ++k) {
    throttle.Failed("alice", "10.0.0.1");
    EXPECT_FALSE(throttle.Blocked("alice", "10.0.0.1")) << k;
    t.now += seconds(16);
  }
  throttle.Succeeded("alice", "10.0.0.1");
  EXPECT_FALSE(throttle.Blocked("alice", "10.0.0.1"));
}

}  // namespace
}  // namespace kestrun::web
