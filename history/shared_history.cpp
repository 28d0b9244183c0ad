#include "history/shared_history.h"

#include <algorithm>
#include <utility>

#include "history/schema.h"

namespace kestrun::history {

namespace {

constexpr int kBatch = 500;  // records per transaction
constexpr int kConnectTimeoutSeconds = 5;
constexpr int64_t kUnreachableLogInterval = 60'000;  // ms between two lines
constexpr int kBusyTimeoutMs = 5000;
constexpr int kFindPage = 200;  // rows read at a time while filtering

// The outbox's runs, oldest first, with the version to delete once sent.
constexpr const char* kSelectOutbox =
    "SELECT o.run, o.version, r.job, r.user, r.node, r.address, r.origin, r.arguments, r.fields,"
    " r.listbox, r.started, r.ended, r.pid, r.exit_code, r.outcome, r.ended_by, r.output_bytes,"
    " r.left_out, r.message, r.id IS NULL FROM outbox o LEFT JOIN runs r ON r.id = o.run"
    " ORDER BY o.run LIMIT ?";

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
    " started, ended, pid, exit_code, outcome, ended_by, output_bytes, message"
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
  for (;;) {
    {
      std::unique_lock<std::mutex> wake(wakeLock_);
      // After a failure the database is tried again once a second.
      const auto wait = failed ? std::max(settings_.sendInterval, std::chrono::milliseconds(1000))
                               : settings_.sendInterval;
      if (wake_.wait_for(wake, wait, [this] { return stopping_; })) return;
      const bool beatDue = !beaten_ || clock_() - lastBeat_ >= settings_.heartbeatInterval;
      if (!wanted_ && !failed && !beatDue) continue;
      wanted_ = false;
    }
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
  bool more = true;
  while (more) {
    {
      std::lock_guard<std::mutex> wake(wakeLock_);
      if (stopping_) return false;
    }
    if (!SendBatch(&more)) return false;
  }
  Heartbeat();
  return true;
}

// The parameters of kUpsertRun for the outbox row `select` is on.
static pg::Params UpsertOf(const std::string& server, const sql::Statement& select) {
  pg::Params p;
  p.Add(server).Add(select.Int(0));
  for (int column = 2; column <= 6; ++column) p.Add(select.Text(column));
  for (int column = 7; column <= 9; ++column) p.AddBytes(select.Text(column));
  p.Add(select.Int(10));
  for (int column = 11; column <= 18; ++column) {
    if (select.IsNull(column))
      p.AddNull();
    else if (column <= 13 || column == 16 || column == 17)
      p.Add(select.Int(column));
    else
      p.Add(select.Text(column));
  }
  return p;
}

bool SharedHistory::SendBatch(bool* more) {
  // The batch is read whole first: no read transaction of the file stays
  // open while the database takes its time (it would hold back checkpoints).
  std::vector<std::pair<int64_t, int64_t>> sent;  // (run, version)
  std::vector<std::pair<int64_t, pg::Params>> rows;
  {
    sql::Statement select(*outbox_, kSelectOutbox);
    select.Bind(1, int64_t{kBatch});
    while (select.Step() == sql::Statement::Result::Row) {
      sent.emplace_back(select.Int(0), select.Int(1));
      if (select.Int(19) != 0) continue;  // pruned before it was sent
      rows.emplace_back(select.Int(0), UpsertOf(settings_.serverName, select));
    }
  }
  *more = sent.size() == static_cast<size_t>(kBatch);
  if (sent.empty()) return true;
  pg::Connection& db = *connection_;
  if (!db.Execute("BEGIN")) {
    Unreachable(db.ErrorText());
    return false;
  }
  for (const auto& [run, params] : rows) {
    pg::Result upsert = db.Query(kUpsertRun, params);
    if (upsert.ok()) continue;
    const std::string why = db.ErrorText();
    db.Execute("ROLLBACK");
    // A record the database refuses for its data (class 22: bytes that are
    // not text in its encoding, ...) would block the outbox for ever: it is
    // left out, with a line. Anything else is tried again.
    if (db.Alive() && upsert.SqlState().rfind("22", 0) == 0) {
      if (log_) log_("Shared run history refused run " + std::to_string(run) + ": " + why);
      acknowledge_({{run, 0}});
    } else {
      Unreachable(why);
    }
    return false;
  }
  if (!db.Execute("COMMIT")) {
    Unreachable(db.ErrorText());
    return false;
  }
  // Only the versions sent leave the outbox: a run changed meanwhile goes
  // again with the next batch.
  acknowledge_(sent);
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
      last = r;
      after = true;
      if (!query.visible || query.visible(r.run.start.job)) records.push_back(std::move(r));
    }
    if (rows.rows() < kFindPage) break;
  }
  ReturnReader(std::move(db));
  return records;
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
