// HISTORY_QUERY and RUN_OUTPUT: reading the run history
// (protocol/messages/history.h has the fields). A user sees the records of
// the jobs that user may run now (the job list's group rule); like every
// request, this trusts the user name the client sends.
//
// Run on the request thread; hold no lock of their own.
#pragma once

#include <memory>
#include <string>

#include "core/context.h"
#include "history/run_history.h"

namespace kestrun {

void HistoryQuery(RequestContext& rc);
void RunOutput(RequestContext& rc);

// Opens the history the configuration asks for (`history`, default
// `home`/history.db, "off" for none), with the per-job output cap and
// retention read from the live configuration. A history that cannot be kept
// gives one warning on standard error and in the log, and nullptr.
std::unique_ptr<history::RunHistory> OpenRunHistory(const ServerConfig& config,
                                                    const std::string& home);

}  // namespace kestrun
