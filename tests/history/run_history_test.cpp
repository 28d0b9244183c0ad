// The run history module on its own: the output cap, crash recovery, a
// damaged or unusable file, write failures, retention, queries and follow.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "history/run_history.h"
#include "history/schema.h"

namespace kestrun::history {
namespace {

constexpr int64_t kNow = 1'700'000'000'000;  // 2023-11-14 22:13:20 UTC

class HistoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kes-history-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  Settings Make(int64_t cap = kDefaultOutputCap) {
    Settings s;
    s.path = dir_ + "/history.db";
    s.clock = [this] { return now_; };
    s.log = [this](const std::string& line) { logs_.push_back(line); };
    s.outputCap = [cap](const std::string&) { return cap; };
    s.startFlusher = false;
    return s;
  }
  std::unique_ptr<RunHistory> Open(Settings s) {
    std::string warning;
    auto h = RunHistory::Open(std::move(s), &warning);
    EXPECT_TRUE(h) << warning;
    return h;
  }
  static RunStart Start(const std::string& job, const std::string& user = "ann") {
    RunStart s;
    s.job = job;
    s.user = user;
    s.node = "pc1";
    s.address = "127.0.0.1";
    s.arguments = {"a b", ""};
    s.fields = {"1=x", "2=***"};
    return s;
  }

  std::string dir_;
  int64_t now_ = kNow;
  std::vector<std::string> logs_;
};

struct Write {
  uint32_t stream;
  std::string text;
  bool flushAfter = false;
};

struct CapCase {
  const char* name;
  int64_t cap;
  std::vector<Write> writes;
  std::vector<OutputChunk> chunks;
  int64_t leftOut;
  size_t leftOutAt;
};

TEST_F(HistoryTest, OutputCap_KeepsFirstAndLastHalfWithTheExactLeftOutCount) {
  const std::vector<CapCase> cases = {
      {"under the cap", 8, {{kStdout, "ab"}, {kStdout, "c"}}, {{kStdout, "abc"}}, 0, 0},
      {"exactly the cap", 8, {{kStdout, "abcdefgh"}}, {{kStdout, "abcd"}, {kStdout, "efgh"}}, 0, 0},
      {"one long write",
       8,
       {{kStdout, "abcdefghijkl"}},
       {{kStdout, "abcd"}, {kStdout, "ijkl"}},
       4,
       1},
      {"streams and flushes",
       8,
       {{kStdout, "abc", true}, {kStderr, "de", true}, {kStdout, "fghij", true}, {kStderr, "klm"}},
       {{kStdout, "abc"}, {kStderr, "d"}, {kStdout, "j"}, {kStderr, "klm"}},
       5,
       2},
      {"window moves past written chunks",
       4,
       {{kStdout, "ab", true}, {kStdout, "cd", true}, {kStderr, "e", true}, {kStdout, "f", true}},
       {{kStdout, "ab"}, {kStderr, "e"}, {kStdout, "f"}},
       2,
       1},
      {"cap 0 keeps none", 0, {{kStdout, "hello"}}, {}, 5, 0},
      {"reads fall out of the window",
       8,
       {{kStdout, "abcd"},
        {kStdout, "efg"},
        {kStderr, "hij"},
        {kStdout, "k"},
        {kStdout, "lm", true}},
       {{kStdout, "abcd"}, {kStderr, "j"}, {kStdout, "klm"}},
       5,
       1},
      {"a read longer than the window",
       8,
       {{kStdout, "abcd"}, {kStdout, "efghijkl"}},
       {{kStdout, "abcd"}, {kStdout, "ijkl"}},
       4,
       1},
      {"small reads fill the window",
       8,
       {{kStdout, "abcd"}, {kStdout, "ef"}, {kStdout, "g"}, {kStdout, "h"}},
       {{kStdout, "abcd"}, {kStdout, "efgh"}},
       0,
       0},
      {"a read filling the head goes on into the tail",
       8,
       {{kStdout, "abcdef"}},
       {{kStdout, "abcd"}, {kStdout, "ef"}},
       0,
       0},
      {"the window wraps with a stream's bytes across the ring's end",
       8,
       {{kStdout, "abcd"}, {kStdout, "efg"}, {kStderr, "hi", true}, {kStderr, "j"}},
       {{kStdout, "abcd"}, {kStdout, "g"}, {kStderr, "hij"}},
       2,
       1},
  };
  for (const CapCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir_ + "/history.db");
    auto history = Open(Make(c.cap));
    std::shared_ptr<history::Run> run = history->Begin(Start("JOB"));
    ASSERT_TRUE(run);
    int64_t total = 0;
    for (const Write& w : c.writes) {
      run->Output(w.stream, w.text.data(), w.text.size());
      total += static_cast<int64_t>(w.text.size());
      if (w.flushAfter) run->Flush();
    }
    run->End({});
    const std::optional<StoredOutput> out = history->ReadOutput(run->id());
    ASSERT_TRUE(out);
    EXPECT_EQ(out->chunks, c.chunks);
    EXPECT_EQ(out->leftOut, c.leftOut);
    EXPECT_EQ(out->leftOutAt, c.leftOutAt);
    EXPECT_EQ(history->FindRun(run->id())->outputBytes, total);
  }
}

// Adjacent chunks of one stream as one: how the chunks are cut depends on
// when flushes came, what they hold does not.
std::vector<OutputChunk> Joined(std::vector<OutputChunk>::const_iterator begin,
                                std::vector<OutputChunk>::const_iterator end) {
  std::vector<OutputChunk> joined;
  for (auto it = begin; it != end; ++it) {
    if (!joined.empty() && joined.back().stream == it->stream)
      joined.back().data += it->data;
    else
      joined.push_back(*it);
  }
  return joined;
}

// Many reads of random sizes and streams into `run` (about four caps'
// worth), flushed by hand at random when `flushByHand`; then the run's end.
// Checks what was stored against the plain definition: the first half of
// the cap, the last half, and the count of the bytes between.
void WriteRandomlyAndCheck(RunHistory& history, const std::shared_ptr<history::Run>& run,
                           int64_t cap, uint32_t seed, bool flushByHand) {
  std::mt19937 random(seed);
  std::vector<OutputChunk> all;  // every byte written, as single-stream reads
  std::string bytes;
  const size_t largest = static_cast<size_t>(cap) / 3 + 2;
  while (bytes.size() < static_cast<size_t>(cap) * 4) {
    const uint32_t stream = random() % 4 == 0 ? kStderr : kStdout;
    std::string read(1 + random() % largest, '\0');
    for (char& c : read) c = static_cast<char>('a' + random() % 26);
    run->Output(stream, read.data(), read.size());
    bytes += read;
    all.push_back({stream, read});
    if (flushByHand && random() % 5 == 0) run->Flush();
  }
  run->End({});
  // The model: each byte with its stream, cut at the cap's halves.
  const size_t headCap = static_cast<size_t>(cap) / 2;
  const size_t tailFrom = bytes.size() - (static_cast<size_t>(cap) - headCap);
  std::vector<OutputChunk> head, tail;
  size_t at = 0;
  for (const OutputChunk& read : all) {
    for (size_t i = 0; i < read.data.size(); ++i, ++at) {
      std::vector<OutputChunk>& part = at < headCap ? head : at >= tailFrom ? tail : head;
      if (at >= headCap && at < tailFrom) continue;
      if (part.empty() || part.back().stream != read.stream) part.push_back({read.stream, {}});
      part.back().data.push_back(read.data[i]);
    }
  }
  const std::optional<StoredOutput> out = history.ReadOutput(run->id());
  ASSERT_TRUE(out);
  ASSERT_LE(out->leftOutAt, out->chunks.size());
  const auto split = out->chunks.begin() + static_cast<std::ptrdiff_t>(out->leftOutAt);
  EXPECT_EQ(Joined(out->chunks.begin(), split), head);
  EXPECT_EQ(Joined(split, out->chunks.end()), tail);
  EXPECT_EQ(out->leftOut, static_cast<int64_t>(tailFrom - headCap));
  EXPECT_EQ(history.FindRun(run->id())->outputBytes, static_cast<int64_t>(bytes.size()));
}

// The windows are large enough for the ring to grow and wrap, with reads
// across its end.
TEST_F(HistoryTest, OutputCap_RandomReadsKeepExactlyTheFirstAndLastHalf) {
  for (const int64_t cap : {int64_t{9}, int64_t{40'000}, int64_t{100'001}, kDefaultOutputCap}) {
    SCOPED_TRACE(cap);
    std::filesystem::remove(dir_ + "/history.db");
    auto history = Open(Make(cap));
    std::shared_ptr<history::Run> run = history->Begin(Start("JOB"));
    ASSERT_TRUE(run);
    WriteRandomlyAndCheck(*history, run, cap, 20261208, true);
  }
}

// Runs at once with the flusher at work: small batches, so that the runs
// often wait for their first halves to be taken, first halves written
// between window rewrites, and one window rewritten per flush, in turn.
TEST_F(HistoryTest, OutputCap_ConcurrentRunsFlushedByTheFlusherKeepTheirHalves) {
  Settings settings = Make(40'001);
  settings.startFlusher = true;
  settings.flushBytes = 4096;
  settings.flushInterval = std::chrono::milliseconds(1);
  settings.windowBytesPerFlush = 1;
  auto history = Open(settings);
  std::vector<std::thread> writers;
  for (uint32_t i = 0; i < 6; ++i) {
    std::shared_ptr<history::Run> run = history->Begin(Start("JOB"));
    ASSERT_TRUE(run);
    writers.emplace_back(
        [&history, run, i] { WriteRandomlyAndCheck(*history, run, 40'001, 7 + i, false); });
  }
  for (std::thread& writer : writers) writer.join();
}

TEST_F(HistoryTest, Crash_OpenRunsAreInterruptedAndKeepTheirFlushedOutput) {
  int64_t id = 0;
  {
    auto history = Open(Make());
    std::shared_ptr<history::Run> run = history->Begin(Start("JOB"));
    run->Output(kStdout, "before", 6);
    run->Flush();
    id = run->id();
    // The history goes away without the run's end: as after a kill -9.
    history.reset();
  }
  now_ += 5000;
  auto history = Open(Make());
  const std::optional<RunRecord> record = history->FindRun(id);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->outcome, kInterrupted);
  EXPECT_EQ(record->ended, kNow + 5000);
  EXPECT_EQ(history->ReadOutput(id)->chunks, (std::vector<OutputChunk>{{kStdout, "before"}}));
}

TEST_F(HistoryTest, DamagedFile_IsMovedAsideAndANewOneStarted) {
  std::ofstream(dir_ + "/history.db") << std::string(8192, 'x');
  std::string warning;
  auto history = RunHistory::Open(Make(), &warning);
  ASSERT_TRUE(history);
  const std::string aside = dir_ + "/history.db.corrupt-20231114-221320";
  EXPECT_EQ(warning, "Run history " + dir_ + "/history.db was damaged; moved aside as " + aside);
  EXPECT_TRUE(std::filesystem::exists(aside));
  EXPECT_NE(history->Record(Start("JOB"), {}), 0);
}

TEST_F(HistoryTest, UnusablePath_NoHistoryAndOneWarning) {
  std::filesystem::create_directory(dir_ + "/dir");
  ASSERT_EQ(::mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  struct Case {
    std::string path;
    std::string warning;
  };
  const std::vector<Case> cases = {
      {dir_ + "/dir", "Run history not kept: " + dir_ + "/dir is a directory"},
      {dir_ + "/fifo", "Run history not kept: " + dir_ + "/fifo is not a plain file"},
  };
  for (const Case& c : cases) {
    Settings s = Make();
    s.path = c.path;
    std::string warning;
    EXPECT_EQ(RunHistory::Open(std::move(s), &warning), nullptr);
    EXPECT_EQ(warning, c.warning);
  }
}

TEST_F(HistoryTest, FullDisk_RunsGoOnUnrecordedWithOneLogLineAMinute) {
  Settings s = Make();
  s.fullDisk = true;
  auto history = Open(std::move(s));
  int failures = 0;
  for (int i = 0; i < 2000 && failures < 5; ++i) {
    std::shared_ptr<history::Run> run = history->Begin(Start("JOB"));
    if (!run) {
      ++failures;
      continue;
    }
    run->Output(kStdout, "x", 1);
    run->End({});
  }
  ASSERT_EQ(failures, 5);
  ASSERT_EQ(logs_.size(), 1u);
  EXPECT_TRUE(
      logs_[0].starts_with("Run history: recording the start of JOB: database or disk is "
                           "full"))
      << logs_[0];
  now_ += 61'000;
  EXPECT_EQ(history->Begin(Start("JOB")), nullptr);
  EXPECT_EQ(logs_.size(), 2u);
}

TEST_F(HistoryTest, Retention_PrunesByDaysAndByRunsPerJob) {
  Settings s = Make();
  s.retention = [](const std::string& job) {
    return job == "OLD" ? Retention{1, 0} : Retention{0, 2};
  };
  auto history = Open(std::move(s));
  std::vector<int64_t> old, many;
  for (int i = 0; i < 3; ++i) {
    RunStart start = Start("OLD");
    start.started = kNow - (i == 0 ? 2 : 0) * 86'400'000 - 1;
    old.push_back(history->Record(start, {}));
  }
  for (int i = 0; i < 4; ++i) many.push_back(history->Record(Start("MANY"), {}));
  std::shared_ptr<history::Run> open = history->Begin(Start("MANY"));  // running: never pruned
  history->Prune();
  Query all;
  all.limit = 100;
  std::vector<int64_t> kept;
  for (const RunRecord& r : history->Find(all)) kept.push_back(r.id);
  // The running one counts among the newest two.
  EXPECT_EQ(kept, (std::vector<int64_t>{open->id(), many[3], old[2], old[1]}));
}

// Each case: the retention of job A (B keeps everything), the runs made as
// (job, days before now, whether it ended), and the indexes of those kept.
struct PruneCase {
  const char* name;
  Retention keepA;
  std::vector<std::tuple<const char*, int64_t, bool>> runs;  // start offset in ms before kNow
  std::vector<size_t> kept;
};

TEST_F(HistoryTest, Prune_DropsExactlyTheRunsPastTheRetentionOfTheirOwnJob) {
  constexpr int64_t kDay = 86'400'000;
  const std::vector<PruneCase> cases = {
      {"age: the cutoff itself stays, older goes, other job and open runs stay",
       {1, 0},
       {{"A", kDay + 1, true},
        {"A", kDay, true},
        {"B", 5 * kDay, true},
        {"A", 3 * kDay, false},
        {"A", 2 * kDay, true},
        {"A", 0, true}},
       {1, 2, 3, 5}},
      {"count: the newest two of A, a running one among them",
       {0, 2},
       {{"A", 0, true}, {"B", 0, true}, {"A", 0, true}, {"A", 0, true}, {"A", 0, false}},
       {1, 3, 4}},
      {"count beside age: whichever drops more",
       {1, 3},
       {{"A", 0, true}, {"A", 2 * kDay, true}, {"A", 0, true}, {"A", 0, true}, {"A", 0, true}},
       {2, 3, 4}},
      {"nothing to drop", {1, 5}, {{"A", 0, true}, {"B", 9 * kDay, true}}, {0, 1}},
  };
  for (const PruneCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directory(dir_);
    Settings s = Make();
    s.retention = [&c](const std::string& job) { return job == "A" ? c.keepA : Retention{0, 0}; };
    auto history = Open(std::move(s));
    std::vector<int64_t> ids;
    std::vector<std::shared_ptr<history::Run>> open;
    for (const auto& [job, age, ended] : c.runs) {
      RunStart start = Start(job);
      start.started = kNow - age;
      if (ended) {
        ids.push_back(history->Record(start, {}));
      } else {
        open.push_back(history->Begin(start));
        ids.push_back(open.back()->id());
      }
    }
    history->Prune();
    Query all;
    all.limit = 100;
    std::vector<int64_t> kept, want;
    for (const RunRecord& r : history->Find(all)) kept.insert(kept.begin(), r.id);
    for (size_t i : c.kept) want.push_back(ids[i]);
    EXPECT_EQ(kept, want);
  }
}

TEST_F(HistoryTest, Prune_ManyStepsKeepTheNewestAndWalkAnIndex) {
  Settings s = Make();
  s.retention = [](const std::string&) { return Retention{1, 10}; };
  auto history = Open(std::move(s));
  std::vector<int64_t> ids;
  for (int i = 0; i < 2500; ++i) ids.push_back(history->Record(Start(i % 2 ? "A" : "B"), {}));
  history->Prune();
  Query all;
  all.limit = 100;
  std::vector<int64_t> kept, want;
  for (const RunRecord& r : history->Find(all)) kept.push_back(r.id);
  for (int i = 2499; i >= 2480; --i) want.push_back(ids[static_cast<size_t>(i)]);
  EXPECT_EQ(kept, want);
  // Each pick starts from an index of the job, never from a scan of runs.
  history.reset();
  std::optional<sql::Database> db =
      sql::Database::Open(dir_ + "/history.db", sql::Database::Mode::ReadWriteCreate, nullptr);
  ASSERT_TRUE(db);
  ASSERT_TRUE(db->Execute("CREATE TEMP TABLE doomed(id INTEGER PRIMARY KEY)"));
  for (const char* pick : {kPickOlderThan, kPickUpTo}) {
    const std::string explain = std::string("EXPLAIN QUERY PLAN ") + pick;
    sql::Statement plan(*db, explain.c_str());
    std::string steps;
    while (plan.Step() == sql::Statement::Result::Row) steps += plan.Text(3) + "; ";
    EXPECT_NE(steps.find(pick == kPickUpTo ? "USING INDEX runs_job (job=? AND id<?)"
                                           : "USING INDEX runs_job_started (job=? AND started<?)"),
              std::string::npos)
        << steps;
  }
  // The run lists take their rows in id order, newest first, without a sort.
  for (const char* find : {kFindOfJob, kFindOfAll}) {
    const std::string explain = std::string("EXPLAIN QUERY PLAN SELECT id") + find;
    sql::Statement plan(*db, explain.c_str());
    std::string steps;
    while (plan.Step() == sql::Statement::Result::Row) steps += plan.Text(3) + "; ";
    EXPECT_EQ(steps,
              find == kFindOfJob ? "SEARCH runs USING INDEX runs_job (job=?); " : "SCAN runs; ")
        << steps;
  }
}

TEST_F(HistoryTest, SecondOwner_IsRefusedAndLeavesTheFirstOnesRunsOpen) {
  auto first = Open(Make());
  std::shared_ptr<history::Run> running = first->Begin(Start("A"));
  ASSERT_TRUE(running);
  std::string warning;
  EXPECT_EQ(RunHistory::Open(Make(), &warning), nullptr);
  EXPECT_EQ(warning, "Run history not kept: " + dir_ + "/history.db is in use by another server");
  const std::optional<RunRecord> record = first->FindRun(running->id());
  ASSERT_TRUE(record);
  EXPECT_EQ(record->outcome, "");
  // Once the first owner is gone, the file is free; the run it left open is
  // then closed as interrupted.
  running.reset();
  first.reset();
  auto second = Open(Make());
  ASSERT_TRUE(second);
  EXPECT_EQ(second->FindRun(record->id)->outcome, kInterrupted);
}

TEST_F(HistoryTest, Migrate_AFileOfTheVersionBeforeLosesTheStartIndexAndKeepsItsRuns) {
  int64_t id = 0;
  {
    auto history = Open(Make());
    id = history->Record(Start("A"), {});
  }
  {
    // The file as the previous version left it.
    std::optional<sql::Database> db =
        sql::Database::Open(dir_ + "/history.db", sql::Database::Mode::ReadWriteCreate, nullptr);
    ASSERT_TRUE(db);
    ASSERT_TRUE(db->Execute("CREATE INDEX runs_started ON runs(started); PRAGMA user_version = 3"));
  }
  auto history = Open(Make());
  const std::optional<RunRecord> run = history->FindRun(id);
  ASSERT_TRUE(run);
  EXPECT_EQ(run->start.job, "A");
  history.reset();
  std::optional<sql::Database> db =
      sql::Database::Open(dir_ + "/history.db", sql::Database::Mode::ReadOnly, nullptr);
  ASSERT_TRUE(db);
  EXPECT_EQ(db->QueryText("PRAGMA user_version"), std::to_string(kSchemaVersion));
  EXPECT_EQ(db->QueryText("SELECT count(*) FROM sqlite_master WHERE name = 'runs_started'"), "0");
}

TEST_F(HistoryTest, PreparedStatements_AreResetAfterAFailureAndLeaveNoTransactionOpen) {
  std::optional<sql::Database> db =
      sql::Database::Open(dir_ + "/kept.db", sql::Database::Mode::ReadWriteCreate, nullptr);
  ASSERT_TRUE(db);
  ASSERT_TRUE(db->Execute("CREATE TABLE t(k INTEGER PRIMARY KEY, v TEXT)"));
  constexpr const char* kInsert = "INSERT INTO t(k, v) VALUES(?, ?)";
  struct Step {
    int64_t key;
    const char* value;  // null: left unbound
    bool commit;
    bool ok;
  };
  const Step steps[] = {
      {1, "one", true, true},
      {1, "again", true, false},  // the key is taken: fails, rolled back
      {2, nullptr, false, true},  // not committed: rolled back
      {3, nullptr, true, true},   // bindings of the step before are gone
  };
  for (const Step& step : steps) {
    sql::Transaction transaction(*db);
    ASSERT_TRUE(transaction.began()) << step.key;
    sql::Statement& insert = db->Prepared(kInsert);
    EXPECT_EQ(&insert, &db->Prepared(kInsert));
    insert.Bind(1, step.key);
    if (step.value) insert.Bind(2, std::string_view(step.value));
    EXPECT_EQ(insert.Run(), step.ok) << step.key;
    if (step.commit && step.ok) {
      EXPECT_TRUE(transaction.Commit()) << step.key;
    }
  }
  EXPECT_EQ(db->QueryText("SELECT group_concat(k || '=' || ifnull(v, 'null'), ' ') FROM t"),
            "1=one 3=null");
}

TEST_F(HistoryTest, Find_FiltersNewestFirstAndReadsBackEveryField) {
  auto history = Open(Make());
  RunEnd end{kKilled, 1, 4321, kEndedByAdmin, ""};
  const int64_t a = history->Record(Start("A", "ann"), end);
  const int64_t b = history->Record(Start("B", "bob"), {});
  const int64_t c = history->Record(Start("A", "bob"), {});
  struct Case {
    std::string job, user;
    bool hideB;
    std::vector<int64_t> ids;
  };
  const std::vector<Case> cases = {
      {"", "", false, {c, b, a}}, {"A", "", false, {c, a}}, {"", "bob", false, {c, b}},
      {"", "", true, {c, a}},     {"B", "ann", false, {}},
  };
  for (const Case& k : cases) {
    Query q;
    q.job = k.job;
    q.user = k.user;
    if (k.hideB) q.visible = [](const std::string& job) { return job != "B"; };
    std::vector<int64_t> ids;
    for (const RunRecord& r : history->Find(q)) ids.push_back(r.id);
    EXPECT_EQ(ids, k.ids) << k.job << "/" << k.user;
  }
  const RunRecord r = *history->FindRun(a);
  EXPECT_EQ(r.start.job, "A");
  EXPECT_EQ(r.start.user + "@" + r.start.node + " " + r.start.address, "ann@pc1 127.0.0.1");
  EXPECT_EQ(r.start.arguments, (std::vector<std::string>{"a b", ""}));
  EXPECT_EQ(r.start.fields, (std::vector<std::string>{"1=x", "2=***"}));
  EXPECT_EQ(r.start.started, kNow);
  EXPECT_EQ(r.processId, 4321u);
  EXPECT_EQ(r.outcome, kKilled);
  EXPECT_EQ(r.endedBy, kEndedByAdmin);
}

TEST_F(HistoryTest, Follow_GetsOutputAfterWhatIsStoredAndTheEnd) {
  auto history = Open(Make());
  std::shared_ptr<history::Run> run = history->Begin(Start("JOB"));
  run->Output(kStdout, "before", 6);
  std::vector<std::string> seen;
  bool ended = false;
  std::optional<FollowHandle> follow =
      history->Follow(run->id(), [&](const OutputChunk& chunk, bool end) {
        if (end)
          ended = true;
        else
          seen.push_back(chunk.data);
      });
  ASSERT_TRUE(follow);
  EXPECT_EQ(history->ReadOutput(run->id())->chunks,
            (std::vector<OutputChunk>{{kStdout, "before"}}));
  run->Output(kStderr, "after", 5);
  run->End({});
  EXPECT_EQ(seen, (std::vector<std::string>{"after"}));
  EXPECT_TRUE(ended);
  EXPECT_FALSE(history->Follow(run->id(), [](const OutputChunk&, bool) {}));
}

}  // namespace
}  // namespace kestrun::history
