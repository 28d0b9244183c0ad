#include "history/run_history.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "history/schema.h"
#include "platform/filesystem.h"

namespace kestrun::history {

namespace {

constexpr int64_t kFailureLogInterval = 60'000;  // ms between two failure lines
constexpr int kBusyTimeoutMs = 5000;
constexpr int kPruneStep = 1000;  // records deleted per transaction
// The flusher folds the write-ahead log into the file at most this often,
// from its own connection; the writer folds it itself only past the safety
// bound (a flusher that cannot keep up, or none).
constexpr int64_t kCheckpointInterval = 1000;  // ms
constexpr const char* kWriterCheckpointBound = "PRAGMA wal_autocheckpoint = 16384";
constexpr int kPickLimitParameter = 3;

constexpr const char* kRunColumns =
    "id, job, user, node, address, origin, arguments, fields, listbox, started, ended, pid,"
    " exit_code, outcome, ended_by, output_bytes, message";

RunRecord RecordOf(const sql::Statement& s) {
  RunRecord r;
  r.id = s.Int(0);
  r.start.job = s.Text(1);
  r.start.user = s.Text(2);
  r.start.node = s.Text(3);
  r.start.address = s.Text(4);
  r.start.origin = s.Text(5);
  r.start.arguments = SplitList(s.Text(6));
  r.start.fields = SplitList(s.Text(7));
  r.start.listBox = SplitList(s.Text(8));
  r.start.started = s.Int(9);
  r.ended = s.Int(10);
  r.processId = static_cast<uint32_t>(s.Int(11));
  r.exitCode = static_cast<int32_t>(s.Int(12));
  r.outcome = s.Text(13);
  r.endedBy = s.Text(14);
  r.outputBytes = s.Int(15);
  r.message = s.Text(16);
  return r;
}

// "YYYYMMDD-hhmmss" of a UTC time in ms.
std::string StampOf(int64_t ms) {
  using namespace std::chrono;
  const sys_seconds t{duration_cast<seconds>(milliseconds(ms))};
  const sys_days day = floor<days>(t);
  const year_month_day ymd{day};
  const hh_mm_ss hms{t - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02u%02u-%02ld%02ld%02ld", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<long>(hms.hours().count()), static_cast<long>(hms.minutes().count()),
                static_cast<long>(hms.seconds().count()));
  return text;
}

// Why `path` cannot hold a history, or empty. Checked before SQLite opens
// it: opening a FIFO would block the server's start.
std::string UnusablePath(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error && status.type() != fs::file_type::not_found)
    return "cannot read the status of " + path + ": " + error.message();
  if (status.type() == fs::file_type::not_found || status.type() == fs::file_type::regular)
    return {};
  if (status.type() == fs::file_type::directory) return path + " is a directory";
  return path + " is not a plain file";
}

bool Configure(sql::Database& db, std::string* error) {
  return db.Execute("PRAGMA journal_mode=WAL", error) &&
         db.Execute("PRAGMA synchronous=NORMAL", error) &&
         db.Execute("PRAGMA foreign_keys=OFF", error);
}

}  // namespace

int64_t SystemClockMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::unique_ptr<RunHistory> RunHistory::Open(Settings settings, std::string* warning) {
  if (!settings.clock) settings.clock = SystemClockMs;
  const std::string& path = settings.path;
  if (std::string why = UnusablePath(path); !why.empty()) {
    *warning = "Run history not kept: " + why;
    return nullptr;
  }
  // One server at a time owns the file: a second server of the same home
  // (which will find its port taken, say) must not close the first one's
  // running runs as interrupted.
  int lockError = 0;
  UniqueFd lock = LockFileExclusively(path + ".lock", &lockError);
  if (!lock) {
    *warning =
        "Run history not kept: " +
        (lockError == EWOULDBLOCK
             ? path + " is in use by another server"
             : "cannot lock " + path + ".lock: " + std::generic_category().message(lockError));
    return nullptr;
  }
  std::string error;
  std::optional<sql::Database> db =
      sql::Database::Open(path, sql::Database::Mode::ReadWriteCreate, &error);
  if (!db) {
    *warning = "Run history not kept: cannot open " + path + ": " + error;
    return nullptr;
  }
  if (db->ReadOnly()) {
    *warning = "Run history not kept: " + path + " is not writable";
    return nullptr;
  }
  db->SetBusyTimeout(kBusyTimeoutMs);
  // A damaged file is kept for inspection and a new one started: the
  // history must never keep the server from running jobs.
  std::string moved;
  const std::optional<std::string> check = db->QueryText("PRAGMA quick_check");
  if (!check || *check != "ok") {
    db.reset();
    const std::string aside = path + ".corrupt-" + StampOf(settings.clock());
    std::error_code renameError;
    std::filesystem::rename(path, aside, renameError);
    if (renameError) {
      *warning = "Run history not kept: " + path +
                 " is damaged and cannot be moved aside: " + renameError.message();
      return nullptr;
    }
    // Its write-ahead log and index belong to the damaged file.
    std::filesystem::remove(path + "-wal", renameError);
    std::filesystem::remove(path + "-shm", renameError);
    moved = "Run history " + path + " was damaged; moved aside as " + aside;
    db = sql::Database::Open(path, sql::Database::Mode::ReadWriteCreate, &error);
    if (!db) {
      *warning = "Run history not kept: cannot open " + path + ": " + error;
      return nullptr;
    }
    db->SetBusyTimeout(kBusyTimeoutMs);
  }
  if (!Configure(*db, &error) || !Migrate(*db, &error) ||
      !db->Execute(settings.startFlusher ? kWriterCheckpointBound : "SELECT 1", &error)) {
    *warning = "Run history not kept: " + path + ": " + error;
    return nullptr;
  }
  {
    // Runs left open by a server that did not see them end (and, when the
    // history is shared, sent again as interrupted).
    sql::Transaction transaction(*db);
    sql::Statement mark(
        *db,
        "INSERT INTO outbox(run, version) SELECT id, 1 FROM runs"
        " WHERE outcome IS NULL ON CONFLICT(run) DO UPDATE SET version = version + 1");
    sql::Statement close(*db, "UPDATE runs SET outcome = ?, ended = ? WHERE outcome IS NULL");
    close.Bind(1, std::string_view(kInterrupted)).Bind(2, settings.clock());
    if (!transaction.began() || (settings.shared && !mark.Run()) || !close.Run() ||
        !transaction.Commit()) {
      *warning = "Run history not kept: " + path + ": " + db->ErrorText();
      return nullptr;
    }
  }
  if (settings.fullDisk) db->Execute("PRAGMA max_page_count = 1");  // clamps to the size now
  if (!moved.empty()) *warning = moved;
  return std::unique_ptr<RunHistory>(
      new RunHistory(std::move(settings), std::move(*db), std::move(lock)));
}

RunHistory::RunHistory(Settings settings, sql::Database writer, UniqueFd lock)
    : settings_(std::move(settings)), lock_(std::move(lock)), writer_(std::move(writer)) {
  lastPrune_ = settings_.clock();
  if (settings_.shared)
    shared_ = std::make_unique<SharedHistory>(
        *settings_.shared, settings_.path, [this](const auto& sent) { Acknowledge(sent); },
        settings_.clock, settings_.log);
  if (settings_.startFlusher) {
    // Opened now, before the thread starts: the server's descriptors are all
    // open once the history is.
    // Its first checkpoint opens the log and index files it keeps open.
    checkpointer_ =
        sql::Database::Open(settings_.path, sql::Database::Mode::ReadWriteCreate, nullptr);
    if (checkpointer_) checkpointer_->Execute("PRAGMA wal_checkpoint(PASSIVE)");
    flusher_ = std::thread([this] { FlusherLoop(); });
  }
}

RunHistory::~RunHistory() {
  {
    std::lock_guard<std::mutex> live(liveLock_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (flusher_.joinable()) flusher_.join();
  FlushAll();
}

void RunHistory::Failed(const std::string& what) {
  // writeLock_ held. One line a minute at most: a full disk must not fill
  // the log with one line per run.
  const int64_t now = settings_.clock();
  if (failureLogged_ && now - lastFailureLog_ < kFailureLogInterval) return;
  failureLogged_ = true;
  lastFailureLog_ = now;
  if (settings_.log)
    settings_.log("Run history: " + what + ": " + writer_.ErrorText() + " (runs go on unrecorded)");
}

void RunHistory::Acknowledge(const std::vector<std::pair<int64_t, int64_t>>& sent) {
  std::lock_guard<std::mutex> write(writeLock_);
  sql::Transaction transaction(writer_);
  sql::Statement& drop =
      writer_.Prepared("DELETE FROM outbox WHERE run = ?1 AND (?2 = 0 OR version = ?2)");
  bool ok = transaction.began();
  for (const auto& [run, version] : sent) {
    drop.Reset();
    drop.Bind(1, run).Bind(2, version);
    ok = ok && drop.Run();
  }
  // A failure leaves the rows: they are sent again, which the upserts allow.
  if (!ok || !transaction.Commit()) Failed("clearing the outbox");
}

bool RunHistory::MarkChanged(int64_t id) {
  if (!shared_) return true;
  sql::Statement& mark = writer_.Prepared(kMarkOutbox);
  mark.Bind(1, id);
  return mark.Run();
}

namespace {

// Binds the first nine columns of a runs insert: who started what, and when
// (`now` when the start carries no time).
void BindStart(sql::Statement& insert, const RunStart& start, int64_t now) {
  insert.Bind(1, start.job)
      .Bind(2, start.user)
      .Bind(3, start.node)
      .Bind(4, start.address)
      .Bind(5, start.origin)
      .BindBlob(6, JoinList(start.arguments))
      .BindBlob(7, JoinList(start.fields))
      .BindBlob(8, JoinList(start.listBox))
      .Bind(9, start.started != 0 ? start.started : now);
}

}  // namespace

std::shared_ptr<Run> RunHistory::Begin(const RunStart& start, uint32_t stopId) {
  const int64_t cap = settings_.outputCap ? settings_.outputCap(start.job) : kDefaultOutputCap;
  int64_t id = 0;
  {
    std::lock_guard<std::mutex> write(writeLock_);
    // The outbox row commits with the record; without a shared history the
    // insert is its own transaction.
    std::optional<sql::Transaction> transaction;
    if (shared_) transaction.emplace(writer_);
    sql::Statement& insert = writer_.Prepared(
        "INSERT INTO runs(job, user, node, address, origin, arguments, fields,"
        " listbox, started) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
    BindStart(insert, start, settings_.clock());
    if ((transaction && !transaction->began()) || !insert.Run() ||
        !MarkChanged(id = writer_.LastInsertId()) || (transaction && !transaction->Commit())) {
      Failed("recording the start of " + start.job);
      return nullptr;
    }
  }
  if (shared_) shared_->Wake();
  auto run = std::make_shared<Run>(*this, id, start.job, cap, stopId);
  std::lock_guard<std::mutex> live(liveLock_);
  live_[id] = run;
  return run;
}

int64_t RunHistory::Record(const RunStart& start, const RunEnd& end) {
  const int64_t now = settings_.clock();
  int64_t id = 0;
  std::lock_guard<std::mutex> write(writeLock_);
  std::optional<sql::Transaction> transaction;
  if (shared_) transaction.emplace(writer_);
  sql::Statement& insert = writer_.Prepared(
      "INSERT INTO runs(job, user, node, address, origin, arguments, fields,"
      " listbox, started, ended, pid, exit_code, outcome, ended_by, message)"
      " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  BindStart(insert, start, now);
  insert.Bind(10, now)
      .Bind(11, static_cast<int64_t>(end.processId))
      .Bind(12, static_cast<int64_t>(end.exitCode))
      .Bind(13, end.outcome)
      .Bind(14, end.endedBy)
      .Bind(15, end.message);
  if ((transaction && !transaction->began()) || !insert.Run() ||
      !MarkChanged(id = writer_.LastInsertId()) || (transaction && !transaction->Commit())) {
    Failed("recording a run of " + start.job);
    return 0;
  }
  if (shared_) shared_->Wake();
  return id;
}

bool RunHistory::WriteBatch(const Run& run, const Run::Batch& batch, const RunEnd* end) {
  std::lock_guard<std::mutex> write(writeLock_);
  return WriteBatchLocked(run, batch, end);
}

bool RunHistory::WriteBatchLocked(const Run& run, const Run::Batch& batch, const RunEnd* end) {
  sql::Transaction transaction(writer_);
  if (!transaction.began()) {
    Failed("writing the output of run " + std::to_string(run.id()));
    return false;
  }
  bool ok = true;
  sql::Statement& insert =
      writer_.Prepared("INSERT OR REPLACE INTO output(run, seq, stream, data) VALUES(?, ?, ?, ?)");
  auto add = [&](const std::vector<OutputChunk>& chunks, int64_t seq) {
    for (const OutputChunk& chunk : chunks) {
      insert.Reset();
      insert.Bind(1, run.id())
          .Bind(2, seq++)
          .Bind(3, static_cast<int64_t>(chunk.stream))
          .BindBlob(4, chunk.data);
      ok = ok && insert.Run();
    }
  };
  add(batch.head, batch.headSeq);
  if (batch.rewriteTail) {
    sql::Statement& clear = writer_.Prepared("DELETE FROM output WHERE run = ? AND seq >= ?");
    clear.Bind(1, run.id()).Bind(2, kTailSeqBase);
    ok = ok && clear.Run();
  }
  add(batch.tail, kTailSeqBase);
  if (end) {
    sql::Statement& finish = writer_.Prepared(
        "UPDATE runs SET ended = ?, pid = ?, exit_code = ?, outcome = ?,"
        " ended_by = ?, message = ?, output_bytes = ?, left_out = ? WHERE id = ?");
    finish.Bind(1, settings_.clock())
        .Bind(2, static_cast<int64_t>(end->processId))
        .Bind(3, static_cast<int64_t>(end->exitCode))
        .Bind(4, end->outcome)
        .Bind(5, end->endedBy)
        .Bind(6, end->message)
        .Bind(7, batch.total)
        .Bind(8, batch.leftOut)
        .Bind(9, run.id());
    ok = ok && finish.Run() && MarkChanged(run.id());
  } else {
    sql::Statement& counts =
        writer_.Prepared("UPDATE runs SET output_bytes = ?, left_out = ? WHERE id = ?");
    counts.Bind(1, batch.total).Bind(2, batch.leftOut).Bind(3, run.id());
    // The sender copies the new output at its poll interval.
    ok = ok && counts.Run() && MarkChanged(run.id());
  }
  if (!ok || !transaction.Commit()) {
    Failed(std::string(end ? "recording the end of run " : "writing the output of run ") +
           std::to_string(run.id()));
    return false;
  }
  if (end && shared_) shared_->Wake();
  return true;
}

void RunHistory::Forget(int64_t id) {
  std::lock_guard<std::mutex> live(liveLock_);
  live_.erase(id);
}

void RunHistory::NoteKill(uint32_t processId, const std::string& endedBy) {
  std::lock_guard<std::mutex> live(liveLock_);
  if (endedBy.empty())
    killNotes_.erase(processId);
  else
    killNotes_[processId] = endedBy;
}

void RunHistory::NoteStop(uint32_t stopId) {
  if (stopId == 0) return;
  std::lock_guard<std::mutex> live(liveLock_);
  stopNotes_[stopId] = true;
}

void RunHistory::NoteEndAll(const std::string& endedBy) {
  std::lock_guard<std::mutex> live(liveLock_);
  endAllNote_ = endedBy;
}

std::string RunHistory::TakeEndedBy(uint32_t processId, uint32_t stopId, bool* stopped) {
  std::lock_guard<std::mutex> live(liveLock_);
  *stopped = false;
  if (auto kill = killNotes_.find(processId); kill != killNotes_.end()) {
    std::string text = std::move(kill->second);
    killNotes_.erase(kill);
    stopNotes_.erase(stopId);
    return text;
  }
  if (stopId != 0 && stopNotes_.erase(stopId) > 0) {
    *stopped = true;
    return {};
  }
  return endAllNote_;
}

std::optional<sql::Database> RunHistory::Reader() {
  {
    std::lock_guard<std::mutex> readers(readersLock_);
    if (!readers_.empty()) {
      std::optional<sql::Database> db(std::move(readers_.back()));
      readers_.pop_back();
      return db;
    }
  }
  std::string error;
  std::optional<sql::Database> db =
      sql::Database::Open(settings_.path, sql::Database::Mode::ReadOnly, &error);
  if (db) db->SetBusyTimeout(kBusyTimeoutMs);
  return db;
}

void RunHistory::Return(std::optional<sql::Database> reader) {
  // A few stay open: opening one costs more than a query of a page of records.
  constexpr size_t kKeptReaders = 4;
  std::lock_guard<std::mutex> readers(readersLock_);
  if (reader && readers_.size() < kKeptReaders) readers_.push_back(std::move(*reader));
}

// A reader connection for one call, given back to the pool when the call
// ends; declared before the call's statements, so they are finalised first.
class ReaderLease {
 public:
  explicit ReaderLease(RunHistory& owner) : owner_(owner), db_(owner.Reader()) {}
  ReaderLease(const ReaderLease&) = delete;
  ReaderLease& operator=(const ReaderLease&) = delete;
  ~ReaderLease() { owner_.Return(std::move(db_)); }
  std::optional<sql::Database>& operator*() { return db_; }

 private:
  RunHistory& owner_;
  std::optional<sql::Database> db_;
};

std::vector<RunRecord> RunHistory::Find(const Query& query) {
  std::vector<RunRecord> records;
  ReaderLease lease(*this);
  std::optional<sql::Database>& db = *lease;
  if (!db || query.limit <= 0) return records;
  // Two fixed texts, so that a query for one job walks its index.
  const std::string byJob = std::string("SELECT ") + kRunColumns + kFindOfJob;
  const std::string all = std::string("SELECT ") + kRunColumns + kFindOfAll;
  sql::Statement select(*db, query.job.empty() ? all.c_str() : byJob.c_str());
  select.Bind(1, query.job).Bind(2, query.user).Bind(3, query.user).Bind(4, query.since);
  while (static_cast<int32_t>(records.size()) < query.limit &&
         select.Step() == sql::Statement::Result::Row) {
    if (query.visible && !query.visible(select.Text(1))) continue;
    records.push_back(RecordOf(select));
  }
  return records;
}

std::optional<RunRecord> RunHistory::FindRun(int64_t id) {
  ReaderLease lease(*this);
  std::optional<sql::Database>& db = *lease;
  if (!db) return std::nullopt;
  const std::string text = std::string("SELECT ") + kRunColumns + " FROM runs WHERE id = ?";
  sql::Statement select(*db, text.c_str());
  select.Bind(1, id);
  if (select.Step() != sql::Statement::Result::Row) return std::nullopt;
  return RecordOf(select);
}

std::optional<StoredOutput> RunHistory::ReadOutput(int64_t id) {
  ReaderLease lease(*this);
  std::optional<sql::Database>& db = *lease;
  if (!db) return std::nullopt;
  // One read transaction: the run's counts and chunks from the same moment.
  if (!db->Execute("BEGIN")) return std::nullopt;
  StoredOutput out;
  {
    sql::Statement run(*db, "SELECT left_out FROM runs WHERE id = ?");
    run.Bind(1, id);
    if (run.Step() != sql::Statement::Result::Row) {
      db->Execute("ROLLBACK");
      return std::nullopt;
    }
    out.leftOut = run.Int(0);
  }
  {
    sql::Statement chunks(*db, "SELECT seq, stream, data FROM output WHERE run = ? ORDER BY seq");
    chunks.Bind(1, id);
    while (chunks.Step() == sql::Statement::Result::Row) {
      if (chunks.Int(0) < kTailSeqBase) ++out.leftOutAt;
      out.chunks.push_back({static_cast<uint32_t>(chunks.Int(1)), chunks.Text(2)});
    }
  }
  db->Execute("ROLLBACK");
  if (out.leftOut == 0) out.leftOutAt = 0;
  return out;
}

std::optional<FollowHandle> RunHistory::Follow(int64_t id, FollowCallback callback) {
  std::shared_ptr<Run> run;
  int64_t token = 0;
  {
    std::lock_guard<std::mutex> live(liveLock_);
    auto it = live_.find(id);
    if (it == live_.end()) return std::nullopt;
    run = it->second.lock();
    token = nextToken_++;
  }
  if (!run) return std::nullopt;
  std::lock_guard<std::mutex> flush(run->flushLock_);
  Run::Batch batch;
  {
    std::lock_guard<std::mutex> state(run->stateLock_);
    if (run->ended_) return std::nullopt;
    batch = run->TakeBatchLocked();
    run->AddFollower(token, std::move(callback));
  }
  WriteBatch(*run, batch, nullptr);
  return FollowHandle(run, token);
}

void RunHistory::FlushAll(bool headsOnly) {
  std::vector<std::shared_ptr<Run>> runs;
  {
    std::lock_guard<std::mutex> live(liveLock_);
    flushWanted_ = false;
    for (auto& [id, weak] : live_)
      if (std::shared_ptr<Run> run = weak.lock()) runs.push_back(std::move(run));
  }
  // First halves first: their runs may be waiting for them, while a window
  // rewrite only saves a later state of what is kept anyway.
  auto heads = [&] {
    for (const std::shared_ptr<Run>& run : runs) run->Flush(true);
  };
  heads();
  if (headsOnly) return;
  // Runs are in id order: start with the first one the last flush left.
  auto first = std::find_if(runs.begin(), runs.end(), [&](const std::shared_ptr<Run>& run) {
    return run->id() >= nextWindowRun_;
  });
  std::rotate(runs.begin(), first, runs.end());
  size_t written = 0;
  nextWindowRun_ = 0;
  for (const std::shared_ptr<Run>& run : runs) {
    if (written >= settings_.windowBytesPerFlush) {
      nextWindowRun_ = run->id();
      break;
    }
    if (headsWaiting_ > 0) heads();
    written += run->Flush();
  }
}

void RunHistory::WakeFlusher() {
  {
    std::lock_guard<std::mutex> live(liveLock_);
    flushWanted_ = true;
  }
  wake_.notify_one();
}

void RunHistory::Checkpoint() {
  // A passive checkpoint never waits for the writer or a reader: runs keep
  // committing while it copies, and a run's End never pays for it. Copying
  // once a second also writes each page once, however often the tail window
  // rewrote it in between.
  const int64_t now = settings_.clock();
  if (now - lastCheckpoint_ < kCheckpointInterval) return;
  lastCheckpoint_ = now;
  if (!checkpointer_) {
    checkpointer_ =
        sql::Database::Open(settings_.path, sql::Database::Mode::ReadWriteCreate, nullptr);
    if (!checkpointer_) return;
  }
  checkpointer_->Execute("PRAGMA wal_checkpoint(PASSIVE)");
}

void RunHistory::FlusherLoop() {
  for (;;) {
    {
      std::unique_lock<std::mutex> live(liveLock_);
      wake_.wait_until(live, lastFullFlush_ + settings_.flushInterval,
                       [this] { return stopping_ || flushWanted_; });
      if (stopping_) return;
    }
    // Woken for first halves, only they are written; everything else at
    // the flush interval.
    const auto start = std::chrono::steady_clock::now();
    const bool full = start - lastFullFlush_ >= settings_.flushInterval;
    if (full) lastFullFlush_ = start;
    FlushAll(!full);
    Checkpoint();
    const int64_t now = settings_.clock();
    if (now - lastPrune_ >= settings_.pruneInterval.count()) {
      lastPrune_ = now;
      Prune();
    }
  }
}

std::vector<std::string> RunHistory::JobsWithRecords() {
  // One probe of the job index per name rather than a walk over every run.
  std::vector<std::string> jobs;
  ReaderLease lease(*this);
  std::optional<sql::Database>& db = *lease;
  if (!db) return jobs;
  sql::Statement next(*db, "SELECT job FROM runs WHERE job > ? ORDER BY job LIMIT 1");
  std::string after;
  for (;;) {
    next.Reset();
    next.Bind(1, after);
    if (next.Step() != sql::Statement::Result::Row) break;
    after = next.Text(0);
    jobs.push_back(after);
  }
  return jobs;
}

bool RunHistory::PruneWhere(const char* pick, const std::function<void(sql::Statement&)>& bind) {
  // The ids to drop, a step at a time: run starts wait for the write lock no
  // longer than one step, and between steps the runs waiting for their
  // first halves to be taken are served. `pick` walks an index from the
  // first record to drop, so a step costs what it removes.
  for (bool first = true;; first = false) {
    if (!first && headsWaiting_ > 0) FlushAll(true);
    std::lock_guard<std::mutex> write(writeLock_);
    sql::Transaction transaction(writer_);
    if (!transaction.began() ||
        !writer_.Execute("CREATE TEMP TABLE IF NOT EXISTS doomed(id INTEGER PRIMARY KEY);"
                         "DELETE FROM temp.doomed")) {
      Failed("pruning the run history");
      return false;
    }
    sql::Statement select(writer_, pick);
    bind(select);
    select.Bind(kPickLimitParameter, int64_t{kPruneStep});
    sql::Statement output(writer_, "DELETE FROM output WHERE run IN (SELECT id FROM temp.doomed)");
    sql::Statement runs(writer_, "DELETE FROM runs WHERE id IN (SELECT id FROM temp.doomed)");
    sql::Statement count(writer_, "SELECT count(*) FROM temp.doomed");
    // A shared history drops them from the database too, through the outbox.
    sql::Statement mark(writer_, kMarkDoomed);
    if (!select.Run() || (shared_ && !mark.Run()) || !output.Run() || !runs.Run() ||
        count.Step() != sql::Statement::Result::Row) {
      Failed("pruning the run history");
      return false;
    }
    const int64_t dropped = count.Int(0);
    if (!transaction.Commit()) {
      Failed("pruning the run history");
      return false;
    }
    if (shared_ && dropped > 0) shared_->Wake();
    if (dropped < kPruneStep) return true;
  }
}

void RunHistory::Prune() {
  const int64_t now = settings_.clock();
  for (const std::string& job : JobsWithRecords()) {
    const Retention keep = settings_.retention ? settings_.retention(job) : Retention{};
    if (keep.days > 0) {
      const int64_t cutoff = now - int64_t{keep.days} * 86'400'000;
      if (!PruneWhere(kPickOlderThan, [&](sql::Statement& s) { s.Bind(1, job).Bind(2, cutoff); }))
        return;
    }
    if (keep.runs > 0) {
      // The newest `runs` stay (a running one among them): the id of the
      // next older one is the last to go.
      int64_t last = 0;
      {
        std::lock_guard<std::mutex> write(writeLock_);
        sql::Statement boundary(
            writer_, "SELECT id FROM runs WHERE job = ? ORDER BY id DESC LIMIT 1 OFFSET ?");
        boundary.Bind(1, job).Bind(2, int64_t{keep.runs});
        if (boundary.Step() == sql::Statement::Result::Row) last = boundary.Int(0);
      }
      if (last > 0 &&
          !PruneWhere(kPickUpTo, [&](sql::Statement& s) { s.Bind(1, job).Bind(2, last); }))
        return;
    }
  }
}

}  // namespace kestrun::history
