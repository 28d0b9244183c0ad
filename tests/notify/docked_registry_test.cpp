#include "notify/docked_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace kestrun {
namespace {

constexpr uint32_t kPC1Address = 0x0A010203;  // 10.1.2.3

// A registry on a clock the test moves by hand, with its log lines kept.
struct Registry {
  std::time_t now = 1'700'000'000;
  std::vector<std::string> log;
  DockedRegistry registry{[this] { return now; },
                          [this](const std::string& l) { log.push_back(l); }};

  std::vector<std::string> Hosts() const {
    std::vector<std::string> out;
    for (const DockedClient& c : registry.ListDocked())
      out.push_back(c.hostName + "/" + c.userName);
    return out;
  }
};

using Names = std::vector<std::string>;

TEST(DockOrRefresh, NewClientIsAppendedAndLogged) {
  Registry r;
  EXPECT_TRUE(r.registry.DockOrRefresh("PC1", kPC1Address, 5000, "alice"));
  ASSERT_EQ(r.log.size(), 1u);
  EXPECT_EQ(r.log[0], "Added alice@PC1 to docked client list (IP Address 10.1.2.3 Port 5000)");
  const std::vector<DockedClient> list = r.registry.ListDocked();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].address, kPC1Address);
  EXPECT_EQ(list[0].udpPort, 5000);
  EXPECT_EQ(list[0].lastSeen, r.now);
}

TEST(DockOrRefresh, OversizedOrControlCharacterNamesAreNotDocked) {
  const std::string host64k(65536, 'h');
  struct Case {
    std::string host, user;
    bool docked;
  };
  const Case cases[] = {
      {std::string(255, 'h'), std::string(255, 'u'), true},
      {std::string(256, 'h'), "alice", false},
      {"PC1", std::string(256, 'u'), false},
      {host64k, "alice", false},
      {"PC\n1", "alice", false},
      {"PC1", "al\x7fice", false},
  };
  for (const Case& c : cases) {
    Registry r;
    EXPECT_EQ(r.registry.DockOrRefresh(c.host, 0x0A010203, 5000, c.user), c.docked);
    EXPECT_EQ(r.registry.ListDocked().size(), c.docked ? 1u : 0u);
    ASSERT_EQ(r.log.size(), 1u);  // one line either way
    EXPECT_EQ(r.log[0].rfind(c.docked ? "Added " : "Refused to dock ", 0), 0u) << r.log[0];
    EXPECT_LT(r.log[0].size(), 700u);
  }
}

TEST(DockOrRefresh, RefreshKeepsFirstAddressAndChangesOnlyPortAndTime) {
  Registry r;
  r.registry.DockOrRefresh("PC1", kPC1Address, 5000, "alice");
  r.now += 100;
  EXPECT_FALSE(r.registry.DockOrRefresh("PC1", 0xC0A80001, 6000, "alice"));
  EXPECT_EQ(r.log.size(), 1u) << "a refresh is not logged";
  const std::vector<DockedClient> list = r.registry.ListDocked();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].address, kPC1Address);
  EXPECT_EQ(list[0].udpPort, 6000);
  EXPECT_EQ(list[0].lastSeen, r.now);
}

TEST(DockOrRefresh, MatchingIsExactSoCaseMakesANewEntry) {
  Registry r;
  r.registry.DockOrRefresh("PC1", kPC1Address, 5000, "alice");
  r.registry.DockOrRefresh("PC1", kPC1Address, 5000, "Alice");
  r.registry.DockOrRefresh("pc1", kPC1Address, 5000, "alice");
  EXPECT_EQ(r.Hosts(), (Names{"PC1/alice", "PC1/Alice", "pc1/alice"}));
  EXPECT_EQ(r.log.size(), 3u);
}

TEST(DockOrRefresh, StaleTwinIsDroppedAndDocksAgainAtTheEnd) {
  Registry r;
  r.registry.DockOrRefresh("PC1", kPC1Address, 5000, "alice");
  r.now += 100;
  r.registry.DockOrRefresh("PC2", 2, 5000, "bob");
  r.now += 81;  // alice is 181 s old, bob 81 s
  EXPECT_TRUE(r.registry.DockOrRefresh("PC1", 7, 5001, "alice"));
  EXPECT_EQ(r.Hosts(), (Names{"PC2/bob", "PC1/alice"}));
  EXPECT_EQ(r.registry.ListDocked()[1].address, 7u);
}

TEST(Staleness, ListedAt180SecondsGoneAfterWalkAt181) {
  Registry r;
  r.registry.DockOrRefresh("PC1", kPC1Address, 5000, "alice");
  r.now += 180;
  EXPECT_EQ(r.registry.HostsForUser("alice"), Names{"PC1"}) << "180 s is still live";
  r.now += 1;
  EXPECT_EQ(r.Hosts(), Names{"PC1/alice"}) << "listing never expires";
  EXPECT_TRUE(r.registry.HostsForUser("bob").empty());
  EXPECT_TRUE(r.Hosts().empty()) << "the walk of HostsForUser dropped the stale entry";
}

TEST(Staleness, KeepingUpRefreshesStaysDockedIndefinitely) {
  Registry r;
  for (int i = 0; i < 20; ++i) {
    r.registry.DockOrRefresh("PC1", kPC1Address, 5000, "alice");
    r.now += 180;
    r.registry.ExpireDocked();
  }
  EXPECT_EQ(r.Hosts(), Names{"PC1/alice"});
  EXPECT_EQ(r.log.size(), 1u);
}

TEST(ExpireDocked, DropsStaleEntryBetweenTwoLiveOnesKeepingOrder) {
  Registry r;
  r.registry.DockOrRefresh("A", 1, 1, "u1");
  r.registry.DockOrRefresh("B", 2, 2, "u2");
  r.registry.DockOrRefresh("C", 3, 3, "u3");
  r.now += 150;
  r.registry.DockOrRefresh("A", 1, 1, "u1");
  r.registry.DockOrRefresh("C", 3, 3, "u3");
  r.now += 31;  // B is 181 s old, A and C 31 s
  r.registry.ExpireDocked();
  EXPECT_EQ(r.Hosts(), (Names{"A/u1", "C/u3"}));
}

TEST(RemoveDocked, RemovesOnlyExactMatches) {
  Registry r;
  r.registry.DockOrRefresh("PC1", 1, 1, "alice");
  r.registry.DockOrRefresh("PC1", 1, 1, "Alice");
  r.registry.RemoveDocked("pc1", "alice");
  EXPECT_EQ(r.Hosts(), (Names{"PC1/alice", "PC1/Alice"}));
  r.registry.RemoveDocked("PC1", "Alice");
  EXPECT_EQ(r.Hosts(), Names{"PC1/alice"});
}

TEST(RemoveDocked, UnknownClientChangesNothingButStaleEntries) {
  Registry r;
  r.registry.DockOrRefresh("OLD", 1, 1, "u0");
  r.now += 100;
  r.registry.DockOrRefresh("PC1", 1, 1, "alice");
  r.registry.RemoveDocked("NOPE", "nobody");
  EXPECT_EQ(r.Hosts(), (Names{"OLD/u0", "PC1/alice"}));
  r.now += 81;
  r.registry.RemoveDocked("NOPE", "nobody");
  EXPECT_EQ(r.Hosts(), Names{"PC1/alice"});
}

TEST(HostsForUser, UserMatchesAnyCaseAndDuplicateHostsStay) {
  Registry r;
  r.registry.DockOrRefresh("PC1", 1, 1, "alice");
  r.registry.DockOrRefresh("PC2", 1, 1, "bob");
  r.registry.DockOrRefresh("PC1", 1, 1, "Alice");
  EXPECT_EQ(r.registry.HostsForUser("ALICE"), (Names{"PC1", "PC1"}));
  EXPECT_TRUE(r.registry.HostsForUser("alic").empty());
}

TEST(FindDocked, HostAndUserMatchAnyCaseFirstLiveEntryWins) {
  Registry r;
  r.registry.DockOrRefresh("PC1", 10, 1000, "alice");
  r.now += 100;
  r.registry.DockOrRefresh("pc1", 20, 2000, "ALICE");
  r.now += 81;  // the first entry is stale now
  const std::optional<DockedAddress> found = r.registry.FindDocked("Pc1", "Alice");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->address, 20u);
  EXPECT_EQ(found->udpPort, 2000);
  EXPECT_EQ(r.Hosts(), Names{"pc1/ALICE"}) << "the stale entry was dropped on the way";
  EXPECT_FALSE(r.registry.FindDocked("PC2", "alice"));
}

TEST(Format, AddressFromTopByteDown) {
  EXPECT_EQ(FormatIPv4(0x0A010203), "10.1.2.3");
  EXPECT_EQ(FormatIPv4(0xFFFFFFFF), "255.255.255.255");
  EXPECT_EQ(FormatIPv4(0), "0.0.0.0");
}

// One peer address docks at most 64 clients; more are refused with one log
// line a minute, refreshes still work and other addresses are unaffected.
TEST(Caps, SixtyFourPerAddressRefusalsLoggedOnceAMinute) {
  Registry r;
  for (int i = 0; i < 64; ++i)
    ASSERT_TRUE(r.registry.DockOrRefresh("H" + std::to_string(i), kPC1Address, 1, "u"));
  r.log.clear();
  EXPECT_FALSE(r.registry.DockOrRefresh("H64", kPC1Address, 1, "u"));
  EXPECT_FALSE(r.registry.DockOrRefresh("H65", kPC1Address, 1, "u"));
  EXPECT_EQ(r.log, std::vector<std::string>{
                       "Refused to dock u@H64 - 64 clients already docked from IP Address "
                       "10.1.2.3"});
  EXPECT_FALSE(r.registry.DockOrRefresh("H0", kPC1Address, 7, "u"));  // a refresh
  EXPECT_EQ(r.registry.FindDocked("H0", "u")->udpPort, 7);
  EXPECT_TRUE(r.registry.DockOrRefresh("H64", kPC1Address + 1, 1, "u"));
  r.now += 59;
  EXPECT_FALSE(r.registry.DockOrRefresh("H66", kPC1Address, 1, "u"));
  EXPECT_EQ(r.log.size(), 2u);  // the refusal above and the docking of H64 elsewhere
  r.now += 1;
  EXPECT_FALSE(r.registry.DockOrRefresh("H66", kPC1Address, 1, "u"));
  EXPECT_EQ(r.log.size(), 3u);
  r.now += 181;  // every entry stale: the address may dock again
  EXPECT_TRUE(r.registry.DockOrRefresh("H66", kPC1Address, 1, "u"));
}

TEST(Caps, TenThousandEntriesInAll) {
  Registry r;
  for (uint32_t i = 0; i < kMaxDockedClients; ++i) {
    ASSERT_TRUE(r.registry.DockOrRefresh("H" + std::to_string(i), 0x0A000000 + i / 64, 1, "u"));
  }
  r.log.clear();
  EXPECT_FALSE(r.registry.DockOrRefresh("Extra", 0x0B000001, 1, "u"));
  EXPECT_EQ(r.registry.ListDocked().size(), kMaxDockedClients);
  EXPECT_EQ(r.log, std::vector<std::string>{
                       "Refused to dock u@Extra (IP Address 11.0.0.1) - docked client list full "
                       "(10000 clients)"});
  r.registry.RemoveDocked("H0", "u");
  EXPECT_TRUE(r.registry.DockOrRefresh("Extra", 0x0B000001, 1, "u"));
}

// Many threads docking, refreshing, finding and removing at once: the list
// never shows an operation half done, and what remains is exactly the set of
// clients that were docked and not removed.
TEST(Concurrency, ConcurrentOperationsLeaveAConsistentList) {
  DockedRegistry registry;
  constexpr int kThreads = 4;
  constexpr int kClients = 200;
  std::vector<std::thread> threads;
  std::atomic<int> added{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kClients; ++i) {
        const std::string host = "H" + std::to_string(t) + "_" + std::to_string(i);
        const uint32_t address = static_cast<uint32_t>(t * kClients + i + 1);
        if (registry.DockOrRefresh(host, address, i, "user")) ++added;
        registry.DockOrRefresh(host, address, i + 1, "user");
        EXPECT_TRUE(registry.FindDocked(host, "USER"));
        if (i % 2) registry.RemoveDocked(host, "user");
        registry.ExpireDocked();
        (void)registry.ListDocked();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(added.load(), kThreads * kClients);
  const std::vector<DockedClient> list = registry.ListDocked();
  ASSERT_EQ(list.size(), static_cast<size_t>(kThreads * kClients / 2));
  for (const DockedClient& c : list) {
    const int i = std::stoi(c.hostName.substr(c.hostName.find('_') + 1));
    EXPECT_EQ(i % 2, 0);
    EXPECT_EQ(c.udpPort, i + 1);
  }
  EXPECT_EQ(registry.HostsForUser("user").size(), list.size());
}

}  // namespace
}  // namespace kestrun
