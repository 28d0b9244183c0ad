// The run history: every run of a job recorded in an SQLite file with its
// output, and the reading of it.
//
// Durability. A run's start is committed before its program starts (Begin)
// and its end before the caller answers its client (Run::End); the file is
// in WAL mode with synchronous=NORMAL, so a commit survives the server being
// killed. Output goes to the file in batches (every flushInterval or
// flushBytes); a crash loses at most the last batch, and a run the server did
// not see end is closed as "interrupted" when the history is next opened.
//
// Failures never stop a run: a write that fails (a full disk, a read-only
// file, a damaged database) is logged at most once a minute and the run goes
// on unrecorded. A file that fails PRAGMA quick_check when it is opened is
// moved aside as PATH.corrupt-YYYYMMDD-hhmmss and a new one is started.
//
// Threads and locks. Any thread may call every function.
// - writeLock_ guards the one writer connection (writer_); it is held for
//   one transaction at a time and never while waiting for anything else.
// - Each Run has a flush lock (taken first, held for the whole of one
//   flush, so batches of a run reach the file in order) and a state lock
//   (its kept output; held only to copy or append, never across SQLite).
//   Order: Run flush lock -> writeLock_ -> Run state lock (a run's batch is
//   taken with the writer held, so that only the batch being written is
//   copied out of its run).
// - liveLock_ guards the list of runs with output not yet ended and the
//   notes of who ended a run; held only to copy or change them.
// - One flusher thread writes the pending output of live runs, folds the
//   write-ahead log into the file from its own connection (at most once a
//   second; the writer never does while the flusher runs) and prunes old
//   records at most once a minute; readers open their own connections.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "history/run_record.h"
#include "history/shared_history.h"
#include "history/sqlite.h"
#include "platform/unique_fd.h"

namespace kestrun::history {

inline constexpr int64_t kDefaultOutputCap = 1024 * 1024;
inline constexpr int32_t kDefaultDays = 90;
// The longest a run's output waits for the flusher to take its first half.
inline constexpr std::chrono::milliseconds kHeadPatience{1000};

// Milliseconds since the epoch (UTC).
using Clock = std::function<int64_t()>;
int64_t SystemClockMs();

// A job's retention: records older than `days` (0: kept for ever) and beyond
// the newest `runs` (0: no limit) are pruned.
struct Retention {
  int32_t days = kDefaultDays;
  int32_t runs = 0;
};

struct Settings {
  std::string path;
  // Per job: the output cap in bytes (0 keeps none) and the retention.
  std::function<int64_t(const std::string& job)> outputCap;
  std::function<Retention(const std::string& job)> retention;
  // The jobs that have records, for retention: asked of the file itself.
  Clock clock = SystemClockMs;
  // One line for the server log; called at most once a minute for failures.
  std::function<void(const std::string& line)> log;
  std::chrono::milliseconds flushInterval{100};
  size_t flushBytes = 64 * 1024;
  // The most window bytes one flush rewrites. A window at full speed changes
  // faster than it can be written; with many such runs each window is
  // rewritten in turn, and the writer stays free for first halves and ends.
  size_t windowBytesPerFlush = 4 * 1024 * 1024;
  std::chrono::milliseconds pruneInterval{60'000};
  bool startFlusher = true;  // tests drive Flush and Prune themselves
  // Set: every record is copied to this shared database too (see
  // history/shared_history.h), through the file's outbox.
  std::optional<SharedSettings> shared;
  // Test seam: the file may not grow past its size when opened, so writes
  // soon fail as on a full disk.
  bool fullDisk = false;
};

// Live output of a followed run: each chunk as it comes (on the run's pump
// thread, under the run's state lock: it must only copy or queue the chunk,
// and never drop its FollowHandle), then (with an empty chunk and `ended`
// true) the end, on the thread that ended the run.
using FollowCallback = std::function<void(const OutputChunk& chunk, bool ended)>;

class RunHistory;

// One run being recorded. Made by RunHistory::Begin; any thread may call its
// functions; Output is called from the run's output pumps.
class Run {
 public:
  Run(RunHistory& owner, int64_t id, std::string job, int64_t cap, uint32_t stopId);
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;
  ~Run();

  int64_t id() const { return id_; }
  // Keeps `size` bytes of stream `stream` (kStdout, kStderr) within the cap:
  // the first half as it comes, the last half as a window, counting what
  // falls out between them. The first half is held until the flusher writes
  // it: once a batch of it waits (the writer is behind, as when many runs
  // start at once), this waits for the flusher to take it, for at most
  // kHeadPatience each time. So a crash loses little of it, and many runs
  // do not pile it up in memory: they go at the writer's pace until their
  // first halves are written.
  void Output(uint32_t stream, const char* data, size_t size);
  // Writes the rest of the output and the end of the run, committed on
  // return (unless the file failed). Once only; later calls do nothing.
  void End(RunEnd end);
  // Writes the output kept so far (the flusher calls it). With `headOnly`,
  // only when some of the first half waits (then the window too, if it
  // changed). Returns the bytes of the window written.
  size_t Flush(bool headOnly = false);

 private:
  friend class RunHistory;
  friend class FollowHandle;
  // What one flush writes: new head chunks, and new (or, once the window
  // moved past chunks already written, all) tail chunks.
  struct Batch {
    std::vector<OutputChunk> head;
    int64_t headSeq = 0;
    std::vector<OutputChunk> tail;  // the whole window, when it changed
    bool rewriteTail = false;
    int64_t total = 0;
    int64_t leftOut = 0;
  };
  // A run of window bytes of one stream.
  struct Segment {
    uint32_t stream = 0;
    int64_t bytes = 0;
  };
  Batch TakeBatchLocked();                                         // state lock held
  void AddToTail(uint32_t stream, const char* data, size_t size);  // state lock held
  // Grows the ring to hold at least `wanted` bytes (at most tailCap_).
  void GrowRing(size_t wanted);  // state lock held
  // Where the window's oldest byte is in the ring.
  size_t TailStart() const;  // state lock held
  // Copies `count` bytes of the ring from `from` on, across its end.
  void CopyTail(size_t from, size_t count, char* to) const;  // state lock held
  void AddFollower(int64_t token, FollowCallback callback);  // state lock held
  void RemoveFollower(int64_t token);

  RunHistory& owner_;
  const int64_t id_;
  const std::string job_;
  const int64_t headCap_;
  const int64_t tailCap_;
  const uint32_t stopId_;

  std::mutex flushLock_;  // held for a whole flush: batches in order
  std::mutex stateLock_;  // guards everything below
  int64_t total_ = 0;
  int64_t headKept_ = 0;
  int64_t headSeq_ = 0;
  std::vector<OutputChunk> pendingHead_;
  // The tail window: its last tailCap_ bytes in a ring (grown with them up
  // to tailCap_), and the streams of its bytes, oldest first.
  std::unique_ptr<char[]> ring_;
  size_t ringSize_ = 0;
  size_t ringEnd_ = 0;  // where the next byte goes
  std::deque<Segment> segments_;
  int64_t tailBytes_ = 0;
  bool tailChanged_ = false;  // since the last flush
  int64_t leftOut_ = 0;
  size_t pendingBytes_ = 0;      // output since the last flush
  size_t pendingHeadBytes_ = 0;  // of which kept in the head
  bool ended_ = false;
  std::condition_variable headTaken_;  // a batch was taken
  std::map<int64_t, FollowCallback> followers_;
};

// Ends a follow when destroyed.
class FollowHandle {
 public:
  FollowHandle(std::shared_ptr<Run> run, int64_t token) : run_(std::move(run)), token_(token) {}
  FollowHandle(FollowHandle&&) noexcept = default;
  FollowHandle& operator=(FollowHandle&&) noexcept = default;
  ~FollowHandle();

 private:
  std::shared_ptr<Run> run_;
  int64_t token_ = 0;
};

struct Query {
  std::string job;    // empty: every job (compared without regard to case)
  std::string user;   // empty: every user
  int64_t since = 0;  // UTC ms; 0: any
  int32_t limit = 50;
  // The jobs whose records the asker may see; empty: all.
  std::function<bool(const std::string& job)> visible;
};

class RunHistory {
 public:
  // Opens the history file (creating or migrating it), closes the runs left
  // open by a crash as "interrupted", and starts the flusher. Nullptr with
  // `*warning` set when the path cannot hold a history (a directory, a FIFO,
  // an unwritable file or folder) or another process has it open as its
  // history (it holds the lock file PATH.lock while open): the server then
  // runs without one.
  static std::unique_ptr<RunHistory> Open(Settings settings, std::string* warning);
  RunHistory(const RunHistory&) = delete;
  RunHistory& operator=(const RunHistory&) = delete;
  // Stops the flusher after a last flush of every live run.
  ~RunHistory();

  // Commits the start of a run and returns its recorder, or nullptr when
  // the file failed (the run goes on unrecorded). `stopId` is the run's
  // STOP_REQUEST id (0: none).
  std::shared_ptr<Run> Begin(const RunStart& start, uint32_t stopId = 0);
  // A run that never started (refused, denied, a failed launch before its
  // record began): start and end in one commit. Its id, or 0 on failure.
  int64_t Record(const RunStart& start, const RunEnd& end);

  // Who ends runs: the notes are taken by the run's End (killed runs only);
  // an empty `endedBy` drops the note of `processId`.
  void NoteKill(uint32_t processId, const std::string& endedBy);
  void NoteStop(uint32_t stopId);
  void NoteEndAll(const std::string& endedBy);  // shutdown, service stop
  // The ended-by text for a killed run of `processId` and `stopId`, taking
  // its note; empty when nobody noted it.
  std::string TakeEndedBy(uint32_t processId, uint32_t stopId, bool* stopped);

  // Records matching `query`, newest first, without output.
  std::vector<RunRecord> Find(const Query& query);
  std::optional<RunRecord> FindRun(int64_t id);
  std::optional<StoredOutput> ReadOutput(int64_t id);
  // Follows a live run: its output is flushed to the file first, so
  // ReadOutput after this returns what came before the first callback.
  // Nullopt when the run is not live (ended or unknown).
  std::optional<FollowHandle> Follow(int64_t id, FollowCallback callback);

  // Writes the runs' waiting first halves, then (unless `headsOnly`) the
  // runs' changed windows: at most windowBytesPerFlush of them, taking up
  // after the run where the last flush stopped, and the first halves that
  // wait again in between.
  void FlushAll(bool headsOnly = false);
  // Prunes by the retention settings now.
  void Prune();
  const std::string& path() const { return settings_.path; }
  // The shared history, or null when the history is not shared.
  SharedHistory* shared() { return shared_.get(); }

 private:
  friend class Run;
  friend class ReaderLease;
  RunHistory(Settings settings, sql::Database writer, UniqueFd lock);
  void Failed(const std::string& what);
  // Marks run `id` changed in the outbox, in the writer's open transaction
  // (writeLock_ held); true without a shared history.
  bool MarkChanged(int64_t id);
  // Removes sent records from the outbox (the sender's Acknowledge).
  void Acknowledge(const std::vector<std::pair<int64_t, int64_t>>& sent);
  bool WriteBatch(const Run& run, const Run::Batch& batch, const RunEnd* end);
  bool WriteBatchLocked(const Run& run, const Run::Batch& batch,
                        const RunEnd* end);  // writeLock_ held
  void Forget(int64_t id);
  void FlusherLoop();
  void WakeFlusher();
  // Folds the write-ahead log into the file from the flusher's own
  // connection, at most once a second (flusher thread).
  void Checkpoint();
  // The job names that have records, in order.
  std::vector<std::string> JobsWithRecords();
  // Drops, a step at a time, the records that `pick` (a kPick* text) selects
  // with the parameters `bind` sets. False when the file failed (logged).
  bool PruneWhere(const char* pick, const std::function<void(sql::Statement&)>& bind);
  // A reader connection from the pool (opened when none is free); Return
  // gives it back.
  std::optional<sql::Database> Reader();
  void Return(std::optional<sql::Database> reader);

  Settings settings_;
  UniqueFd lock_;         // the exclusive lock on the file's ".lock" beside it
  std::mutex writeLock_;  // guards writer_ and lastFailureLog_
  sql::Database writer_;
  int64_t lastFailureLog_ = 0;
  bool failureLogged_ = false;

  std::mutex liveLock_;  // guards live_, the notes, nextToken_, stopping_, flushWanted_
  std::map<int64_t, std::weak_ptr<Run>> live_;
  std::map<uint32_t, std::string> killNotes_;
  std::map<uint32_t, bool> stopNotes_;
  std::string endAllNote_;
  int64_t nextToken_ = 1;
  bool stopping_ = false;
  bool flushWanted_ = false;
  std::condition_variable wake_;
  std::mutex readersLock_;  // guards readers_
  std::vector<sql::Database> readers_;
  int64_t lastPrune_ = 0;                                // flusher thread only
  int64_t lastCheckpoint_ = 0;                           // flusher thread only
  std::chrono::steady_clock::time_point lastFullFlush_;  // flusher thread only
  int64_t nextWindowRun_ = 0;                  // flusher thread only: where window rewrites take up
  std::atomic<int> headsWaiting_{0};           // runs waiting in Output for their head to be taken
  std::optional<sql::Database> checkpointer_;  // flusher thread only
  std::thread flusher_;
  // Last, so that its sender stops first.
  std::unique_ptr<SharedHistory> shared_;
};

}  // namespace kestrun::history
