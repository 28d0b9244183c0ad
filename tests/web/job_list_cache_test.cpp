// The web console's kept job lists, on an injected clock.
#include "web/job_list_cache.h"

#include <gtest/gtest.h>

#include <thread>

namespace kestrun::web {
namespace {

using std::chrono::milliseconds;

struct FakeClock {
  std::chrono::steady_clock::time_point now{};
  JobListCache::Clock clock() {
    return [this] { return now; };
  }
};

std::shared_ptr<const KeptJobList> ListOf(std::shared_ptr<const ConfigSnapshot> snapshot,
                                          std::chrono::steady_clock::time_point begun,
                                          std::string job) {
  auto list = std::make_shared<KeptJobList>();
  list->snapshot = std::move(snapshot);
  list->begun = begun;
  list->jobs.push_back({"{\"name\":\"" + job + "\",\"running\":", job});
  return list;
}

TEST(WebJobLists, AListServesItsOwnSnapshotForLessThanItsLifetime) {
  const std::chrono::steady_clock::time_point begun{};
  auto first = std::make_shared<const ConfigSnapshot>();
  auto reloaded = std::make_shared<const ConfigSnapshot>();
  struct Step {
    milliseconds age;
    std::shared_ptr<const ConfigSnapshot> current;
    std::string user;
    bool found;
  };
  const Step steps[] = {
      {milliseconds(0), first, "bob", true},     {milliseconds(999), first, "bob", true},
      {milliseconds(1000), first, "bob", false}, {milliseconds(0), reloaded, "bob", false},
      {milliseconds(0), first, "alice", false},
  };
  for (const Step& step : steps) {
    FakeClock t{begun};
    JobListCache cache(t.clock(), milliseconds(1000));
    cache.Keep("bob", ListOf(first, begun, "ECHO"));
    t.now += step.age;
    bool renew = false;
    const auto list = cache.Find(step.user, step.current, &renew);
    EXPECT_EQ(list ? list->jobs[0].name : "none", step.found ? "ECHO" : "none")
        << step.age.count() << " ms, " << step.user;
  }
}

TEST(WebJobLists, OneRenewalAtATimeFromHalfTheLifetime) {
  FakeClock t;
  JobListCache cache(t.clock(), milliseconds(1000));
  auto snapshot = std::make_shared<const ConfigSnapshot>();
  cache.Keep("bob", ListOf(snapshot, t.now, "ECHO"));
  bool renew = true;
  ASSERT_NE(cache.Find("bob", snapshot, &renew), nullptr);
  EXPECT_FALSE(renew);
  t.now += milliseconds(500);
  std::vector<bool> claims;
  for (int k = 0; k < 3; ++k) {
    cache.Find("bob", snapshot, &renew);
    claims.push_back(renew);
    if (k == 1) cache.Unclaim("bob");  // the first renewal could not start
  }
  EXPECT_EQ(claims, (std::vector<bool>{true, false, true}));
  cache.Keep("bob", ListOf(snapshot, t.now, "SLOW"));
  const auto renewed = cache.Find("bob", snapshot, &renew);
  EXPECT_EQ(renewed->jobs[0].name, "SLOW");
  EXPECT_FALSE(renew);
  t.now += milliseconds(500);
  cache.Find("bob", snapshot, &renew);
  EXPECT_TRUE(renew);
}

TEST(WebJobLists, ListersAndKeepersOnManyThreads) {
  JobListCache cache;
  auto snapshot = std::make_shared<const ConfigSnapshot>();
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k)
    threads.emplace_back([&cache, &snapshot, k] {
      const std::string user = k % 2 == 0 ? "alice" : "bob";
      for (int n = 0; n < 2000; ++n) {
        bool renew = false;
        if (!cache.Find(user, snapshot, &renew) || renew)
          cache.Keep(user, ListOf(snapshot, std::chrono::steady_clock::now(), user));
      }
    });
  for (std::thread& t : threads) t.join();
  bool renew = false;
  EXPECT_EQ(cache.Find("bob", snapshot, &renew)->jobs[0].name, "bob");
}

}  // namespace
}  // namespace kestrun::web
