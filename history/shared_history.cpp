#include "history/shared_history.h"

#include <algorithm>
#include <map>
#include <utility>

#include "history/schema.h"

namespace kestrun::history {

namespace {

constexpr int kBatch = 500;  // records per transaction
constexpr int kConnectTimeoutSeconds = 5;
constexpr int64_t kUnreachableLogInterval = 60'000;  // ms between two lines
constexpr int kBusyTimeoutMs = 5000;
constexpr int kFindPage = 200;  // rows read at a time while filtering
// How often the sender looks at the outbox without being woken.
constexpr std::chrono::milliseconds kOutputPoll{750};

// The outbox's runs after run ?1, oldest first, with the version to delete
// once sent.
constexpr const char* kSelectOutbox =
    "SELECT run, version FROM outbox WHERE run > ? ORDER BY run LIMIT ?";

// A run of the file, in the order of kUpsertRun's parameters from $2.
constexpr const char* kSelectRun =
    "SELECT id, job, user, node, address, origin, arguments, fields, listbox, started, ended, pid,"
    " exit_code, outcome, ended_by, output_bytes, left_out, message FROM runs WHERE id = ?";
constexpr int kOutputBytesColumn = 15;
constexpr int kStartedColumn = 9;

// The output chunks of run ?1 still to send: the head chunks after ?2, and
// the tail window (seq ?3 and up) when ?4 is 1.
constexpr const char* kSelectOutput =
    "SELECT seq, stream, data FROM output WHERE run = ?1 AND seq > ?2 AND (seq < ?3 OR ?4 = 1)"
    " ORDER BY seq";

// What the shared database holds of the runs $2 (an array) of server $1:
// their start, output bytes and last head chunk (below seq $3).
constexpr const char* kSharedState =
    "SELECT r.id, r.started, r.output_bytes, (SELECT max(o.seq) FROM kestrun_output o"
    " WHERE o.server = r.server AND o.run = r.id AND o.seq < $3)"
    " FROM kestrun_runs r WHERE r.server = $1 AND r.id = ANY($2::bigint[])";

constexpr const char* kUpsertChunk =
    "INSERT INTO kestrun_output(server, run, seq, stream, data) VALUES($1, $2, $3, $4, $5)"
    " ON CONFLICT(server, run, seq) DO UPDATE SET stream = EXCLUDED.stream, data = EXCLUDED.data";
constexpr const char* kDropChunks =
    "DELETE FROM kestrun_output WHERE server = $1 AND run = $2 AND seq >= $3";
// The runs pruned from the file ($2, an array), with their output.
constexpr const char* kDropPrunedOutput =
    "DELETE FROM kestrun_output WHERE server = $1 AND run = ANY($2::bigint[])";
constexpr const char* kDropPrunedRuns =
    "DELETE FROM kestrun_runs WHERE server = $1 AND id = ANY($2::bigint[])";

// One run of the shared history (the columns of kFindShared), and its output.
constexpr const char* kSelectSharedRun =
    "SELECT server, id, job, \"user\", node, address, origin, arguments, fields, listbox,"
    " started, ended, pid, exit_code, outcome, ended_by, output_bytes, message, left_out"
    " FROM kestrun_runs WHERE server = $1 AND id = $2";
constexpr const char* kSelectSharedOutput =
    "SELECT seq, stream, data FROM kestrun_output WHERE server = $1 AND run = $2 ORDER BY seq";

// A batch stops taking runs once their output passes this many bytes.
constexpr size_t kBatchBytes = 8 * 1024 * 1024;

constexpr const char* kUpsertRun =
    "INSERT INTO kestrun_runs(server, id, job, \"user\", node, address, origin, arguments, fields,"
    " listbox, started, ended, pid, exit_code, outcome, ended_by, output_bytes, left_out, message)"
    " VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, $17, $18, $19)"
    " ON CONFLICT(server, id) DO UPDATE SET job = EXCLUDED.job, \"user\" = EXCLUDED.\"user\","
    " node = EXCLUDED.node, address = EXCLUDED.address, origin = EXCLUDED.origin,"
    " arguments = EXCLUDED.arguments, fields = EXCLUDED.fields, listbox = EXCLUDED.listbox,"
    " started = EXCLUDED.started, ended = EXCLUDED.ended, pid = EXCLUDED.pid,"
    " exit_code = EXCLUDED.exit_code, outcome = EXCLUDED.outcome, ended_by = EXCLUDED.ended_by,"
    " output_bytes = EXCLUDED.output_bytes, left_out = EXCLUDED.left_out,"
    " message = EXCLUDED.message";

// Keyset paging, newest first: rows before (started, server, id) = ($5,
// $6, $7) when $8 is 1.
constexpr const char* kFindShared =
    "SELECT server, id, job, \"user\", node, address, origin, arguments, fields, listbox,"
    " started, ended, pid, exit_code, outcome, ended_by, output_bytes, message, left_out"
    " FROM kestrun_runs WHERE ($1 = '' OR server = $1) AND ($2 = '' OR job = $2)"
    " AND ($3 = '' OR \"user\" = $3) AND started >= $4"
    " AND ($8 = 0 OR (started, server, id) < ($5, $6, $7))"
    " ORDER BY started DESC, server DESC, id DESC LIMIT $9";

constexpr const char* kHeartbeat =
    "INSERT INTO kestrun_servers(name, console, version, running, last_seen)"
    " VALUES($1, $2, $3, $4, $5) ON CONFLICT(name) DO UPDATE SET console = EXCLUDED.console,"
    " version = EXCLUDED.version, running = EXCLUDED.running, last_seen = EXCLUDED.last_seen";

}  // namespace

SharedHistory::SharedHistory(SharedSettings settings, std::string path, Acknowledge acknowledge,
                             std::function<int64_t()> clock,
                             std::function<void(const std::string&)> log)
    : settings_(std::move(settings)),
      path_(std::move(path)),
      acknowledge_(std::move(acknowledge)),
      clock_(std::move(clock)),
      log_(std::move(log)),
      console_(settings_.console) {
  if (settings_.startSender) sender_ = std::thread([this] { SenderLoop(); });
}

SharedHistory::~SharedHistory() {
  {
    std::lock_guard<std::mutex> wake(wakeLock_);
    stopping_ = true;
  }
  wake_.notify_all();
  {
    // A query waiting on a lock in the database must not hold up the stop.
    std::lock_guard<std::mutex> cancel(cancelLock_);
    if (canceller_) canceller_->Cancel();
  }
  if (sender_.joinable()) sender_.join();
}

void SharedHistory::Wake() {
  // Only noted: the sender looks at the interval's end, so that the runs of
  // a busy moment go in one batch and its work stays off the runs' way.
  std::lock_guard<std::mutex> wake(wakeLock_);
  wanted_ = true;
}

void SharedHistory::SetConsole(std::string console) {
  {
    std::lock_guard<std::mutex> hold(consoleLock_);
    console_ = std::move(console);
    consoleChanged_ = true;
  }
  Wake();
}

void SharedHistory::SenderLoop() {
  bool failed = false;
  auto lastPass = std::chrono::steady_clock::now();
  for (;;) {
    {
      std::unique_lock<std::mutex> wake(wakeLock_);
      // After a failure the database is tried again once a second.
      const auto wait = failed ? std::max(settings_.sendInterval, std::chrono::milliseconds(1000))
                               : settings_.sendInterval;
      if (wake_.wait_for(wake, wait, [this] { return stopping_; })) return;
      const bool beatDue = !beaten_ || clock_() - lastBeat_ >= settings_.heartbeatInterval;
      // The output of running runs marks the outbox without a wake-up: it
      // is looked for at the poll interval.
      const bool pollDue = std::chrono::steady_clock::now() - lastPass >= kOutputPoll;
      if (!wanted_ && !failed && !beatDue && !pollDue) continue;
      wanted_ = false;
    }
    lastPass = std::chrono::steady_clock::now();
    failed = !SendOnce();
  }
}

void SharedHistory::Unreachable(const std::string& why) {
  // One line a minute: a database away for a day must not fill the log.
  const int64_t now = clock_();
  if (unreachableLogged_ && now - lastUnreachableLog_ < kUnreachableLogInterval) return;
  unreachableLogged_ = true;
  lastUnreachableLog_ = now;
  if (log_)
    log_("Shared run history unreachable: " + why + " (runs are kept locally and sent later)");
}

bool SharedHistory::Connect() {
  if (connection_ && connection_->Alive()) return true;
  {
    std::lock_guard<std::mutex> cancel(cancelLock_);
    canceller_.reset();
  }
  connection_.reset();
  std::string error;
  std::optional<pg::Connection> db =
      pg::Connection::Open(settings_.conninfo, kConnectTimeoutSeconds, &error);
  if (!db) {
    Unreachable(error);
    return false;
  }
  if (!MigrateShared(*db, &error)) {
    Unreachable(error);
    return false;
  }
  {
    std::lock_guard<std::mutex> cancel(cancelLock_);
    canceller_.emplace(db->MakeCanceller());
  }
  connection_ = std::move(db);
  if (unreachableLogged_ && log_) log_("Shared run history reachable again");
  unreachableLogged_ = false;
  return true;
}

bool SharedHistory::SendOnce() {
  if (!outbox_) {
    std::string error;
    outbox_ = sql::Database::Open(path_, sql::Database::Mode::ReadOnly, &error);
    if (!outbox_) return false;
    outbox_->SetBusyTimeout(kBusyTimeoutMs);
  }
  if (!Connect()) return false;
  // One sweep over the outbox: the runs whose output keeps coming mark it
  // again as soon as they are sent, and would otherwise hold the pass (and
  // the runs after them) for as long as they run.
  bool more = true;
  int64_t after = 0;
  while (more) {
    {
      std::lock_guard<std::mutex> wake(wakeLock_);
      if (stopping_) return false;
    }
    if (!SendBatch(&after, &more)) return false;
  }
  Heartbeat();
  return true;
}

// The parameters of kUpsertRun for the run `select` (kSelectRun) is on.
static pg::Params UpsertOf(const std::string& server, const sql::Statement& select) {
  pg::Params p;
  p.Add(server).Add(select.Int(0));
  for (int column = 1; column <= 5; ++column) p.Add(select.Text(column));
  for (int column = 6; column <= 8; ++column) p.AddBytes(select.Text(column));
  p.Add(select.Int(kStartedColumn));
  for (int column = 10; column <= 17; ++column) {
    if (select.IsNull(column))
      p.AddNull();
    else if (column <= 12 || column == 15 || column == 16)
      p.Add(select.Int(column));
    else
      p.Add(select.Text(column));
  }
  return p;
}

namespace {

// What the shared database holds of one run of this server.
struct SharedState {
  int64_t started = 0;
  int64_t outputBytes = 0;
  int64_t lastHead = -1;  // the last head chunk's seq; -1: none
};

// A run of the file to send: its record and the output chunks the shared
// database lacks.
struct Outgoing {
  int64_t run = 0;
  pg::Params upsert;
  int64_t dropFrom = -1;  // the database's chunks from this seq go first; -1: none
  struct Chunk {
    int64_t seq = 0;
    int64_t stream = 0;
    std::string data;
  };
  std::vector<Chunk> chunks;
};

// A bigint[] parameter's text.
std::string ArrayOf(const std::vector<int64_t>& ids) {
  std::string text = "{";
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i > 0) text.push_back(',');
    text += std::to_string(ids[i]);
  }
  text.push_back('}');
  return text;
}

}  // namespace

bool SharedHistory::SendBatch(int64_t* after, bool* more) {
  // The outbox's rows, then what the database holds of their runs, then
  // (in one read transaction of the file, closed before the database is
  // written, so that it never holds back checkpoints) the runs and the
  // output the database lacks. A run changed after its outbox row was read
  // is sent as it is now; its row's newer version keeps it for the next
  // batch, which then finds nothing new.
  std::vector<std::pair<int64_t, int64_t>> outbox;  // (run, version)
  {
    sql::Statement select(*outbox_, kSelectOutbox);
    select.Bind(1, *after).Bind(2, int64_t{kBatch});
    while (select.Step() == sql::Statement::Result::Row)
      outbox.emplace_back(select.Int(0), select.Int(1));
  }
  *more = outbox.size() == static_cast<size_t>(kBatch);
  if (outbox.empty()) return true;
  pg::Connection& db = *connection_;
  std::map<int64_t, SharedState> held;
  {
    std::vector<int64_t> ids;
    for (const auto& [run, version] : outbox) ids.push_back(run);
    pg::Result state = db.Query(
        kSharedState, pg::Params().Add(settings_.serverName).Add(ArrayOf(ids)).Add(kTailSeqBase));
    if (!state.ok()) {
      Unreachable(db.ErrorText());
      return false;
    }
    for (int i = 0; i < state.rows(); ++i)
      held[state.Int(i, 0)] = {state.Int(i, 1), state.Int(i, 2),
                               state.Text(i, 3).empty() ? -1 : state.Int(i, 3)};
  }
  std::vector<int64_t> pruned;
  std::vector<Outgoing> runs;
  size_t taken = 0;
  {
    if (!outbox_->Execute("BEGIN")) return false;
    sql::Statement select(*outbox_, kSelectRun);
    sql::Statement output(*outbox_, kSelectOutput);
    size_t bytes = 0;
    for (; taken < outbox.size() && bytes < kBatchBytes; ++taken) {
      const int64_t run = outbox[taken].first;
      select.Reset();
      select.Bind(1, run);
      if (select.Step() != sql::Statement::Result::Row) {
        pruned.push_back(run);
        continue;
      }
      Outgoing out;
      out.run = run;
      out.upsert = UpsertOf(settings_.serverName, select);
      // Head chunks never change once written: only those after the
      // database's last go. The tail window is rewritten as it moves: it
      // goes whole whenever the output grew. A run the database holds with
      // another start (a new file under the same server name) goes whole.
      const auto it = held.find(run);
      int64_t lastHead = -1;
      bool tail = true;
      if (it == held.end()) {
        out.dropFrom = -1;
      } else if (it->second.started != select.Int(kStartedColumn)) {
        out.dropFrom = 0;
      } else {
        lastHead = it->second.lastHead;
        tail = it->second.outputBytes != select.Int(kOutputBytesColumn);
        out.dropFrom = tail ? kTailSeqBase : -1;
      }
      output.Reset();
      output.Bind(1, run).Bind(2, lastHead).Bind(3, kTailSeqBase).Bind(4, int64_t{tail ? 1 : 0});
      while (output.Step() == sql::Statement::Result::Row) {
        out.chunks.push_back({output.Int(0), output.Int(1), output.Text(2)});
        bytes += out.chunks.back().data.size();
      }
      runs.push_back(std::move(out));
    }
  }
  outbox_->Execute("ROLLBACK");
  if (taken < outbox.size()) *more = true;
  *after = outbox[taken - 1].first;
  if (!db.Execute("BEGIN")) {
    Unreachable(db.ErrorText());
    return false;
  }
  if (!pruned.empty()) {
    // Only this server's rows: the key starts with its name.
    const pg::Params p = pg::Params().Add(settings_.serverName).Add(ArrayOf(pruned));
    if (!db.Query(kDropPrunedOutput, p).ok() || !db.Query(kDropPrunedRuns, p).ok()) {
      Unreachable(db.ErrorText());
      db.Execute("ROLLBACK");
      return false;
    }
  }
  for (const Outgoing& out : runs) {
    pg::Result upsert = db.Query(kUpsertRun, out.upsert);
    if (!upsert.ok()) {
      const std::string why = db.ErrorText();
      db.Execute("ROLLBACK");
      // A record the database refuses for its data (class 22: bytes that
      // are not text in its encoding, ...) would block the outbox for ever:
      // it is left out, with a line. Anything else is tried again.
      if (db.Alive() && upsert.SqlState().rfind("22", 0) == 0) {
        if (log_) log_("Shared run history refused run " + std::to_string(out.run) + ": " + why);
        acknowledge_({{out.run, 0}});
      } else {
        Unreachable(why);
      }
      return false;
    }
    bool ok = true;
    if (out.dropFrom >= 0)
      ok = db.Query(kDropChunks,
                    pg::Params().Add(settings_.serverName).Add(out.run).Add(out.dropFrom))
               .ok();
    for (size_t i = 0; ok && i < out.chunks.size(); ++i) {
      const Outgoing::Chunk& chunk = out.chunks[i];
      pg::Params p;
      p.Add(settings_.serverName)
          .Add(out.run)
          .Add(chunk.seq)
          .Add(chunk.stream)
          .AddBytes(chunk.data);
      ok = db.Query(kUpsertChunk, p).ok();
    }
    if (!ok) {
      Unreachable(db.ErrorText());
      db.Execute("ROLLBACK");
      return false;
    }
  }
  if (!db.Execute("COMMIT")) {
    Unreachable(db.ErrorText());
    return false;
  }
  // Only the versions sent leave the outbox: a run changed meanwhile goes
  // again with the next batch.
  outbox.resize(taken);
  acknowledge_(outbox);
  return true;
}

void SharedHistory::Heartbeat() {
  const int64_t now = clock_();
  std::string console;
  {
    std::lock_guard<std::mutex> hold(consoleLock_);
    if (beaten_ && !consoleChanged_ && now - lastBeat_ < settings_.heartbeatInterval) return;
    consoleChanged_ = false;
    console = console_;
  }
  pg::Params p;
  p.Add(settings_.serverName)
      .Add(console)
      .Add(settings_.version)
      .Add(int64_t{settings_.runningJobs ? settings_.runningJobs() : 0})
      .Add(now);
  if (!connection_->Query(kHeartbeat, p).ok()) {
    // The next pass writes the row again, with the console address.
    std::lock_guard<std::mutex> hold(consoleLock_);
    consoleChanged_ = true;
    return Unreachable(connection_->ErrorText());
  }
  beaten_ = true;
  lastBeat_ = now;
}

std::optional<pg::Connection> SharedHistory::Reader(std::string* error) {
  {
    std::lock_guard<std::mutex> read(readLock_);
    if (reader_ && reader_->Alive()) return std::exchange(reader_, std::nullopt);
    reader_.reset();
  }
  std::optional<pg::Connection> db =
      pg::Connection::Open(settings_.conninfo, kConnectTimeoutSeconds, error);
  if (db && !MigrateShared(*db, error)) return std::nullopt;
  return db;
}

void SharedHistory::ReturnReader(std::optional<pg::Connection> reader) {
  std::lock_guard<std::mutex> read(readLock_);
  if (reader && reader->Alive()) reader_ = std::move(reader);
}

// The record on row `i` of a kFindShared or kSelectSharedRun result.
static SharedRecord SharedRecordOf(const pg::Result& rows, int i) {
  SharedRecord r;
  r.server = rows.Text(i, 0);
  r.run.id = rows.Int(i, 1);
  r.run.start.job = rows.Text(i, 2);
  r.run.start.user = rows.Text(i, 3);
  r.run.start.node = rows.Text(i, 4);
  r.run.start.address = rows.Text(i, 5);
  r.run.start.origin = rows.Text(i, 6);
  r.run.start.arguments = SplitList(rows.Bytes(i, 7));
  r.run.start.fields = SplitList(rows.Bytes(i, 8));
  r.run.start.listBox = SplitList(rows.Bytes(i, 9));
  r.run.start.started = rows.Int(i, 10);
  r.run.ended = rows.Int(i, 11);
  r.run.processId = static_cast<uint32_t>(rows.Int(i, 12));
  r.run.exitCode = static_cast<int32_t>(rows.Int(i, 13));
  r.run.outcome = rows.Text(i, 14);
  r.run.endedBy = rows.Text(i, 15);
  r.run.outputBytes = rows.Int(i, 16);
  r.run.message = rows.Text(i, 17);
  return r;
}

std::optional<std::vector<SharedRecord>> SharedHistory::Find(const SharedQuery& query,
                                                             std::string* error) {
  std::optional<pg::Connection> db = Reader(error);
  if (!db) return std::nullopt;
  std::vector<SharedRecord> records;
  SharedRecord last;
  bool after = false;
  while (static_cast<int32_t>(records.size()) < query.limit) {
    pg::Params p;
    p.Add(query.server).Add(query.job).Add(query.user).Add(query.since);
    p.Add(last.run.start.started).Add(last.server).Add(last.run.id).Add(int64_t{after ? 1 : 0});
    p.Add(int64_t{kFindPage});
    pg::Result rows = db->Query(kFindShared, p);
    if (!rows.ok()) {
      *error = db->ErrorText();
      return std::nullopt;
    }
    for (int i = 0; i < rows.rows() && static_cast<int32_t>(records.size()) < query.limit; ++i) {
      SharedRecord r = SharedRecordOf(rows, i);
      last = r;
      after = true;
      if (!query.visible || query.visible(r.run.start.job)) records.push_back(std::move(r));
    }
    if (rows.rows() < kFindPage) break;
  }
  ReturnReader(std::move(db));
  return records;
}

SharedHistory::Lookup SharedHistory::ReadRun(const std::string& server, int64_t id, bool withOutput,
                                             SharedRun* out, std::string* error) {
  std::optional<pg::Connection> db = Reader(error);
  if (!db) return Lookup::Unreadable;
  // One snapshot: the left-out count and the chunks of the same moment.
  if (!db->Execute("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")) {
    *error = db->ErrorText();
    return Lookup::Unreadable;
  }
  const pg::Params key = pg::Params().Add(server).Add(id);
  pg::Result run = db->Query(kSelectSharedRun, key);
  pg::Result chunks;
  if (run.ok() && run.rows() == 1 && withOutput) chunks = db->Query(kSelectSharedOutput, key);
  if (!run.ok() || (run.rows() == 1 && withOutput && !chunks.ok())) {
    *error = db->ErrorText();
    return Lookup::Unreadable;
  }
  db->Execute("COMMIT");
  ReturnReader(std::move(db));
  if (run.rows() != 1) return Lookup::Unknown;
  out->run = SharedRecordOf(run, 0).run;
  out->output = {};
  out->output.leftOut = run.Int(0, 18);
  for (int i = 0; i < chunks.rows(); ++i) {
    if (chunks.Int(i, 0) < kTailSeqBase) ++out->output.leftOutAt;
    out->output.chunks.push_back({static_cast<uint32_t>(chunks.Int(i, 1)), chunks.Bytes(i, 2)});
  }
  if (out->output.leftOut == 0) out->output.leftOutAt = 0;
  return Lookup::Found;
}

std::optional<std::vector<ServerRow>> SharedHistory::Servers(std::string* error) {
  std::optional<pg::Connection> db = Reader(error);
  if (!db) return std::nullopt;
  pg::Result rows = db->Query(
      "SELECT name, console, version, running, last_seen FROM kestrun_servers"
      " ORDER BY name");
  if (!rows.ok()) {
    *error = db->ErrorText();
    return std::nullopt;
  }
  std::vector<ServerRow> servers;
  for (int i = 0; i < rows.rows(); ++i)
    servers.push_back({rows.Text(i, 0), rows.Text(i, 1), rows.Text(i, 2),
                       static_cast<int32_t>(rows.Int(i, 3)), rows.Int(i, 4)});
  ReturnReader(std::move(db));
  return servers;
}

}  // namespace kestrun::history
