#include "history/schema.h"

#include <algorithm>
#include <array>

namespace kestrun::history {

namespace {

// Step k brings version k to k + 1. A later version appends its step; the
// steps already shipped never change.
constexpr std::array<const char*, kSchemaVersion> kSteps = {
    // 0 -> 1: runs and their output.
    "CREATE TABLE runs("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " job TEXT NOT NULL, user TEXT NOT NULL, node TEXT NOT NULL, address TEXT NOT NULL,"
    " origin TEXT NOT NULL, arguments BLOB, fields BLOB, listbox BLOB,"
    " started INTEGER NOT NULL, ended INTEGER, pid INTEGER, exit_code INTEGER,"
    " outcome TEXT, ended_by TEXT, output_bytes INTEGER NOT NULL DEFAULT 0,"
    " left_out INTEGER NOT NULL DEFAULT 0, message TEXT);"
    "CREATE INDEX runs_job ON runs(job, id);"
    "CREATE INDEX runs_started ON runs(started);"
    "CREATE INDEX runs_open ON runs(id) WHERE outcome IS NULL;"
    "CREATE TABLE output(run INTEGER NOT NULL, seq INTEGER NOT NULL, stream INTEGER NOT NULL,"
    " data BLOB NOT NULL, PRIMARY KEY(run, seq)) WITHOUT ROWID;",
    // 1 -> 2: pruning by age walks a job's runs by start time.
    "CREATE INDEX runs_job_started ON runs(job, started);",
    // 2 -> 3: the runs still to copy to a shared database, with the version
    // of their last change.
    "CREATE TABLE outbox(run INTEGER PRIMARY KEY, version INTEGER NOT NULL);",
    // 3 -> 4: no query walks runs by start time alone any more (pruning by
    // age goes job by job), and each start paid for the index.
    "DROP INDEX runs_started;",
};

// PRAGMA takes no bound parameters; the version texts are the code's own.
constexpr std::array<const char*, kSchemaVersion> kSetVersion = {
    "PRAGMA user_version = 1",
    "PRAGMA user_version = 2",
    "PRAGMA user_version = 3",
    "PRAGMA user_version = 4",
};

}  // namespace

bool Migrate(sql::Database& db, std::string* error) {
  const std::optional<std::string> text = db.QueryText("PRAGMA user_version");
  if (!text) {
    *error = db.ErrorText();
    return false;
  }
  const int version = std::stoi(*text);
  if (version > kSchemaVersion) {
    *error = "schema version " + *text + " is newer than this server's";
    return false;
  }
  for (int k = version; k < kSchemaVersion; ++k) {
    sql::Transaction transaction(db);
    if (!transaction.began() || !db.Execute(kSteps[k], error) ||
        !db.Execute(kSetVersion[k], error) || !transaction.Commit()) {
      if (error->empty()) *error = db.ErrorText();
      return false;
    }
  }
  return true;
}

namespace {

// The shared steps, as the file's: step k brings version k to k + 1. The
// columns are the file's runs columns with the same names and kinds (BIGINT
// for INTEGER, BYTEA for BLOB).
constexpr std::array<const char*, kSharedSchemaVersion> kSharedSteps = {
    "CREATE TABLE kestrun_runs("
    " server TEXT NOT NULL, id BIGINT NOT NULL,"
    " job TEXT NOT NULL, \"user\" TEXT NOT NULL, node TEXT NOT NULL, address TEXT NOT NULL,"
    " origin TEXT NOT NULL, arguments BYTEA, fields BYTEA, listbox BYTEA,"
    " started BIGINT NOT NULL, ended BIGINT, pid BIGINT, exit_code BIGINT,"
    " outcome TEXT, ended_by TEXT, output_bytes BIGINT NOT NULL DEFAULT 0,"
    " left_out BIGINT NOT NULL DEFAULT 0, message TEXT, PRIMARY KEY(server, id));"
    "CREATE INDEX kestrun_runs_started ON kestrun_runs(started, server, id);"
    "CREATE INDEX kestrun_runs_job ON kestrun_runs(job, started);"
    "CREATE TABLE kestrun_servers(name TEXT PRIMARY KEY, console TEXT NOT NULL,"
    " version TEXT NOT NULL, running INTEGER NOT NULL, last_seen BIGINT NOT NULL);",
    // 1 -> 2: the runs' output, as the file's output table.
    "CREATE TABLE kestrun_output(server TEXT NOT NULL, run BIGINT NOT NULL, seq BIGINT NOT NULL,"
    " stream INTEGER NOT NULL, data BYTEA NOT NULL, PRIMARY KEY(server, run, seq));",
};

}  // namespace

std::string JoinList(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) {
    text.append(item.data(), std::min(item.size(), item.find('\0')));
    text.push_back('\0');
  }
  return text;
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  size_t begin = 0;
  for (size_t end; (end = text.find('\0', begin)) != std::string::npos; begin = end + 1)
    items.emplace_back(text, begin, end - begin);
  return items;
}

bool MigrateShared(pg::Connection& db, std::string* error) {
  // The advisory lock serialises servers starting together; it ends with
  // the transaction.
  if (!db.Execute("BEGIN;"
                  "SELECT pg_advisory_xact_lock(4242424242);"
                  "CREATE TABLE IF NOT EXISTS kestrun_schema(version INTEGER NOT NULL);"
                  "INSERT INTO kestrun_schema SELECT 0 WHERE NOT EXISTS"
                  " (SELECT 1 FROM kestrun_schema)")) {
    *error = db.ErrorText();
    db.Execute("ROLLBACK");
    return false;
  }
  pg::Result version = db.Query("SELECT version FROM kestrun_schema");
  const int from = version.rows() == 1 ? static_cast<int>(version.Int(0, 0)) : -1;
  if (from < 0 || from > kSharedSchemaVersion) {
    *error = from < 0
                 ? db.ErrorText()
                 : "shared schema version " + std::to_string(from) + " is newer than this server's";
    db.Execute("ROLLBACK");
    return false;
  }
  for (int k = from; k < kSharedSchemaVersion; ++k) {
    if (!db.Execute(kSharedSteps[k])) {
      *error = db.ErrorText();
      db.Execute("ROLLBACK");
      return false;
    }
  }
  pg::Result set = db.Query("UPDATE kestrun_schema SET version = $1",
                            pg::Params().Add(int64_t{kSharedSchemaVersion}));
  if (!set.ok() || !db.Execute("COMMIT")) {
    *error = db.ErrorText();
    db.Execute("ROLLBACK");
    return false;
  }
  return true;
}

}  // namespace kestrun::history
