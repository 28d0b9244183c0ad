// The JSON API of the web console that answers with one reply: the job
// list, the dialog as data and its script calls, the active jobs and their kill, the run
// history. Each call builds the native request, runs the server's own
// handler in the process (native_call.h) and turns its typed reply into
// JSON, so permissions, logging and history are those of native clients.
//
// Calls block for as long as the handler runs (a dialog script may take
// long): the listener calls them on worker threads. Any thread may call.
// The one exception is KeptJobs, which never blocks: the listener answers
// the job list with it on its own threads when it can.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/context.h"
#include "protocol/messages/history.h"
#include "web/job_list_cache.h"
#include "web/native_call.h"

namespace kestrun::web {

// The logged-in user of a request.
struct Caller {
  std::string user;
  std::string node;  // the peer's address text
  uint32_t address = 0;
  bool admin = false;
  int32_t clientId = 0;
};

struct ApiReply {
  int status = 200;
  std::string body;  // JSON; empty for 204
};

ApiReply ErrorReply(int status, std::string_view text);

class Api {
 public:
  Api(ServerContext& server, HandlerLookup lookup) : server_(server), lookup_(std::move(lookup)) {}

  // Serves `method` on `path` (below /api/, without the query) for a
  // logged-in caller; `query` holds the decoded query parameters. 404 for
  // a path it does not know.
  ApiReply Handle(const Caller& caller, std::string_view method, std::string_view path,
                  const std::map<std::string, std::string>& query, std::string_view body);

  // GET /api/jobs from the caller's kept job list (job_list_cache.h),
  // without blocking: any thread may call, the listener's too. None when no
  // current list is kept; Handle then makes one (and may block). `*renew`
  // set: the caller should have RenewJobList called on a worker, or
  // RenewNotStarted when it cannot.
  std::optional<ApiReply> KeptJobs(const Caller& caller, bool* renew);
  // Makes `user`'s job list again and keeps it (may block).
  void RenewJobList(const std::string& user);
  void RenewNotStarted(const std::string& user);

  // True when `user` belongs to one of the `webadmins` groups.
  bool IsAdmin(const std::string& user) const;

  ServerContext& server() const { return server_; }
  const HandlerLookup& lookup() const { return lookup_; }

 private:
  ApiReply Jobs(const Caller& caller);
  // Makes `user`'s job list from the current snapshot and keeps it.
  std::shared_ptr<const KeptJobList> MakeJobList(const std::string& user);
  // The reply of `list`, each job with whether it runs now.
  ApiReply JobsReply(const KeptJobList& list) const;
  ApiReply DialogScript(const Caller& caller, const std::string& job, std::string_view kind,
                        std::string_view body);
  ApiReply Dialog(const Caller& caller, const std::string& job);
  ApiReply Active(const Caller& caller);
  ApiReply Kill(const Caller& caller, std::string_view pid);
  // The run history: this server's (HISTORY_QUERY), or with `server` (a
  // name or "all") the shared history's; each record with its server.
  ApiReply History(const Caller& caller, const std::map<std::string, std::string>& query);
  ApiReply SharedRuns(const Caller& caller, const messages::HistoryQueryRequest& request,
                      const std::string& server);
  // {"fleet","this","servers":[...]}: the heartbeat rows of the shared
  // history with their state, or this server alone when it shares none.
  ApiReply Servers();
  // This server's name in the shared history (`servername`, default the
  // host name).
  std::string ServerName() const;
  // A run's record or its stored output: this server's, or with
  // server=NAME (another server) the shared history's.
  ApiReply Run(const Caller& caller, std::string_view id, bool output,
               const std::map<std::string, std::string>& query);
  ApiReply SharedRun(const Caller& caller, int64_t id, bool output, const std::string& server);
  // Whether the caller sees the records of job `job` (the job-list rule;
  // administrators see all).
  bool MayRun(const Caller& caller, const std::string& job) const;

  ServerContext& server_;
  HandlerLookup lookup_;
  JobListCache jobLists_;
};

// Splits "/a/b/c" into its segments, percent-decoded; nullopt when a
// segment does not decode.
std::optional<std::vector<std::string>> PathSegments(std::string_view path);
// Decodes one percent-encoded query or path component ('+' is a blank in
// a query); nullopt on a broken escape.
std::optional<std::string> PercentDecode(std::string_view text, bool query);

}  // namespace kestrun::web
