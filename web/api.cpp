#include "web/api.h"

#include <boost/json.hpp>
#include <charconv>
#include <optional>
#include <vector>

#include "base/log.h"
#include "base/text.h"
#include "config/group_processor.h"
#include "config/server_config.h"
#include "dialogs/dialog_layout.h"
#include "history/run_history.h"
#include "history/shared_history.h"
#include "jobs/run_recording.h"
#include "launch/running_jobs.h"
#include "protocol/messages/dialog.h"
#include "protocol/messages/dialog_scripts.h"
#include "protocol/messages/history.h"
#include "protocol/messages/jobs_admin.h"
#include "protocol/udp.h"
#include "web/json_requests.h"

namespace kestrun::web {

namespace json = boost::json;

namespace {

json::string_view View(const std::string& s) {
  return {s.data(), s.size()};
}

// Stored output as [{"stream","data"}], from the file's chunks or a reply's.
template <class Chunk>
json::array ChunksJson(const std::vector<Chunk>& chunks) {
  json::array list;
  for (const Chunk& chunk : chunks)
    list.push_back(json::object{{"stream", chunk.stream}, {"data", View(chunk.data)}});
  return list;
}

ApiReply JsonReply(const json::value& value, int status = 200) {
  return {status, json::serialize(value)};
}

json::array Strings(const std::vector<std::string>& values) {
  json::array list;
  list.reserve(values.size());
  for (const std::string& v : values) list.emplace_back(View(v));
  return list;
}

std::optional<int64_t> ParseInteger(std::string_view text) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

json::object RecordJson(const messages::RunSummary& r, const std::string& server) {
  return {{"server", View(server)},
          {"id", r.id},
          {"job", View(r.job)},
          {"user", View(r.user)},
          {"node", View(r.node)},
          {"address", View(r.address)},
          {"origin", View(r.origin)},
          {"arguments", Strings(r.arguments)},
          {"fields", Strings(r.fields)},
          {"listbox", Strings(r.listBox)},
          {"started", r.started},
          {"ended", r.ended},
          {"pid", r.pid},
          {"exit_code", r.exitCode},
          {"outcome", View(r.outcome)},
          {"ended_by", View(r.endedBy)},
          {"output_bytes", r.outputBytes},
          {"message", View(r.message)}};
}

messages::DialogBlocks BlocksOf(const DialogValues& values) {
  messages::DialogBlocks blocks;
  blocks.fields.values = values.fields;
  blocks.listBox.selections = values.selections;
  blocks.listBox.headings = values.headings;
  blocks.listBox.variables = values.listBox;
  return blocks;
}

json::object ListBoxJson(const messages::ListBoxFilled& box) {
  return {{"lines", Strings(box.lines)},
          {"separator", View(box.separator)},
          {"headingsInFirstLine", box.noColumnNames},
          {"contextColumn", box.contextColumn},
          {"icons", Strings(box.icons)},
          {"widths", Strings(box.widths)},
          {"updateFields", Strings(box.updateFields)}};
}

template <class T>
json::array Numbers(const std::vector<T>& values) {
  json::array list;
  for (const T v : values) list.emplace_back(v);
  return list;
}

json::object ListBoxLayoutJson(const LayoutListBox& box) {
  json::array columns, rows, menus;
  for (const LayoutColumn& c : box.columns)
    columns.push_back(json::object{{"name", View(c.name)}, {"width", c.width}});
  for (const LayoutListRow& r : box.rows)
    rows.push_back(json::object{{"icon", View(r.icon)}, {"cells", Strings(r.cells)}});
  for (const LayoutMenu& m : box.menus) {
    json::array entries;
    for (const LayoutMenuEntry& e : m.entries)
      entries.push_back(json::object{{"job", View(e.job)}, {"label", View(e.label)}});
    menus.push_back(json::object{{"value", View(m.value)}, {"entries", std::move(entries)}});
  }
  const char* selection = box.selection == SelectionMode::Single ? "single"
                          : box.selection == SelectionMode::None ? "none"
                                                                 : "multiple";
  return {{"columns", std::move(columns)},
          {"rows", std::move(rows)},
          {"selection", selection},
          {"multiple", box.multiple},
          {"sort", json::object{{"column", box.sortColumn}, {"descending", box.sortDescending}}},
          {"icons", box.icons},
          {"height", box.height},
          {"width", box.width},
          {"contextColumn", box.contextColumn},
          {"autoSelectColumn", box.autoSelectColumn},
          {"autoSelectValue", View(box.autoSelectValue)},
          {"autoRefresh", box.autoRefresh},
          {"fillOnApply", box.fillOnApply},
          {"doubleClick", box.doubleClick},
          {"changeUpdates", Numbers(box.changeUpdates)},
          {"menus", std::move(menus)}};
}

// The layout with the members of DialogLayout in lowerCamelCase.
json::object LayoutJson(const DialogLayout& layout) {
  json::array frames, rows, fields, icons;
  for (const LayoutFrame& f : layout.frames)
    frames.push_back(json::object{
        {"number", f.number}, {"title", View(f.title)}, {"tab", f.tab}, {"firstRow", f.firstRow}});
  for (const LayoutRow& r : layout.rows) {
    json::array items;
    for (const LayoutItem& i : r.items)
      items.push_back(json::object{{"kind", i.kind == LayoutItem::Kind::Field ? "field" : "label"},
                                   {"text", View(i.text)},
                                   {"field", i.field},
                                   {"column", i.column},
                                   {"width", i.width},
                                   {"alignEnd", i.alignEnd}});
    rows.push_back(json::object{
        {"line", r.line}, {"tab", r.tab}, {"frame", r.frame}, {"items", std::move(items)}});
  }
  for (const LayoutField& f : layout.fields)
    fields.push_back(json::object{{"number", f.number},
                                  {"type", LayoutFieldTypeName(f.type)},
                                  {"label", View(f.label)},
                                  {"value", View(f.value)},
                                  {"choices", Strings(f.choices)},
                                  {"group", f.group},
                                  {"tab", f.tab},
                                  {"frame", f.frame},
                                  {"row", f.row},
                                  {"column", f.column},
                                  {"width", f.width},
                                  {"enabled", f.enabled},
                                  {"updates", Numbers(f.updates)}});
  for (const LayoutIcon& i : layout.icons)
    icons.push_back(json::object{
        {"name", View(i.name)}, {"data", View(i.data)}, {"width", i.width}, {"height", i.height}});
  const LayoutBanner& b = layout.banner;
  json::object buttons{{"ok", View(layout.buttons.ok)}, {"cancel", View(layout.buttons.cancel)}};
  buttons["apply"] = layout.buttons.apply ? json::value(View(*layout.buttons.apply)) : nullptr;
  return {{"title", View(layout.title)},
          {"banner", json::object{{"shown", b.shown},
                                  {"heading", View(b.heading)},
                                  {"text", View(b.text)},
                                  {"icon", View(b.icon)},
                                  {"picture", View(b.picture)}}},
          {"tabs", Strings(layout.tabs)},
          {"frames", std::move(frames)},
          {"rows", std::move(rows)},
          {"fields", std::move(fields)},
          {"listbox", layout.listBox ? json::value(ListBoxLayoutJson(*layout.listBox)) : nullptr},
          {"icons", std::move(icons)},
          {"buttons", std::move(buttons)}};
}

}  // namespace

ApiReply ErrorReply(int status, std::string_view text) {
  return JsonReply(json::object{{"error", json::string_view(text.data(), text.size())}}, status);
}

std::optional<std::string> PercentDecode(std::string_view text, bool query) {
  std::string out;
  out.reserve(text.size());
  for (size_t k = 0; k < text.size(); ++k) {
    const char c = text[k];
    if (c == '+' && query) {
      out.push_back(' ');
    } else if (c == '%') {
      if (k + 2 >= text.size()) return std::nullopt;
      unsigned value = 0;
      const auto [end, error] =
          std::from_chars(text.data() + k + 1, text.data() + k + 3, value, 16);
      if (error != std::errc() || end != text.data() + k + 3) return std::nullopt;
      out.push_back(static_cast<char>(value));
      k += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::optional<std::vector<std::string>> PathSegments(std::string_view path) {
  std::vector<std::string> segments;
  while (!path.empty()) {
    if (path.front() == '/') {
      path.remove_prefix(1);
      continue;
    }
    const size_t slash = path.find('/');
    std::optional<std::string> segment = PercentDecode(path.substr(0, slash), false);
    if (!segment) return std::nullopt;
    segments.push_back(std::move(*segment));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash);
  }
  return segments;
}

bool Api::IsAdmin(const std::string& user) const {
  const std::string& admins = server_.config->web().admins;
  return !admins.empty() && IsUserInGroups(*server_.config, admins, user);
}

ApiReply Api::Handle(const Caller& caller, std::string_view method, std::string_view path,
                     const std::map<std::string, std::string>& query, std::string_view body) {
  const std::optional<std::vector<std::string>> parts = PathSegments(path);
  if (!parts) return ErrorReply(400, "The path does not decode");
  const std::vector<std::string>& p = *parts;
  const bool get = method == "GET";
  const bool post = method == "POST";
  try {
    if (p.size() == 1 && p[0] == "jobs" && get) return Jobs(caller);
    if (p.size() == 3 && p[0] == "jobs" && post &&
        (p[2] == "field-script" || p[2] == "listbox-script" || p[2] == "validate" ||
         p[2] == "cancel")) {
      if (auto bad = CheckJobName(p[1])) return ErrorReply(400, bad->error);
      return DialogScript(caller, p[1], p[2], body);
    }
    if (p.size() == 3 && p[0] == "jobs" && p[2] == "dialog" && get) {
      if (auto bad = CheckJobName(p[1])) return ErrorReply(400, bad->error);
      return Dialog(caller, p[1]);
    }
    if (p.size() == 1 && p[0] == "active" && get) return Active(caller);
    if (p.size() == 3 && p[0] == "active" && p[2] == "kill" && post) return Kill(caller, p[1]);
    if (p.size() == 1 && (p[0] == "history" || p[0] == "runs") && get)
      return History(caller, query);
    if (p.size() == 1 && p[0] == "servers" && get) return Servers();
    if (p.size() == 2 && p[0] == "runs" && get) return Run(caller, p[1], false, query);
    if (p.size() == 3 && p[0] == "runs" && p[2] == "output" && get)
      return Run(caller, p[1], true, query);
  } catch (const DecodeFailure&) {
    return ErrorReply(500, "The request could not be served");
  }
  return ErrorReply(404, "Not found");
}

std::optional<ApiReply> Api::KeptJobs(const Caller& caller, bool* renew) {
  const std::shared_ptr<const KeptJobList> list =
      jobLists_.Find(caller.user, server_.config->Snapshot(), renew);
  if (!list) return std::nullopt;
  return JobsReply(*list);
}

void Api::RenewJobList(const std::string& user) {
  MakeJobList(user);
}

void Api::RenewNotStarted(const std::string& user) {
  jobLists_.Unclaim(user);
}

ApiReply Api::Jobs(const Caller& caller) {
  return JobsReply(*MakeJobList(caller.user));
}

std::shared_ptr<const KeptJobList> Api::MakeJobList(const std::string& user) {
  const ServerConfig& config = *server_.config;
  auto list = std::make_shared<KeptJobList>();
  // The list's lifetime counts from before its group checks, so that a
  // membership changed meanwhile is seen within the lifetime.
  list->begun = jobLists_.Now();
  // A change the group processor reports is taken in first, as the native
  // listener does before each request: without it a console used alone
  // would keep answering from the groups fetched first.
  if (GroupsChanged(config) != 0) MarkGroupCacheStale(config);
  list->snapshot = config.Snapshot();
  // The job-list rule: a job without a group is everybody's; one with a
  // group belongs to its members.
  for (const JobDefinition& job : list->snapshot->jobs) {
    if (job.group && !IsUserInGroups(config, *job.group, user)) continue;
    std::string head = json::serialize(json::object{{"name", View(job.name)},
                                                    {"title", View(job.title)},
                                                    {"description", View(job.helpText)},
                                                    {"dialog", !job.dialog.empty()},
                                                    {"allowstop", job.allowStop}});
    head.back() = ',';  // the object goes on with "running" (JobsReply)
    head += "\"running\":";
    list->jobs.push_back({std::move(head), job.name});
  }
  jobLists_.Keep(user, list);
  return list;
}

ApiReply Api::JobsReply(const KeptJobList& list) const {
  size_t size = 2;
  for (const KeptJobList::Job& job : list.jobs) size += job.head.size() + 7;
  std::string body;
  body.reserve(size);
  body += '[';
  for (const KeptJobList::Job& job : list.jobs) {
    if (body.size() > 1) body += ',';
    body += job.head;
    body += server_.runningJobs->IsJobRunning(job.name, {}) ? "true}" : "false}";
  }
  body += ']';
  return {200, std::move(body)};
}

ApiReply Api::DialogScript(const Caller& caller, const std::string& job, std::string_view kind,
                           std::string_view body) {
  Parsed<DialogValues> parsed = ParseDialogValues(body);
  if (auto* bad = std::get_if<BadRequest>(&parsed)) return ErrorReply(400, bad->error);
  const DialogValues& values = std::get<DialogValues>(parsed);
  const NativeCaller native = AtAddress(caller.address);
  if (kind == "cancel") {
    CallNative(server_, lookup_,
               messages::CancelDialogRequest{job, caller.user, caller.node, caller.clientId},
               native);
    return {204, {}};
  }
  if (kind == "validate") {
    messages::RunValidationScriptRequest request{
        job, caller.user, caller.node, caller.clientId, BlocksOf(values), values.arguments};
    XDRWRAP reply = CallNative(server_, lookup_, request, native);
    const auto result = messages::DecodeValidationScriptReply(reply);
    if (const auto* refused = std::get_if<messages::ScriptRefused>(&result))
      return JsonReply(json::object{{"ok", false}, {"message", View(refused->message)}});
    return JsonReply(json::object{{"ok", true}, {"message", ""}});
  }
  if (kind == "field-script") {
    messages::RunFieldScriptRequest request{
        job,         caller.user,     values.arguments, BlocksOf(values),
        caller.node, caller.clientId, values.changed,   values.current};
    XDRWRAP reply = CallNative(server_, lookup_, request, native);
    const auto result = messages::DecodeFieldScriptReply(reply);
    if (const auto* refused = std::get_if<messages::ScriptRefused>(&result))
      return JsonReply(json::object{{"ok", false}, {"message", View(refused->message)}});
    const auto& filled = std::get<messages::FieldValues>(result);
    return JsonReply(json::object{{"ok", !filled.failed},
                                  {"message", View(filled.error)},
                                  {"fields", Strings(filled.lines)}});
  }
  messages::RunListBoxScriptRequest request{
      job,         caller.user,     values.arguments, BlocksOf(values),
      caller.node, caller.clientId, values.reason,    values.changed};
  XDRWRAP reply = CallNative(server_, lookup_, request, native);
  const auto result = messages::DecodeListBoxScriptReply(reply);
  if (const auto* refused = std::get_if<messages::ScriptRefused>(&result))
    return JsonReply(json::object{{"ok", false}, {"message", View(refused->message)}});
  return JsonReply(
      json::object{{"ok", true},
                   {"message", ""},
                   {"listbox", ListBoxJson(std::get<messages::ListBoxFilled>(result))}});
}

ApiReply Api::Dialog(const Caller& caller, const std::string& job) {
  DialogCaller opener{job, caller.user, caller.node, caller.clientId, {}, std::nullopt};
  std::variant<DialogLayout, DialogRefusal> opened = OpenDialogLayout(server_, opener);
  if (const auto* refusal = std::get_if<DialogRefusal>(&opened))
    return ErrorReply(409, refusal->message);
  return JsonReply(LayoutJson(std::get<DialogLayout>(opened)));
}

ApiReply Api::Active(const Caller& caller) {
  XDRWRAP reply =
      CallNative(server_, lookup_, messages::GetActiveJobsRequest{}, AtAddress(caller.address));
  const messages::GetActiveJobsReply active = messages::GetActiveJobsReply::Decode(reply);
  json::array list;
  for (const messages::ActiveJobEntry& job : active.jobs) {
    if (!caller.admin && job.clientUser != caller.user) continue;
    list.push_back(json::object{{"job", View(job.jobName)},
                                {"lock", View(job.lockValue)},
                                {"user", View(job.clientUser)},
                                {"pid", job.processId},
                                {"started", job.startTime}});
  }
  return JsonReply(list);
}

ApiReply Api::Kill(const Caller& caller, std::string_view pidText) {
  if (!caller.admin) return ErrorReply(403, "Only administrators may kill jobs");
  const std::optional<int64_t> pid = ParseInteger(pidText);
  if (!pid || *pid < 1 || *pid > INT32_MAX) return ErrorReply(400, "The process id is not valid");
  LogMessage(*server_.config, "%s@%s requests kill of process id %ld", caller.user.c_str(),
             caller.node.c_str(), static_cast<long>(*pid));
  XDRWRAP reply = CallNative(server_, lookup_, messages::KillJobRequest{static_cast<int32_t>(*pid)},
                             AtAddress(caller.address));
  const messages::KillJobReply result = messages::DecodeKillJobReply(reply);
  if (const auto* killed = std::get_if<messages::KillJobKilled>(&result))
    return JsonReply(json::object{{"killed", true}, {"job", View(killed->jobName)}});
  return ErrorReply(404, "No running job has process id " + std::to_string(*pid));
}

ApiReply Api::History(const Caller& caller, const std::map<std::string, std::string>& query) {
  messages::HistoryQueryRequest request;
  request.user = caller.user;
  request.node = caller.node;
  auto value = [&query](const char* key) -> std::string {
    const auto it = query.find(key);
    return it == query.end() ? std::string() : it->second;
  };
  request.job = value("job");
  request.runUser = value("user");
  if (const std::string limit = value("limit"); !limit.empty()) {
    const std::optional<int64_t> n = ParseInteger(limit);
    if (!n || *n < 1 || *n > messages::kMaxHistoryLimit)
      return ErrorReply(400, "The number of runs asked for must be between 1 and 1000");
    request.limit = static_cast<int32_t>(*n);
  }
  if (const std::string since = value("since"); !since.empty()) {
    const std::optional<int64_t> n = ParseInteger(since);
    if (!n || *n < 0) return ErrorReply(400, "since must be a time in milliseconds");
    request.since = *n;
  }
  if (request.job.size() > messages::kMaxHistoryJobName)
    return ErrorReply(400, "The job name is longer than 255 bytes");
  const std::string server = value("server");
  if (server.size() > messages::kMaxHistoryJobName)
    return ErrorReply(400, "The server name is longer than 255 bytes");
  history::SharedHistory* shared = server_.history != nullptr ? server_.history->shared() : nullptr;
  const std::string self = ServerName();
  if (!server.empty() && shared != nullptr) return SharedRuns(caller, request, server);
  // Without a shared history this server is the whole fleet.
  if (!server.empty() && server != "all" && server != self) return JsonReply(json::array());
  json::array list;
  if (caller.admin && server_.history != nullptr) {
    // Administrators see every record, whatever the job-list rule says.
    history::Query q;
    q.job = UpperCase(request.job);
    q.user = request.runUser;
    q.since = request.since;
    q.limit = request.limit;
    for (const history::RunRecord& r : server_.history->Find(q))
      list.push_back(RecordJson(SummaryOf(r), self));
    return JsonReply(list);
  }
  XDRWRAP reply = CallNative(server_, lookup_, request, AtAddress(caller.address));
  const auto result = messages::DecodeHistoryQueryReply(reply);
  if (const auto* refused = std::get_if<messages::HistoryRefusal>(&result))
    return ErrorReply(409, refused->message);
  for (const messages::RunSummary& r : std::get<messages::HistoryQueryReply>(result).runs)
    list.push_back(RecordJson(r, self));
  return JsonReply(list);
}

std::string Api::ServerName() const {
  if (server_.history != nullptr && server_.history->shared() != nullptr)
    return server_.history->shared()->serverName();
  const std::string& name = server_.config->serverName();
  return name.empty() ? net::LocalHostName() : name;
}

ApiReply Api::SharedRuns(const Caller& caller, const messages::HistoryQueryRequest& request,
                         const std::string& server) {
  history::SharedHistory& shared = *server_.history->shared();
  const std::string name = server == "all" ? std::string() : server;
  json::array list;
  if (caller.admin) {
    // Administrators see every record of every server.
    history::SharedQuery q;
    q.server = name;
    q.job = UpperCase(request.job);
    q.user = request.runUser;
    q.since = request.since;
    q.limit = request.limit;
    std::string error;
    const std::optional<std::vector<history::SharedRecord>> records = shared.Find(q, &error);
    if (!records) return ErrorReply(503, "The shared run history cannot be read now: " + error);
    for (const history::SharedRecord& r : *records)
      list.push_back(RecordJson(SummaryOf(r.run), r.server));
    return JsonReply(list);
  }
  // Others through HISTORY_QUERY_SERVERS: records of other servers for the
  // jobs of the same name that the user may run on this server.
  XDRWRAP reply = CallNative(server_, lookup_, messages::ServersQueryRequest{request, name},
                             AtAddress(caller.address));
  const auto result = messages::DecodeServersQueryReply(reply);
  if (const auto* refused = std::get_if<messages::HistoryRefusal>(&result))
    return ErrorReply(503, refused->message);
  for (const messages::ServerRunSummary& r : std::get<messages::ServersQueryReply>(result).runs)
    list.push_back(RecordJson(r.run, r.server));
  return JsonReply(list);
}

ApiReply Api::Servers() {
  const int64_t now = history::SystemClockMs();
  history::SharedHistory* shared = server_.history != nullptr ? server_.history->shared() : nullptr;
  const std::string self = ServerName();
  json::array list;
  auto row = [&list, &self, now](const history::ServerRow& r) {
    list.push_back(json::object{{"name", View(r.name)},
                                {"console", View(r.console)},
                                {"version", View(r.version)},
                                {"running", r.running},
                                {"last_seen", r.lastSeen},
                                {"state", history::ServerState(r.lastSeen, now)},
                                {"this", r.name == self}});
  };
  // This server's own row is always its live state: its first heartbeat
  // may not have reached the database yet, and the database may be away.
  const history::ServerRow own{
      self, ConsoleAddress(server_.config->web(), net::LocalHostName()), history::kServerVersion,
      static_cast<int32_t>(server_.runningJobs->ListRunningJobs().size()), now};
  std::string unreachable;
  bool ownShown = false;
  if (shared != nullptr) {
    std::string error;
    const std::optional<std::vector<history::ServerRow>> rows = shared->Servers(&error);
    if (!rows) unreachable = "The shared run history cannot be read now: " + error;
    for (const history::ServerRow& r : rows.value_or(std::vector<history::ServerRow>{})) {
      if (!ownShown && self < r.name) {
        row(own);
        ownShown = true;
      }
      if (r.name != self) row(r);
    }
  }
  if (!ownShown) row(own);
  json::object reply{
      {"fleet", shared != nullptr}, {"this", View(self)}, {"servers", std::move(list)}};
  if (!unreachable.empty()) reply["error"] = unreachable;
  return JsonReply(std::move(reply));
}

bool Api::MayRun(const Caller& caller, const std::string& jobName) const {
  if (caller.admin) return true;
  const std::shared_ptr<const ConfigSnapshot> snapshot = server_.config->Snapshot();
  const JobDefinition* job = snapshot->FindJob(jobName);
  return job != nullptr &&
         (!job->group || IsUserInGroups(*server_.config, *job->group, caller.user));
}

ApiReply Api::Run(const Caller& caller, std::string_view idText, bool output,
                  const std::map<std::string, std::string>& query) {
  const std::optional<int64_t> id = ParseInteger(idText);
  if (!id || *id < 1) return ErrorReply(400, "The run id is not valid");
  const std::string unknown = "Run " + std::to_string(*id) + " not found";
  if (server_.history == nullptr)
    return ErrorReply(409, "The run history is not kept on this server");
  if (const auto server = query.find("server");
      server != query.end() && !server->second.empty() && server->second != ServerName()) {
    if (server->second.size() > messages::kMaxHistoryJobName)
      return ErrorReply(400, "The server name is longer than 255 bytes");
    // Without a shared history this server's runs are the only ones.
    if (server_.history->shared() == nullptr) return ErrorReply(404, unknown);
    return SharedRun(caller, *id, output, server->second);
  }
  const std::optional<history::RunRecord> record = server_.history->FindRun(*id);
  // An unknown run and one the user may not see read the same.
  if (!record || !MayRun(caller, record->start.job)) return ErrorReply(404, unknown);
  if (!output) return JsonReply(RecordJson(SummaryOf(*record), ServerName()));
  if (caller.admin) {
    const std::optional<history::StoredOutput> stored = server_.history->ReadOutput(*id);
    if (!stored) return ErrorReply(404, unknown);
    return JsonReply(ChunksJson(stored->chunks));
  }
  XDRWRAP reply =
      CallNative(server_, lookup_, messages::RunOutputRequest{caller.user, caller.node, *id},
                 AtAddress(caller.address));
  const auto result = messages::DecodeRunOutputReply(reply);
  if (const auto* refused = std::get_if<messages::HistoryRefusal>(&result))
    return ErrorReply(404, refused->message);
  return JsonReply(ChunksJson(std::get<messages::RunOutputReply>(result).chunks));
}

ApiReply Api::SharedRun(const Caller& caller, int64_t id, bool output, const std::string& server) {
  const std::string unknown = "Run " + std::to_string(id) + " of server " + server + " not found";
  const std::string unreadable = "The shared run history cannot be read now";
  if (output && !caller.admin) {
    // Others through RUN_OUTPUT_SERVER, which applies the job-list rule.
    XDRWRAP reply = CallNative(
        server_, lookup_, messages::ServerOutputRequest{{caller.user, caller.node, id}, server},
        AtAddress(caller.address));
    const auto result = messages::DecodeRunOutputReply(reply);
    if (const auto* refused = std::get_if<messages::HistoryRefusal>(&result))
      return ErrorReply(refused->message.starts_with(unreadable) ? 503 : 404, refused->message);
    return JsonReply(ChunksJson(std::get<messages::RunOutputReply>(result).chunks));
  }
  history::SharedRun run;
  std::string error;
  switch (server_.history->shared()->ReadRun(server, id, output, &run, &error)) {
    case history::SharedHistory::Lookup::Unreadable:
      return ErrorReply(503, unreadable + ": " + error);
    case history::SharedHistory::Lookup::Unknown:
      return ErrorReply(404, unknown);
    case history::SharedHistory::Lookup::Found:
      break;
  }
  // Another server's run is shown for a job of the same name that the user
  // may run on this server.
  if (!MayRun(caller, run.run.start.job)) return ErrorReply(404, unknown);
  if (!output) return JsonReply(RecordJson(SummaryOf(run.run), server));
  return JsonReply(ChunksJson(run.output.chunks));
}

}  // namespace kestrun::web
