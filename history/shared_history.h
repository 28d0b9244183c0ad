// The shared run history: the records of this server's local history copied
// to a PostgreSQL database that many servers share, each record under the
// server's name, and a heartbeat row per server; and the reading of it.
//
// Nothing waits on the network. Every record is first committed to the local
// SQLite file, and in the same transaction its id goes into the file's
// outbox (with a version that each later change raises). One sender thread
// copies what the outbox names to PostgreSQL in batches, one transaction a
// batch, with upserts keyed by (server, id), and then deletes the outbox
// rows whose version it sent: a record changed meanwhile stays for the next
// batch, a batch sent twice (a crash between the commit in PostgreSQL and
// the delete) writes the same rows again, so each record arrives exactly
// once. While the database is unreachable the outbox grows, one log line a
// minute says so, and it drains once the database is back.
//
// A run's output goes with its record: the outbox names a run again each
// time its output is written to the file, and the sender copies the output
// chunks the database lacks, keyed by (server, run, seq): the head chunks
// after the database's last one (they never change), and the tail window
// whole when the output grew. A run pruned from the file is named in the
// outbox too: the sender finds it gone and deletes it (and its output) from
// the database, under this server's name only.
//
// Threads and locks. The sender thread alone uses the sending connections
// (its own SQLite connection and its PostgreSQL connection). wakeLock_
// guards the wake-up flag and stopping_; cancelLock_ guards the cancel
// handle of the connection the sender is using, so that the destructor can
// cancel a query that waits on a lock in PostgreSQL. readLock_ guards the
// pooled reading connection; consoleLock_ guards the console address of the
// heartbeat. No lock is held while another is taken.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "history/postgres.h"
#include "history/run_record.h"
#include "history/sqlite.h"

namespace kestrun::history {

// The version this server gives in its heartbeat row and its console.
inline constexpr const char* kServerVersion = "2.3";

// How long a server's heartbeat may be old before it is shown as not seen
// (four heartbeats), and the states shown.
inline constexpr int64_t kNotSeenAfter = 120'000;  // ms
inline constexpr const char* kStateUp = "up";
inline constexpr const char* kStateNotSeen = "not seen for 2 minutes";

// The state of a server whose last heartbeat was at `lastSeen`, at `now`.
inline const char* ServerState(int64_t lastSeen, int64_t now) {
  return now - lastSeen < kNotSeenAfter ? kStateUp : kStateNotSeen;
}

struct SharedSettings {
  std::string conninfo;    // libpq connection string or postgresql:// URI
  std::string serverName;  // the name this server's records go under
  // The heartbeat row's console address (see SetConsole) and version, and
  // the number of jobs running now (asked on the sender thread).
  std::string console;
  std::string version;
  std::function<int32_t()> runningJobs;
  // How often the sender looks for new records: at most this (plus the time
  // a batch takes) behind while the database is reachable.
  std::chrono::milliseconds sendInterval{250};
  int64_t heartbeatInterval = 30'000;  // ms
  bool startSender = true;             // tests call SendOnce themselves
};

// A record of the shared history: the run and the server it ran on.
struct SharedRecord {
  std::string server;
  RunRecord run;
  bool operator==(const SharedRecord&) const = default;
};

// A heartbeat row.
struct ServerRow {
  std::string name, console, version;
  int32_t running = 0;
  int64_t lastSeen = 0;  // UTC ms
  bool operator==(const ServerRow&) const = default;
};

// A run of the shared history and its stored output.
struct SharedRun {
  RunRecord run;
  StoredOutput output;  // empty unless asked for
};

struct SharedQuery {
  std::string server;  // empty: every server
  std::string job;     // empty: every job
  std::string user;    // empty: every user
  int64_t since = 0;
  int32_t limit = 50;
  std::function<bool(const std::string& job)> visible;  // empty: all
};

// Removes sent records from the outbox: each (run, version) pair whose row
// still has that version (version 0: whatever its version). The local
// history does it on its own writer connection, so that the sender never
// takes the file's write lock from a second connection, which would make a
// run's start wait in SQLite's busy handler.
using Acknowledge = std::function<void(const std::vector<std::pair<int64_t, int64_t>>& sent)>;

class SharedHistory {
 public:
  // `path` is the local history file (holding the outbox, read on the
  // sender's own connection); `acknowledge` removes what was sent; `clock`
  // and `log` as the local history's. Starts the sender unless told not to.
  SharedHistory(SharedSettings settings, std::string path, Acknowledge acknowledge,
                std::function<int64_t()> clock, std::function<void(const std::string&)> log);
  SharedHistory(const SharedHistory&) = delete;
  SharedHistory& operator=(const SharedHistory&) = delete;
  // Stops the sender, cancelling a query it waits on; the outbox keeps what
  // was not sent.
  ~SharedHistory();

  // Tells the sender that the outbox has new rows (never blocks; the
  // sender takes them at the end of its interval).
  void Wake();
  // Sets the console address of the heartbeat row (the console starts
  // after the history) and has the next pass of the sender write the row.
  void SetConsole(std::string console);
  // One pass of the sender: connect when needed, send the outbox in batches
  // (one sweep in run order: a run marked again behind the sweep waits for
  // the next pass), and the heartbeat when it is due. True when the
  // database was reachable and the sweep reached the outbox's end.
  bool SendOnce();
  // Records of the shared history, newest first; nullopt with `*error` set
  // when the database cannot be read.
  std::optional<std::vector<SharedRecord>> Find(const SharedQuery& query, std::string* error);
  std::optional<std::vector<ServerRow>> Servers(std::string* error);
  // Run `id` of server `server` from the shared database, with its stored
  // output (as the local history's ReadOutput gives it) when `withOutput`.
  // Found fills `*out`; Unreadable sets `*error`.
  enum class Lookup { Found, Unknown, Unreadable };
  Lookup ReadRun(const std::string& server, int64_t id, bool withOutput, SharedRun* out,
                 std::string* error);
  const std::string& serverName() const { return settings_.serverName; }

 private:
  void SenderLoop();
  bool Connect();
  // Sends the outbox's runs after run `*after`, as many as one batch takes,
  // and moves `*after` past them; `*more` when runs may be left after them.
  bool SendBatch(int64_t* after, bool* more);
  void Heartbeat();
  void Unreachable(const std::string& why);
  std::optional<pg::Connection> Reader(std::string* error);
  void ReturnReader(std::optional<pg::Connection> reader);

  const SharedSettings settings_;
  const std::string path_;
  const Acknowledge acknowledge_;
  const std::function<int64_t()> clock_;
  const std::function<void(const std::string&)> log_;

  // Sender thread only.
  std::optional<pg::Connection> connection_;
  std::optional<sql::Database> outbox_;
  int64_t lastBeat_ = 0;
  bool beaten_ = false;
  int64_t lastUnreachableLog_ = 0;
  bool unreachableLogged_ = false;

  std::mutex wakeLock_;  // guards wanted_, stopping_
  bool wanted_ = false;
  bool stopping_ = false;
  std::condition_variable wake_;
  std::mutex cancelLock_;  // guards canceller_
  std::optional<pg::Canceller> canceller_;
  std::mutex consoleLock_;  // guards console_, consoleChanged_
  std::string console_;
  bool consoleChanged_ = false;
  std::mutex readLock_;  // guards reader_
  std::optional<pg::Connection> reader_;
  std::thread sender_;
};

}  // namespace kestrun::history
