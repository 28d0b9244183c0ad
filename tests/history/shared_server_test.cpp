// The shared run history through the built KestrunServer and kesclient,
// against a throwaway PostgreSQL cluster: two servers on one database, a
// server killed while its outbox holds records, and a lock held in the
// database while clients run jobs.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "history/postgres.h"
#include "tests/support/pg_cluster.h"
#include "tests/support/server_home.h"
#include "tests/support/waiting.h"

namespace kestrun::test {
namespace {

const std::string kChild = KES_JOB_CHILD;

class SharedServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { cluster_ = std::make_unique<PgCluster>(); }
  static void TearDownTestSuite() { cluster_.reset(); }
  void SetUp() override {
    if (!cluster_->ready()) GTEST_SKIP() << "no PostgreSQL for the test: " << cluster_->why();
    std::optional<pg::Connection> db = Admin();
    ASSERT_TRUE(db);
    db->Execute("DROP TABLE IF EXISTS kestrun_runs, kestrun_servers, kestrun_schema");
  }
  static std::optional<pg::Connection> Admin() {
    std::string error;
    return pg::Connection::Open(cluster_->conninfo(), 5, &error);
  }
  static std::string Config(const std::string& name) {
    const std::string child = "  program = " + kChild + "\n  usetty = off\n";
    return "history = " + cluster_->conninfo() + "\nservername = " + name + "\n\nEXIT3:\n" + child +
           "  param = exit\n  param = 3\n";
  }
  static std::unique_ptr<RunningServer> Serve(const TestHome& home, const std::string& name) {
    auto server = std::make_unique<RunningServer>(home, std::vector<EnvChange>{}, Config(name));
    EXPECT_TRUE(server->ready());
    return server;
  }
  static int64_t SharedCount(const std::string& server) {
    std::optional<pg::Connection> db = Admin();
    if (!db) return -1;
    pg::Result r =
        db->Query("SELECT count(*), count(DISTINCT id) FROM kestrun_runs WHERE server = $1",
                  pg::Params().Add(server));
    if (r.rows() != 1) return -1;
    return r.Int(0, 0) == r.Int(0, 1) ? r.Int(0, 0) : -2;  // -2: a run twice
  }

  static std::unique_ptr<PgCluster> cluster_;
};

std::unique_ptr<PgCluster> SharedServer::cluster_;

TEST_F(SharedServer, TwoServersOnOneDatabaseSeeEachOthersRuns) {
  TestHome homeA, homeB;
  auto alpha = Serve(homeA, "alpha");
  auto beta = Serve(homeB, "beta");
  ASSERT_EQ(RunKesclient(homeA, alpha->port(), "ann", {"run", "EXIT3", "on-alpha"}).status, 3);
  ASSERT_EQ(RunKesclient(homeB, beta->port(), "ann", {"run", "EXIT3", "on-beta"}).status, 3);
  ProgramResult all;
  EXPECT_TRUE(WaitUntil([&] {
    all = RunKesclient(homeA, alpha->port(), "ann", {"history", "--all", "--json"});
    return CountOf(all.out, "\n") == 2;
  })) << all.out
      << all.err;
  EXPECT_NE(all.out.find("{\"server\":\"alpha\",\"id\":1,\"job\":\"EXIT3\""), std::string::npos);
  EXPECT_NE(all.out.find("{\"server\":\"beta\",\"id\":1,\"job\":\"EXIT3\""), std::string::npos);
  // One server's runs, read through the other.
  const ProgramResult one =
      RunKesclient(homeB, beta->port(), "ann", {"history", "--server", "alpha"});
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(CountOf(one.out, "\nalpha "), 1u) << one.out;
  EXPECT_EQ(one.out.find("beta"), std::string::npos) << one.out;
  EXPECT_EQ(one.out.rfind("SERVER           ID       JOB", 0), 0u) << one.out;
  // The plain query (HISTORY_QUERY, as older clients send it) stays local.
  const ProgramResult local = RunKesclient(homeA, alpha->port(), "ann", {"history", "--json"});
  EXPECT_EQ(CountOf(local.out, "\n"), 1u) << local.out;
  EXPECT_EQ(local.out.find("server"), std::string::npos) << local.out;
  StopServerChecked(alpha.get());
  StopServerChecked(beta.get());
}

TEST_F(SharedServer, KilledServerSendsItsOutboxAfterRestart) {
  TestHome home;
  auto server = Serve(home, "gamma");
  ASSERT_TRUE(cluster_->Stop());
  for (int i = 0; i < 20; ++i)
    ASSERT_EQ(RunKesclient(home, server->port(), "ann", {"run", "EXIT3"}).status, 3);
  ::kill(server->process().pid(), SIGKILL);
  server.reset();
  ASSERT_TRUE(cluster_->Start());
  EXPECT_LE(SharedCount("gamma"), 0);
  server = Serve(home, "gamma");
  EXPECT_TRUE(WaitUntil([] { return SharedCount("gamma") == 20; })) << SharedCount("gamma");
  StopServerChecked(server.get());
  EXPECT_EQ(SharedCount("gamma"), 20);
}

TEST_F(SharedServer, HeldLockInTheDatabaseDoesNotSlowRuns) {
  TestHome home;
  auto server = Serve(home, "delta");
  ASSERT_EQ(RunKesclient(home, server->port(), "ann", {"run", "EXIT3"}).status, 3);
  ASSERT_TRUE(WaitUntil([] { return SharedCount("delta") == 1; }));
  std::optional<pg::Connection> locker = Admin();
  ASSERT_TRUE(locker);
  ASSERT_TRUE(locker->Execute("BEGIN; LOCK TABLE kestrun_runs IN ACCESS EXCLUSIVE MODE"));
  for (int i = 0; i < 5; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(RunKesclient(home, server->port(), "ann", {"run", "EXIT3"}).status, 3);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  }
  locker->Execute("ROLLBACK");
  EXPECT_TRUE(WaitUntil([] { return SharedCount("delta") == 6; })) << SharedCount("delta");
  StopServerChecked(server.get());
}

}  // namespace
}  // namespace kestrun::test
