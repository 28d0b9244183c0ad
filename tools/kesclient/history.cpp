#include "tools/kesclient/history.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <variant>

#include "client/text_escape.h"
#include "tools/kesclient/requests.h"

namespace kestrun::client {

namespace {

constexpr int32_t kDefaultCount = 20;
constexpr const char* kStopPrefix = "STOP_REQUEST of ";

int Fail(const std::string& message, int status) {
  std::fprintf(stderr, "kesclient: %s\n", EscapeControlCharacters(message).c_str());
  return status;
}

void JsonString(std::string& out, const std::string& text) {
  out.push_back('"');
  for (const unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
}

void JsonList(std::string& out, const std::vector<std::string>& items) {
  out.push_back('[');
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out.push_back(',');
    JsonString(out, items[i]);
  }
  out.push_back(']');
}

std::string LocalTimeText(int64_t ms) {
  const std::time_t t = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  localtime_r(&t, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

template <typename Reply>
std::optional<Reply> Ask(const ServerAddress& server, XDRWRAP& request,
                         std::variant<Reply, messages::HistoryRefusal> (*decode)(XDRWRAP&),
                         std::string* failure, bool* refused) {
  *refused = false;
  std::optional<XDRWRAP> reply = Exchange(server, request, failure);
  if (!reply) return std::nullopt;
  try {
    auto answer = decode(*reply);
    if (auto* refusal = std::get_if<messages::HistoryRefusal>(&answer)) {
      *failure = refusal->message;
      *refused = true;
      return std::nullopt;
    }
    return std::get<Reply>(std::move(answer));
  } catch (const DecodeFailure& broken) {
    *failure = NoAnswer(server, broken);
    return std::nullopt;
  }
}

}  // namespace

std::string ResultText(const messages::RunSummary& run) {
  const std::string& o = run.outcome;
  if (o.empty()) return "running";
  if (o == "exited") return "exit " + std::to_string(run.exitCode);
  if (o == "killed") {
    if (run.endedBy == "KILL_JOB") return "killed by admin";
    return run.endedBy.empty() ? "killed" : "killed by " + run.endedBy;
  }
  if (o == "stopped") {
    const std::string& by = run.endedBy;
    return "stopped by " + (by.starts_with(kStopPrefix) ? by.substr(16) : by);
  }
  if (o == "refused" || o == "denied" || o == "launch-failed")
    return (o == "launch-failed" ? std::string("launch failed") : o) + ": " + run.message;
  if (o == "connection-lost") return "connection lost, exit " + std::to_string(run.exitCode);
  return o;
}

std::string DurationText(int64_t startedMs, int64_t endedMs) {
  if (endedMs == 0) return "-";
  const int64_t ms = std::max<int64_t>(endedMs - startedMs, 0);
  char text[32];
  if (ms < 10'000)
    std::snprintf(text, sizeof text, "%.3fs", static_cast<double>(ms) / 1000);
  else if (ms < 60'000)
    std::snprintf(text, sizeof text, "%.1fs", static_cast<double>(ms) / 1000);
  else if (ms < 3'600'000)
    std::snprintf(text, sizeof text, "%lldm %02llds", static_cast<long long>(ms / 60'000),
                  static_cast<long long>(ms / 1000 % 60));
  else
    std::snprintf(text, sizeof text, "%lldh %02lldm", static_cast<long long>(ms / 3'600'000),
                  static_cast<long long>(ms / 60'000 % 60));
  return text;
}

std::string RunJson(const messages::RunSummary& run) {
  std::string out = "{\"id\":" + std::to_string(run.id);
  const auto text = [&out](const char* name, const std::string& value) {
    out += ",\"";
    out += name;
    out += "\":";
    JsonString(out, value);
  };
  const auto number = [&out](const char* name, int64_t value) {
    out += ",\"";
    out += name;
    out += "\":" + std::to_string(value);
  };
  text("job", run.job);
  text("user", run.user);
  text("node", run.node);
  text("address", run.address);
  text("origin", run.origin);
  out += ",\"arguments\":";
  JsonList(out, run.arguments);
  out += ",\"fields\":";
  JsonList(out, run.fields);
  out += ",\"listbox\":";
  JsonList(out, run.listBox);
  number("started", run.started);
  if (run.ended == 0)
    out += ",\"ended\":null";
  else
    number("ended", run.ended);
  number("pid", run.pid);
  number("exit_code", run.exitCode);
  text("outcome", run.outcome);
  text("ended_by", run.endedBy);
  number("output_bytes", run.outputBytes);
  text("message", run.message);
  out.push_back('}');
  return out;
}

int HistoryCommand(const ServerAddress& server, const HistoryContext& who,
                   const std::vector<std::string>& args) {
  messages::HistoryQueryRequest query;
  query.user = who.user;
  query.node = who.node;
  query.limit = kDefaultCount;
  bool json = false;
  bool shared = false;
  std::string serverName;  // empty with --all: every server
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--json") {
      json = true;
    } else if ((a == "--server" && i + 1 < args.size()) || a == "--all") {
      if (shared) return Fail("history: give --server NAME or --all once", who.usageStatus);
      shared = true;
      if (a == "--server") serverName = args[++i];
      if (a == "--server" && serverName.empty())
        return Fail("history: --server takes a server name", who.usageStatus);
    } else if (a == "-n" && i + 1 < args.size()) {
      char* end = nullptr;
      const long n = std::strtol(args[++i].c_str(), &end, 10);
      if (*end != '\0' || n < 1 || n > messages::kMaxHistoryLimit)
        return Fail("history: -n takes a number from 1 to 1000", who.usageStatus);
      query.limit = static_cast<int32_t>(n);
    } else if (a == "--user" && i + 1 < args.size()) {
      query.runUser = args[++i];
    } else if (!a.empty() && a[0] != '-' && query.job.empty()) {
      query.job = a;
    } else {
      return Fail("history: unknown option " + a, who.usageStatus);
    }
  }
  std::string failure;
  bool refused = false;
  // --server and --all ask the shared history (HISTORY_QUERY_SERVERS), which
  // names each record's server; plain queries stay HISTORY_QUERY, which every
  // server with a history answers.
  std::vector<messages::ServerRunSummary> runs;
  if (shared) {
    XDRWRAP request;
    messages::EncodeRequest(request, messages::ServersQueryRequest{query, serverName});
    std::optional<messages::ServersQueryReply> reply =
        Ask(server, request, &messages::DecodeServersQueryReply, &failure, &refused);
    if (!reply) return Fail(failure, refused ? who.refusedStatus : who.noServerStatus);
    runs = std::move(reply->runs);
  } else {
    XDRWRAP request;
    messages::EncodeRequest(request, query);
    std::optional<messages::HistoryQueryReply> reply =
        Ask(server, request, &messages::DecodeHistoryQueryReply, &failure, &refused);
    if (!reply) return Fail(failure, refused ? who.refusedStatus : who.noServerStatus);
    for (messages::RunSummary& run : reply->runs) runs.push_back({{}, std::move(run)});
  }
  if (json) {
    for (const messages::ServerRunSummary& entry : runs) {
      std::string line = RunJson(entry.run);
      if (shared) {
        // The server's name goes in front of the record's own fields.
        std::string name;
        JsonString(name, entry.server);
        line.insert(1, "\"server\":" + name + ",");
      }
      std::printf("%s\n", line.c_str());
    }
    return 0;
  }
  if (shared) std::printf("%-16s ", "SERVER");
  std::printf("%-8s %-20s %-24s %-19s %-9s %s\n", "ID", "JOB", "USER@NODE", "STARTED", "DURATION",
              "RESULT");
  for (const messages::ServerRunSummary& entry : runs) {
    const messages::RunSummary& run = entry.run;
    const std::string who = run.node.empty() ? run.user : run.user + "@" + run.node;
    if (shared) std::printf("%-16s ", EscapeControlCharacters(entry.server).c_str());
    std::printf("%-8lld %-20s %-24s %-19s %-9s %s\n", static_cast<long long>(run.id),
                EscapeControlCharacters(run.job).c_str(), EscapeControlCharacters(who).c_str(),
                LocalTimeText(run.started).c_str(), DurationText(run.started, run.ended).c_str(),
                EscapeControlCharacters(ResultText(run)).c_str());
  }
  return 0;
}

int OutputCommand(const ServerAddress& server, const HistoryContext& who,
                  const std::vector<std::string>& args) {
  std::string serverName;
  std::string idText;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--server" && i + 1 < args.size() && serverName.empty()) {
      serverName = args[++i];
      if (serverName.empty()) return Fail("output: --server takes a server name", who.usageStatus);
    } else if (idText.empty() && !args[i].empty() && args[i][0] != '-') {
      idText = args[i];
    } else {
      return Fail("output: which run? (output [--server NAME] ID)", who.usageStatus);
    }
  }
  if (idText.empty())
    return Fail("output: which run? (output [--server NAME] ID)", who.usageStatus);
  char* end = nullptr;
  const long long id = std::strtoll(idText.c_str(), &end, 10);
  if (*end != '\0' || id <= 0) return Fail("output: not a run id: " + idText, who.usageStatus);
  // --server asks the shared history (RUN_OUTPUT_SERVER); plain RUN_OUTPUT,
  // which every server with a history answers, reads the server's own.
  messages::RunOutputRequest ask{who.user, who.node, id};
  XDRWRAP request;
  if (serverName.empty())
    messages::EncodeRequest(request, ask);
  else
    messages::EncodeRequest(request, messages::ServerOutputRequest{ask, serverName});
  std::string failure;
  bool refused = false;
  const std::optional<messages::RunOutputReply> reply =
      Ask(server, request, &messages::DecodeRunOutputReply, &failure, &refused);
  if (!reply) return Fail(failure, refused ? who.refusedStatus : who.noServerStatus);
  // Each chunk is flushed before the next goes to the other stream, so a
  // terminal shows them in the order they came.
  for (size_t i = 0; i <= reply->chunks.size(); ++i) {
    if (reply->leftOut > 0 && i == static_cast<size_t>(reply->leftOutAt)) {
      std::fflush(stdout);
      std::fprintf(stderr, "[... %lld bytes left out ...]\n",
                   static_cast<long long>(reply->leftOut));
      std::fflush(stderr);
    }
    if (i == reply->chunks.size()) break;
    const messages::OutputPiece& chunk = reply->chunks[i];
    std::FILE* stream = chunk.stream == 2 ? stderr : stdout;
    std::fwrite(chunk.data.data(), 1, chunk.data.size(), stream);
    std::fflush(stream);
  }
  return 0;
}

}  // namespace kestrun::client
