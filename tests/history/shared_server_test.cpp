// The shared run history through the built KestrunServer and kesclient,
// against a throwaway PostgreSQL cluster: two servers on one database, the
// output of one server's runs read through the other, a server killed while
// its outbox holds records, and a lock held in the database while clients
// run jobs.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "history/postgres.h"
#include "history/sqlite.h"
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
    db->Execute(
        "DROP TABLE IF EXISTS kestrun_runs, kestrun_output, kestrun_servers, kestrun_schema");
  }
  static std::optional<pg::Connection> Admin() {
    std::string error;
    return pg::Connection::Open(cluster_->conninfo(), 5, &error);
  }
  // EXIT3 on every server, BOTH (out and err) and BIG (past its cap) on
  // alpha and beta, ALONE on alpha only.
  static std::string Config(const std::string& name) {
    const std::string child = "  program = " + kChild + "\n  usetty = off\n";
    std::string config = "history = " + cluster_->conninfo() + "\nservername = " + name +
                         "\n\nEXIT3:\n" + child + "  param = exit\n  param = 3\n";
    if (name == "alpha" || name == "beta")
      config += "\nBOTH:\n" + child + "  param = both\n\nBIG:\n" + child +
                "  param = stream\n  param = 5000\n  historyoutput = 1000\n";
    if (name == "alpha") config += "\nALONE:\n" + child + "  param = both\n";
    return config;
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

TEST_F(SharedServer, OutputOfOneServersRunsIsReadThroughAnother) {
  TestHome homeA, homeB;
  auto alpha = Serve(homeA, "alpha");
  auto beta = Serve(homeB, "beta");
  for (const char* job : {"BOTH", "BIG", "ALONE"})  // runs 1, 2 and 3 of alpha
    ASSERT_EQ(RunKesclient(homeA, alpha->port(), "ann", {"run", job}).status, 0) << job;
  std::string all;
  for (int i = 0; i < 5000; ++i) all.push_back(static_cast<char>('a' + i % 26));
  struct Case {
    const char* id;
    std::string out, err;
  };
  const std::vector<Case> cases = {
      {"1", "out\n", "err\n"},
      {"2", all.substr(0, 500) + all.substr(4500), "[... 4000 bytes left out ...]\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    const ProgramResult local = RunKesclient(homeA, alpha->port(), "ann", {"output", c.id});
    EXPECT_EQ(local.out, c.out);
    EXPECT_EQ(local.err, c.err);
    ProgramResult remote;
    EXPECT_TRUE(WaitUntil([&] {
      remote = RunKesclient(homeB, beta->port(), "ann", {"output", "--server", "alpha", c.id});
      return remote.status == 0;
    })) << remote.err;
    EXPECT_EQ(remote.out, c.out);
    EXPECT_EQ(remote.err, c.err);
  }
  // ALONE is not a job of beta: its runs on alpha are not shown there, as an
  // unknown run is not; alpha shows its own.
  ASSERT_TRUE(WaitUntil([] { return SharedCount("alpha") == 3; }));
  for (const auto& [server, id] : std::vector<std::pair<std::string, std::string>>{
           {"alpha", "3"}, {"alpha", "9"}, {"nobody", "1"}}) {
    const ProgramResult refused =
        RunKesclient(homeB, beta->port(), "ann", {"output", "--server", server, id});
    EXPECT_NE(refused.status, 0);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "kesclient: Run " + id + " of server " + server + " not found\n");
  }
  const ProgramResult own =
      RunKesclient(homeA, alpha->port(), "ann", {"output", "--server", "alpha", "3"});
  EXPECT_EQ(own.status, 0) << own.err;
  EXPECT_EQ(own.out, "out\n");
  StopServerChecked(alpha.get());
  StopServerChecked(beta.get());
}

TEST_F(SharedServer, OutputWrittenWhileTheDatabaseWasAwayArrivesOnce) {
  TestHome homeA, homeB;
  auto alpha = Serve(homeA, "alpha");
  auto beta = Serve(homeB, "beta");
  ASSERT_TRUE(WaitUntil([] { return SharedCount("alpha") == 0; }));  // the tables are made
  ASSERT_TRUE(cluster_->Stop());
  for (const char* job : {"BOTH", "BIG"})
    ASSERT_EQ(RunKesclient(homeA, alpha->port(), "ann", {"run", job}).status, 0) << job;
  ASSERT_TRUE(cluster_->Start());
  ProgramResult remote;
  EXPECT_TRUE(WaitUntil([&] {
    remote = RunKesclient(homeB, beta->port(), "ann", {"output", "--server", "alpha", "2"});
    return remote.status == 0;
  })) << remote.err;
  EXPECT_EQ(remote.err, "[... 4000 bytes left out ...]\n");
  EXPECT_EQ(remote.out.size(), 1000u);
  StopServerChecked(alpha.get());
  // Each chunk once: the rows and bytes the file holds.
  std::optional<sql::Database> file =
      sql::Database::Open(homeA.path() + "/history.db", sql::Database::Mode::ReadOnly, nullptr);
  ASSERT_TRUE(file);
  const std::optional<std::string> local =
      file->QueryText("SELECT count(*) || ' ' || sum(length(data)) FROM output");
  std::optional<pg::Connection> db = Admin();
  pg::Result shared = db->Query(
      "SELECT count(*) || ' ' || sum(length(data)) FROM kestrun_output WHERE server = 'alpha'");
  EXPECT_EQ(shared.Text(0, 0), local.value_or("none"));
  EXPECT_TRUE(shared.Text(0, 0).ends_with(" 1008")) << shared.Text(0, 0);
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
