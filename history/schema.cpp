#include "history/schema.h"

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
};

// PRAGMA takes no bound parameters; the version texts are the code's own.
constexpr std::array<const char*, kSchemaVersion> kSetVersion = {
    "PRAGMA user_version = 1",
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

}  // namespace kestrun::history
