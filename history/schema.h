// The history file's schema and its migrations (internal to the module).
#pragma once

#include <string>

#include "history/sqlite.h"

namespace kestrun::history {

// Output chunks of a run's head have sequence numbers from 0, those of its
// tail window from here on.
inline constexpr int64_t kTailSeqBase = int64_t{1} << 40;

inline constexpr int kSchemaVersion = 1;

// Brings the file's schema (PRAGMA user_version) up to kSchemaVersion, one
// migration step per version, each in its own transaction. False with
// `*error` set when a step fails.
bool Migrate(sql::Database& db, std::string* error);

}  // namespace kestrun::history
