#include "server/history_requests.h"

#include <cstdio>
#include <map>

#include "base/log.h"
#include "base/text.h"
#include "config/group_processor.h"
#include "config/server_config.h"
#include "history/postgres.h"
#include "jobs/run_recording.h"
#include "protocol/messages/history.h"
#include "protocol/udp.h"

namespace kestrun {

namespace {

constexpr const char* kHistoryOff = "The run history is not kept on this server";
constexpr const char* kLongServerName = "The server name is longer than 255 bytes";

// The job-list rule, asked once per job name of a reply.
class Visibility {
 public:
  Visibility(const ServerConfig& config, std::string user)
      : config_(config), snapshot_(config.Snapshot()), user_(std::move(user)) {}
  bool operator()(const std::string& job) {
    auto [it, added] = seen_.try_emplace(job, false);
    if (!added) return it->second;
    const JobDefinition* definition = snapshot_->FindJob(job);
    it->second = definition != nullptr &&
                 (!definition->group || IsUserInGroups(config_, *definition->group, user_));
    return it->second;
  }

 private:
  const ServerConfig& config_;
  std::shared_ptr<const ConfigSnapshot> snapshot_;
  std::string user_;
  std::map<std::string, bool> seen_;
};

void Refuse(RequestContext& rc, const std::string& message) {
  messages::HistoryRefusal{message}.Encode(rc.reply);
}

}  // namespace

void HistoryQuery(RequestContext& rc) {
  const messages::HistoryQueryRequest request = messages::HistoryQueryRequest::Decode(rc.request);
  if (!rc.server.history) return Refuse(rc, kHistoryOff);
  if (request.limit < 1 || request.limit > messages::kMaxHistoryLimit)
    return Refuse(rc, "The number of runs asked for must be between 1 and 1000");
  if (request.job.size() > messages::kMaxHistoryJobName)
    return Refuse(rc, "The job name is longer than 255 bytes");
  history::Query query;
  query.job = UpperCase(request.job);
  query.user = request.runUser;
  query.since = request.since;
  query.limit = request.limit;
  Visibility visible(*rc.server.config, request.user);
  query.visible = [&visible](const std::string& job) { return visible(job); };
  messages::HistoryQueryReply reply;
  for (const history::RunRecord& record : rc.server.history->Find(query))
    reply.runs.push_back(SummaryOf(record));
  if (const size_t left = reply.Encode(rc.reply); left > 0)
    LogMessage(*rc.server.config,
               "%s@%s - run history cut short: %zu record(s) left out of the reply, which would "
               "pass the message limits",
               request.user.c_str(), request.node.c_str(), left);
}

void HistoryQueryServers(RequestContext& rc) {
  const messages::ServersQueryRequest request = messages::ServersQueryRequest::Decode(rc.request);
  const messages::HistoryQueryRequest& q = request.query;
  if (!rc.server.history) return Refuse(rc, kHistoryOff);
  if (request.server.size() > messages::kMaxHistoryJobName) return Refuse(rc, kLongServerName);
  history::SharedHistory* shared = rc.server.history->shared();
  if (!shared) return Refuse(rc, "The run history of this server is not shared with others");
  if (q.limit < 1 || q.limit > messages::kMaxHistoryLimit)
    return Refuse(rc, "The number of runs asked for must be between 1 and 1000");
  if (q.job.size() > messages::kMaxHistoryJobName)
    return Refuse(rc, "The job name is longer than 255 bytes");
  // Records of other servers are shown for the jobs of the same name that
  // the user may run on this server.
  history::SharedQuery query;
  query.server = request.server;
  query.job = UpperCase(q.job);
  query.user = q.runUser;
  query.since = q.since;
  query.limit = q.limit;
  Visibility visible(*rc.server.config, q.user);
  query.visible = [&visible](const std::string& job) { return visible(job); };
  std::string error;
  const std::optional<std::vector<history::SharedRecord>> records = shared->Find(query, &error);
  if (!records) {
    LogMessage(*rc.server.config, "%s@%s - shared run history not read: %s", q.user.c_str(),
               q.node.c_str(), error.c_str());
    return Refuse(rc, "The shared run history cannot be read now: " + error);
  }
  messages::ServersQueryReply reply;
  for (const history::SharedRecord& record : *records)
    reply.runs.push_back({record.server, SummaryOf(record.run)});
  if (const size_t left = reply.Encode(rc.reply); left > 0)
    LogMessage(*rc.server.config,
               "%s@%s - run history cut short: %zu record(s) left out of the reply, which would "
               "pass the message limits",
               q.user.c_str(), q.node.c_str(), left);
}

namespace {

// Writes `stored` as the RUN_OUTPUT reply of run `id`, or the refusal when
// it would pass the message limits.
void ReplyOutput(RequestContext& rc, int64_t id, const history::StoredOutput& stored) {
  messages::RunOutputReply reply;
  reply.leftOut = stored.leftOut;
  reply.leftOutAt = static_cast<int32_t>(stored.leftOutAt);
  for (const history::OutputChunk& chunk : stored.chunks)
    reply.chunks.push_back({static_cast<int32_t>(chunk.stream), chunk.data});
  const XDRWRAP::Mark start = rc.reply.End();
  reply.Encode(rc.reply);
  if (!rc.reply.WithinLimits()) {
    rc.reply.TruncateTo(start);
    Refuse(rc, "The output of run " + std::to_string(id) +
                   " is too large for one reply; lower historyoutput");
  }
}

// Replies with the output of this server's run `r.id` from its file, or
// refuses with `unknown`: an unknown run and one the user may not see read
// the same.
void ReplyLocalOutput(RequestContext& rc, const messages::RunOutputRequest& r,
                      const std::string& unknown) {
  const std::optional<history::RunRecord> record = rc.server.history->FindRun(r.id);
  Visibility visible(*rc.server.config, r.user);
  if (!record || !visible(record->start.job)) return Refuse(rc, unknown);
  const std::optional<history::StoredOutput> stored = rc.server.history->ReadOutput(r.id);
  if (!stored) return Refuse(rc, unknown);
  ReplyOutput(rc, r.id, *stored);
}

}  // namespace

void RunOutput(RequestContext& rc) {
  const messages::RunOutputRequest request = messages::RunOutputRequest::Decode(rc.request);
  if (!rc.server.history) return Refuse(rc, kHistoryOff);
  ReplyLocalOutput(rc, request, "Run " + std::to_string(request.id) + " not found");
}

void RunOutputServer(RequestContext& rc) {
  const messages::ServerOutputRequest request = messages::ServerOutputRequest::Decode(rc.request);
  const messages::RunOutputRequest& r = request.run;
  if (!rc.server.history) return Refuse(rc, kHistoryOff);
  if (request.server.size() > messages::kMaxHistoryJobName) return Refuse(rc, kLongServerName);
  history::SharedHistory* shared = rc.server.history->shared();
  if (!shared) return Refuse(rc, "The run history of this server is not shared with others");
  const std::string unknown =
      "Run " + std::to_string(r.id) + " of server " + request.server + " not found";
  // This server's own runs are read from its file, which is never behind.
  if (request.server == shared->serverName()) return ReplyLocalOutput(rc, r, unknown);
  // Another server's run is shown for a job of the same name that the user
  // may run on this server; an unknown run and one the user may not see
  // read the same.
  history::SharedRun run;
  std::string error;
  switch (shared->ReadRun(request.server, r.id, /*withOutput=*/true, &run, &error)) {
    case history::SharedHistory::Lookup::Unreadable:
      LogMessage(*rc.server.config, "%s@%s - shared run history not read: %s", r.user.c_str(),
                 r.node.c_str(), error.c_str());
      return Refuse(rc, "The shared run history cannot be read now: " + error);
    case history::SharedHistory::Lookup::Unknown:
      return Refuse(rc, unknown);
    case history::SharedHistory::Lookup::Found:
      break;
  }
  Visibility visible(*rc.server.config, r.user);
  if (!visible(run.run.start.job)) return Refuse(rc, unknown);
  ReplyOutput(rc, r.id, run.output);
}

std::unique_ptr<history::RunHistory> OpenRunHistory(const ServerConfig& config,
                                                    const std::string& home,
                                                    std::function<int32_t()> runningJobs) {
  const std::string& setting = config.historySetting();
  if (EqualsNoCase(setting, "off")) return nullptr;
  history::Settings settings;
  if (pg::IsConnectionString(setting)) {
    // Shared: every record is kept in the home's file first, and copied.
    history::SharedSettings shared;
    shared.conninfo = setting;
    shared.serverName = config.serverName().empty() ? net::LocalHostName() : config.serverName();
    shared.version = history::kServerVersion;
    shared.runningJobs = std::move(runningJobs);
    settings.shared = std::move(shared);
    settings.path = home + "/history.db";
  } else {
    settings.path = setting.empty()     ? home + "/history.db"
                    : setting[0] == '/' ? setting
                                        : home + "/" + setting;
  }
  settings.outputCap = [&config](const std::string& job) -> int64_t {
    const std::shared_ptr<const ConfigSnapshot> snapshot = config.Snapshot();
    const JobDefinition* definition = snapshot->FindJob(job);
    const int32_t cap = definition && definition->historyOutput >= 0 ? definition->historyOutput
                                                                     : snapshot->historyOutput;
    return std::max(cap, 0);
  };
  settings.retention = [&config](const std::string& job) {
    const std::shared_ptr<const ConfigSnapshot> snapshot = config.Snapshot();
    const JobDefinition* definition = snapshot->FindJob(job);
    history::Retention keep;
    keep.days = definition && definition->historyDays >= 0 ? definition->historyDays
                                                           : snapshot->historyDays;
    keep.runs = definition ? std::max(definition->historyRuns, 0) : 0;
    return keep;
  };
  settings.log = [&config](const std::string& line) { LogMessage(config, "%s", line.c_str()); };
  std::string warning;
  std::unique_ptr<history::RunHistory> history =
      history::RunHistory::Open(std::move(settings), &warning);
  if (!warning.empty()) {
    if (!history) std::fprintf(stderr, "WARNING: %s\n", warning.c_str());
    LogMessage(config, "%s", warning.c_str());
  }
  return history;
}

}  // namespace kestrun
