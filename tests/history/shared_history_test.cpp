// The shared run history against a real PostgreSQL (a throwaway cluster):
// the same queries and output on both backends, an outage and its drain,
// changed records, output of a running run, pruning, the migration of a
// database of the first schema, the heartbeat on an injected clock, and a
// lock held in the database that neither slows runs nor the server's stop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "history/postgres.h"
#include "history/run_history.h"
#include "tests/support/pg_cluster.h"

namespace kestrun::history {
namespace {

constexpr int64_t kNow = 1'700'000'000'000;

class SharedHistoryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { cluster_ = new test::PgCluster(); }
  static void TearDownTestSuite() {
    delete cluster_;
    cluster_ = nullptr;
  }
  void SetUp() override {
    if (!cluster_->ready()) GTEST_SKIP() << "no PostgreSQL for the test: " << cluster_->why();
    char pattern[] = "/tmp/kes-shared-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    // Each test starts from an empty shared database.
    std::optional<pg::Connection> db = Admin();
    ASSERT_TRUE(db);
    db->Execute(
        "DROP TABLE IF EXISTS kestrun_runs, kestrun_output, kestrun_servers, kestrun_schema");
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::optional<pg::Connection> Admin() {
    std::string error;
    return pg::Connection::Open(cluster_->conninfo(), 5, &error);
  }
  Settings Make(const std::string& name = "alpha", bool sender = false) {
    Settings s;
    s.path = dir_ + "/" + name + ".db";
    s.clock = [this] { return now_; };
    s.log = [this](const std::string& line) { logs_.push_back(line); };
    s.startFlusher = false;
    s.outputCap = [](const std::string& job) { return job == "OUT" ? 1000 : kDefaultOutputCap; };
    s.retention = [this](const std::string&) { return keep_; };
    SharedSettings shared;
    shared.conninfo = cluster_->conninfo();
    shared.serverName = name;
    shared.console = "http://" + name + ":8080/";
    shared.version = "2.3";
    shared.runningJobs = [] { return 2; };
    shared.startSender = sender;
    shared.sendInterval = std::chrono::milliseconds(20);
    s.shared = shared;
    return s;
  }
  std::unique_ptr<RunHistory> Open(Settings s) {
    std::string warning;
    auto h = RunHistory::Open(std::move(s), &warning);
    EXPECT_TRUE(h) << warning;
    return h;
  }
  // (server, id) -> how many rows the shared database holds for it.
  std::map<std::pair<std::string, int64_t>, int64_t> SharedRows(
      const char* table = "kestrun_runs") {
    std::map<std::pair<std::string, int64_t>, int64_t> rows;
    std::optional<pg::Connection> db = Admin();
    const std::string run = std::string(table) == "kestrun_runs" ? "id" : "run";
    const std::string text =
        "SELECT server, " + run + ", count(*) FROM " + table + " GROUP BY server, " + run;
    pg::Result r = db->Query(text.c_str());
    for (int i = 0; i < r.rows(); ++i) rows[{r.Text(i, 0), r.Int(i, 1)}] = r.Int(i, 2);
    return rows;
  }
  // The shared history's run `id` of `server`, with its output.
  static SharedRun Shared(RunHistory& h, const std::string& server, int64_t id) {
    SharedRun run;
    std::string error;
    EXPECT_EQ(h.shared()->ReadRun(server, id, true, &run, &error), SharedHistory::Lookup::Found)
        << error;
    return run;
  }
  static RunStart Start(const std::string& job, const std::string& user = "ann") {
    RunStart s;
    s.job = job;
    s.user = user;
    s.node = "pc1";
    s.address = "127.0.0.1";
    s.arguments = {"a b", "", "ü"};
    s.fields = {"1=x", "2=***"};
    return s;
  }

  static test::PgCluster* cluster_;
  std::string dir_;
  int64_t now_ = kNow;
  Retention keep_{0, 0};
  std::vector<std::string> logs_;
};

test::PgCluster* SharedHistoryTest::cluster_ = nullptr;

// The queries of the local history, asked of both backends.
TEST_F(SharedHistoryTest, Find_SameRecordsFromBothBackends) {
  auto h = Open(Make());
  RunEnd killed{kKilled, 1, 4321, kEndedByAdmin, ""};
  for (int i = 0; i < 6; ++i) {
    now_ += 1000;
    RunStart start = Start(i % 2 ? "BACKUP" : "REPORT", i % 3 ? "ann" : "bob");
    start.started = now_;
    h->Record(start, i == 4 ? killed : RunEnd{});
  }
  std::shared_ptr<history::Run> open = h->Begin(Start("BACKUP"));
  // Output: none, standard output and error interleaved, and past the cap
  // (head, tail window and the bytes left out between them).
  struct OutputCase {
    const char* name;
    std::vector<std::pair<uint32_t, std::string>> writes;
  };
  const std::vector<OutputCase> outputs = {
      {"none", {}},
      {"both streams",
       {{kStdout, "out 1\n"}, {kStderr, "err\n"}, {kStdout, std::string("\0\x01\xff", 3)}}},
      {"capped",
       {{kStdout, std::string(300, 'h')},
        {kStderr, std::string(900, 'm')},
        {kStdout, std::string(200, 't')},
        {kStderr, "end"}}},
  };
  std::vector<int64_t> outputIds;
  for (const OutputCase& c : outputs) {
    std::shared_ptr<history::Run> run = h->Begin(Start("OUT"));
    for (const auto& [stream, bytes] : c.writes) {
      run->Output(stream, bytes.data(), bytes.size());
      run->Flush();
    }
    run->End({});
    outputIds.push_back(run->id());
  }
  ASSERT_TRUE(h->shared()->SendOnce());
  for (size_t i = 0; i < outputs.size(); ++i) {
    SCOPED_TRACE(outputs[i].name);
    const SharedRun shared = Shared(*h, "alpha", outputIds[i]);
    EXPECT_EQ(shared.run, h->FindRun(outputIds[i]));
    EXPECT_EQ(shared.output, h->ReadOutput(outputIds[i]));
  }
  EXPECT_EQ(h->ReadOutput(outputIds[2])->leftOut, 1403 - 1000);
  struct Case {
    const char* name;
    Query query;
  };
  const std::vector<Case> cases = {
      {"all", {"", "", 0, 100, {}}},
      {"one job", {"BACKUP", "", 0, 100, {}}},
      {"one user", {"", "bob", 0, 100, {}}},
      {"since", {"", "", kNow + 3000, 100, {}}},
      {"limit", {"", "", 0, 2, {}}},
      {"visible", {"", "", 0, 100, [](const std::string& job) { return job == "REPORT"; }}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SharedQuery q{"alpha",       c.query.job,   c.query.user,
                  c.query.since, c.query.limit, c.query.visible};
    std::string error;
    const auto shared = h->shared()->Find(q, &error);
    ASSERT_TRUE(shared) << error;
    std::vector<RunRecord> local = h->Find(c.query), remote;
    for (const SharedRecord& r : *shared) {
      EXPECT_EQ(r.server, "alpha");
      remote.push_back(r.run);
    }
    EXPECT_EQ(remote, local);
    EXPECT_FALSE(remote.empty());
  }
}

TEST_F(SharedHistoryTest, Outage_500RunsArriveOnceWhenTheDatabaseIsBack) {
  auto h = Open(Make());
  ASSERT_TRUE(h->shared()->SendOnce());  // schema made, then the database goes
  ASSERT_TRUE(cluster_->Stop());
  std::vector<int64_t> ids;
  for (int i = 0; i < 500; ++i) {
    ids.push_back(h->Record(Start("BURST"), {}));
    if (i % 100 == 0) {
      EXPECT_FALSE(h->shared()->SendOnce());
    }
    now_ += 100;  // 50 s in all: one line for the outage
  }
  EXPECT_EQ(logs_.size(), 1u);
  ASSERT_TRUE(cluster_->Start());
  EXPECT_TRUE(h->shared()->SendOnce());
  EXPECT_TRUE(h->shared()->SendOnce());  // nothing left: nothing sent twice
  const auto rows = SharedRows();
  ASSERT_EQ(rows.size(), 500u);
  for (int64_t id : ids) EXPECT_EQ(rows.at({"alpha", id}), 1);
  EXPECT_EQ(logs_.back(), "Shared run history reachable again");
}

TEST_F(SharedHistoryTest, ChangedRecord_IsSentAgainWithItsEnd) {
  auto h = Open(Make());
  std::shared_ptr<history::Run> run = h->Begin(Start("JOB"));
  ASSERT_TRUE(h->shared()->SendOnce());
  std::string error;
  auto before = h->shared()->Find({"alpha", "JOB", "", 0, 10, {}}, &error);
  ASSERT_TRUE(before && before->size() == 1u) << error;
  EXPECT_EQ(before->at(0).run.outcome, "");
  run->End({kExited, 3, 77, "", ""});
  ASSERT_TRUE(h->shared()->SendOnce());
  auto after = h->shared()->Find({"alpha", "JOB", "", 0, 10, {}}, &error);
  ASSERT_TRUE(after && after->size() == 1u) << error;
  EXPECT_EQ(after->at(0).run.outcome, kExited);
  EXPECT_EQ(after->at(0).run.exitCode, 3);
}

// The output of a running run goes as the file gets it: new head chunks
// once, the tail window again whenever it moved.
TEST_F(SharedHistoryTest, RunningOutput_FollowsTheFileWithEachChunkOnce) {
  auto h = Open(Make());
  std::shared_ptr<history::Run> run = h->Begin(Start("OUT"));
  const auto write = [&](uint32_t stream, const std::string& bytes) {
    run->Output(stream, bytes.data(), bytes.size());
    run->Flush();
    ASSERT_TRUE(h->shared()->SendOnce());
    EXPECT_EQ(Shared(*h, "alpha", run->id()).output, h->ReadOutput(run->id()));
  };
  write(kStdout, "first\n");
  write(kStderr, std::string(600, 'e'));  // the head fills, the tail starts
  write(kStdout, std::string(700, 'o'));  // the window moves
  ASSERT_TRUE(h->shared()->SendOnce());   // nothing new: nothing changes
  run->End({});
  ASSERT_TRUE(h->shared()->SendOnce());
  const SharedRun shared = Shared(*h, "alpha", run->id());
  EXPECT_EQ(shared.output, h->ReadOutput(run->id()));
  EXPECT_EQ(shared.run, h->FindRun(run->id()));
  EXPECT_EQ(shared.output.leftOut, 806 - 500);
  std::optional<pg::Connection> db = Admin();
  EXPECT_EQ(db->Query("SELECT count(*) FROM kestrun_output").Int(0, 0),
            static_cast<int64_t>(shared.output.chunks.size()));
}

// Runs pruned from the file leave the database too, also when pruned while
// it was away; another server's rows under the same ids stay.
TEST_F(SharedHistoryTest, Prune_RemovesThisServersRunsAndOutputOnly) {
  auto alpha = Open(Make("alpha"));
  auto beta = Open(Make("beta"));
  std::vector<int64_t> ids;
  for (int i = 0; i < 4; ++i) {
    for (RunHistory* h : {alpha.get(), beta.get()}) {
      std::shared_ptr<history::Run> run = h->Begin(Start("OUT"));
      run->Output(kStdout, "x\n", 2);
      run->End({});
      if (h == alpha.get()) ids.push_back(run->id());
    }
  }
  ASSERT_TRUE(alpha->shared()->SendOnce());
  ASSERT_TRUE(beta->shared()->SendOnce());
  ASSERT_EQ(SharedRows().size(), 8u);
  ASSERT_TRUE(cluster_->Stop());
  keep_ = {0, 2};
  alpha->Prune();  // the two oldest of alpha go
  EXPECT_FALSE(alpha->shared()->SendOnce());
  ASSERT_TRUE(cluster_->Start());
  ASSERT_TRUE(alpha->shared()->SendOnce());
  for (const char* table : {"kestrun_runs", "kestrun_output"}) {
    SCOPED_TRACE(table);
    const auto rows = SharedRows(table);
    EXPECT_EQ(rows.size(), 6u);
    for (int64_t id : ids) {
      EXPECT_EQ(rows.count({"alpha", id}), id > ids[1] ? 1u : 0u) << id;
      EXPECT_EQ(rows.count({"beta", id}), 1u) << id;
    }
  }
}

// A database of the first schema (runs without output) gets the output
// table, and keeps its runs.
TEST_F(SharedHistoryTest, Migration_AddsTheOutputToAFirstSchemaDatabase) {
  auto h = Open(Make());
  const int64_t old = h->Record(Start("OLD"), {});
  ASSERT_TRUE(h->shared()->SendOnce());
  h.reset();
  std::optional<pg::Connection> db = Admin();
  ASSERT_TRUE(db->Execute("DROP TABLE kestrun_output; UPDATE kestrun_schema SET version = 1"));
  h = Open(Make());
  std::shared_ptr<history::Run> run = h->Begin(Start("OUT"));
  run->Output(kStderr, "late\n", 5);
  run->End({});
  ASSERT_TRUE(h->shared()->SendOnce());
  EXPECT_EQ(db->Query("SELECT version FROM kestrun_schema").Int(0, 0), 2);
  EXPECT_EQ(Shared(*h, "alpha", old).run.start.job, "OLD");
  EXPECT_EQ(Shared(*h, "alpha", run->id()).output, h->ReadOutput(run->id()));
}

TEST_F(SharedHistoryTest, RefusedRecord_IsLeftOutWithALineAndTheRestArrive) {
  auto h = Open(Make());
  const int64_t good = h->Record(Start("GOOD"), {});
  const int64_t bad = h->Record(Start("BAD\xff"), {});  // not UTF-8: the database refuses it
  const int64_t after = h->Record(Start("AFTER"), {});
  EXPECT_FALSE(h->shared()->SendOnce());
  EXPECT_TRUE(h->shared()->SendOnce());
  const auto rows = SharedRows();
  EXPECT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows.count({"alpha", good}), 1u);
  EXPECT_EQ(rows.count({"alpha", after}), 1u);
  ASSERT_EQ(logs_.size(), 1u);
  EXPECT_EQ(logs_[0].rfind("Shared run history refused run " + std::to_string(bad) + ": ", 0), 0u)
      << logs_[0];
}

TEST_F(SharedHistoryTest, Heartbeat_EveryThirtySecondsOnTheClock) {
  auto h = Open(Make("beta"));
  std::string error;
  const auto seen = [&] {
    auto servers = h->shared()->Servers(&error);
    EXPECT_TRUE(servers) << error;
    return servers && servers->size() == 1u ? servers->at(0).lastSeen : -1;
  };
  ASSERT_TRUE(h->shared()->SendOnce());
  EXPECT_EQ(seen(), kNow);
  auto servers = h->shared()->Servers(&error);
  EXPECT_EQ(servers->at(0), (ServerRow{"beta", "http://beta:8080/", "2.3", 2, kNow}));
  now_ += 29'999;
  ASSERT_TRUE(h->shared()->SendOnce());
  EXPECT_EQ(seen(), kNow);
  now_ += 1;
  ASSERT_TRUE(h->shared()->SendOnce());
  EXPECT_EQ(seen(), kNow + 30'000);
}

TEST_F(SharedHistoryTest, HeldLock_RunsDoNotWaitAndTheStopCancels) {
  auto h = Open(Make("alpha", /*sender=*/true));
  h->Record(Start("WARM"), {});
  // The sender made the schema; now another session holds the table.
  for (int i = 0; i < 200 && SharedRows().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::optional<pg::Connection> locker = Admin();
  ASSERT_TRUE(locker);
  ASSERT_TRUE(locker->Execute("BEGIN; LOCK TABLE kestrun_runs IN ACCESS EXCLUSIVE MODE"));
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 50; ++i) {
    std::shared_ptr<history::Run> run = h->Begin(Start("LOCKED"));
    ASSERT_TRUE(run);
    run->End({});
  }
  h.reset();  // the sender waits on the lock: the stop cancels its query
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(took, std::chrono::seconds(3));
  locker->Execute("ROLLBACK");
  // The records stayed in the outbox and go with the next server.
  auto again = Open(Make("alpha"));
  ASSERT_TRUE(again->shared()->SendOnce());
  EXPECT_EQ(SharedRows().size(), 51u);
}

}  // namespace
}  // namespace kestrun::history
