// HISTORY_QUERY and RUN_OUTPUT: reading the run history
// (protocol/messages/history.h has the fields). A user sees the records of
// the jobs that user may run now (the job list's group rule); like every
// request, this trusts the user name the client sends.
//
// Run on the request thread; hold no lock of their own.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/context.h"
#include "history/run_history.h"

namespace kestrun {

void HistoryQuery(RequestContext& rc);
void RunOutput(RequestContext& rc);

// HISTORY_QUERY_SERVERS: the shared history of every server (or of one).
void HistoryQueryServers(RequestContext& rc);
// RUN_OUTPUT_SERVER: the stored output of another server's run, from the
// shared history (this server's own from its file), for a job of the same
// name that the user may run on this server.
void RunOutputServer(RequestContext& rc);

// Opens the history the configuration asks for (`history`, default
// `home`/history.db, "off" for none, a PostgreSQL connection string for
// `home`/history.db shared there under `servername`), with the per-job
// output cap and retention read from the live configuration;
// `runningJobs` counts the running jobs for the shared heartbeat. A history
// that cannot be kept gives one warning on standard error and in the log,
// and nullptr.
std::unique_ptr<history::RunHistory> OpenRunHistory(const ServerConfig& config,
                                                    const std::string& home,
                                                    std::function<int32_t()> runningJobs = {});

}  // namespace kestrun
