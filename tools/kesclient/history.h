// `kesclient history` and `kesclient output`: reading the server's run
// history (HISTORY_QUERY, HISTORY_QUERY_SERVERS, RUN_OUTPUT, RUN_OUTPUT_SERVER).
#pragma once

#include <string>
#include <vector>

#include "client/client_config.h"
#include "protocol/messages/history.h"

namespace kestrun::client {

// Who asks, and the exit statuses of kesclient's failures.
struct HistoryContext {
  std::string user;
  std::string node;
  int usageStatus = 2;
  int noServerStatus = 3;  // the server could not be reached or answered badly
  int refusedStatus = 4;   // the server refused: an unknown run, a bad limit
};

// `history [JOB] [-n N] [--user USER] [--json] [--server NAME | --all]`: the
// newest N (default 20) records the user may see, as a table or as one JSON
// object per line; with --server or --all from the shared history of the
// servers (one server's, or every server's), each with its server's name.
int HistoryCommand(const ServerAddress& server, const HistoryContext& who,
                   const std::vector<std::string>& args);
// `output [--server NAME] ID`: the stored output of run ID, standard output
// to standard output and standard error to standard error, in the order it
// came; with --server that server's run, from the shared history.
int OutputCommand(const ServerAddress& server, const HistoryContext& who,
                  const std::vector<std::string>& args);

// The RESULT column: "exit 0", "killed by admin", "stopped by bob@pc2",
// "refused: TEXT", ...
std::string ResultText(const messages::RunSummary& run);
// The DURATION column: "0.042s", "12.5s", "3m 20s", "2h 05m"; "-" while running.
std::string DurationText(int64_t startedMs, int64_t endedMs);
// One JSON object (no newline) with the record's fields.
std::string RunJson(const messages::RunSummary& run);

}  // namespace kestrun::client
