// The history file's schema and its migrations (internal to the module).
#pragma once

#include <string>
#include <vector>

#include "history/postgres.h"
#include "history/sqlite.h"

namespace kestrun::history {

// Output chunks of a run's head have sequence numbers from 0, those of its
// tail window from here on.
inline constexpr int64_t kTailSeqBase = int64_t{1} << 40;

inline constexpr int kSchemaVersion = 4;

// What a prune step drops, into temp.doomed, for job ?1: the ended runs
// started before ?2 (walking runs_job_started), or the ended runs with ids up
// to ?2 (walking runs_job); at most ?3 of them.
inline constexpr const char* kPickOlderThan =
    "INSERT INTO temp.doomed SELECT id FROM runs WHERE job = ?1 AND started < ?2"
    " AND outcome IS NOT NULL LIMIT ?3";
inline constexpr const char* kPickUpTo =
    "INSERT INTO temp.doomed SELECT id FROM runs WHERE job = ?1 AND id <= ?2"
    " AND outcome IS NOT NULL LIMIT ?3";

// The run list, newest first, after "SELECT <columns>": of one job (?1; ?2
// and ?3 the user or empty, ?4 the least start time), walking runs_job in id
// order so that the first rows come at once (the planner would otherwise take
// runs_job_started for the start bound and sort every run of the job); and of
// every job (?1 empty), walking the table backwards.
inline constexpr const char* kFindOfJob =
    " FROM runs INDEXED BY runs_job WHERE job = ? AND (? = '' OR user = ?) AND started >= ?"
    " ORDER BY id DESC";
inline constexpr const char* kFindOfAll =
    " FROM runs WHERE ? = '' AND (? = '' OR user = ?) AND started >= ? ORDER BY id DESC";

// Brings the file's schema (PRAGMA user_version) up to kSchemaVersion, one
// migration step per version, each in its own transaction. False with
// `*error` set when a step fails.
bool Migrate(sql::Database& db, std::string* error);

}  // namespace kestrun::history

namespace kestrun::history {

// The shared database holds the same runs and output tables as the file,
// under the names kestrun_runs and kestrun_output with the server's name
// first in each key, and the servers' heartbeat rows; kestrun_schema holds
// its version.
inline constexpr int kSharedSchemaVersion = 2;

// Brings the shared database up to kSharedSchemaVersion, one step per
// version, under a lock that keeps two servers from migrating at once.
bool MigrateShared(pg::Connection& db, std::string* error);

// Lists are stored as their items, each followed by a NUL: the protocol's
// strings never hold one.
std::string JoinList(const std::vector<std::string>& items);
std::vector<std::string> SplitList(const std::string& text);

// Marks run ?1 changed in the outbox (only when the history is shared).
inline constexpr const char* kMarkOutbox =
    "INSERT INTO outbox(run, version) VALUES(?1, 1)"
    " ON CONFLICT(run) DO UPDATE SET version = version + 1";
// Marks the runs a prune step drops (temp.doomed) in the outbox: the sender
// finds them gone from the file and removes them from the shared database.
inline constexpr const char* kMarkDoomed =
    "INSERT INTO outbox(run, version) SELECT id, 1 FROM temp.doomed WHERE true"
    " ON CONFLICT(run) DO UPDATE SET version = version + 1";

}  // namespace kestrun::history
