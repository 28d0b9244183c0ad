#include "jobs/dialog_script_requests.h"

#include <cassert>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/text.h"
#include "config/server_config.h"
#include "jobs/script_environment.h"
#include "jobs/value_scripts.h"
#include "launch/execute.h"
#include "platform/error_text.h"
#include "protocol/transport.h"

namespace kestrun {

namespace {

// What the three requests share once read.
struct ScriptRequest {
  std::string job;  // upper case
  std::string user;
  std::string node;
  int32_t clientProcessId = 0;
  std::vector<std::string> parameters;
  std::optional<JobDefinition> definition;
  EnvironmentBlock env;
};

std::vector<std::string> ReadParameters(XDRWRAP& in) {
  const int32_t count = in.GetLong();
  std::vector<std::string> parameters;
  for (int32_t i = 0; i < count; ++i) parameters.push_back(in.GetString());
  return parameters;
}

// Looks the job up and builds its environment (before the blocks are read).
void FindJob(const ServerConfig& config, ScriptRequest& r) {
  r.definition = FindJobForUser(config, r.job, r.user);
  r.env = BuildScriptEnvironment(config, r.definition ? &*r.definition : nullptr);
}

// The four dialog blocks into the environment; refused list-box variables
// are logged once the client's name is known (the caller calls LogRefused).
void ReadBlocks(XDRWRAP& in, ScriptRequest& r, ClientVariableFilter& filter) {
  ReadFieldBlock(in, r.env);
  ReadListBoxBlock(in, r.env, filter);
  ReadPassedFieldBlock(in, r.env);
  ReadPassedListBoxBlock(in, r.env, filter);
}

void LogRefused(const ServerConfig& config, const ScriptRequest& r,
                const ClientVariableFilter& filter) {
  for (const std::string& name : filter.refused())
    LogMessage(config, "%s@%s - list-box variable %s refused", r.user.c_str(), r.node.c_str(),
               name.c_str());
}

// A request with more list-box variables than any dialog sends is refused
// before anything runs: char 0 and the reason. True when it was.
bool RefusedForTooManyVariables(const ServerConfig& config, const ScriptRequest& r,
                                const ClientVariableFilter& filter, const char* request,
                                XDRWRAP& reply) {
  if (!filter.tooMany()) return false;
  LogMessage(config, "%s@%s - %s for job \"%s\": %s", r.user.c_str(), r.node.c_str(), request,
             r.job.c_str(), kTooManyListBoxVariables);
  reply.AddChar(0);
  reply.AddString(kTooManyListBoxVariables);
  return true;
}

void LogUnknownJob(const ServerConfig& config, const ScriptRequest& r, const char* request) {
  LogMessage(config, "%s@%s - %s for job \"%s\": job not found or not allowed", r.user.c_str(),
             r.node.c_str(), request, r.job.c_str());
}

// The script's argument vector: the script, the job's parameters, the
// client's.
std::vector<std::string> ArgumentsFor(const std::string& script, const ScriptRequest& r) {
  std::vector<std::string> arguments{script};
  arguments.insert(arguments.end(), r.definition->params.begin(), r.definition->params.end());
  arguments.insert(arguments.end(), r.parameters.begin(), r.parameters.end());
  return arguments;
}

CaptureOutcome RunScript(ServerContext& server, const std::string& script, const ScriptRequest& r) {
  ExecutionContext execution{*server.runningJobs, server.runHooks, {}};
  return ExecuteAndCapture(execution, ArgumentsFor(script, r), r.node,
                           static_cast<uint32_t>(r.clientProcessId), r.env);
}

// Appends each output line (char 1, string) and the closing char 0. Stops
// and returns false, the lines so far left in place, at the first line that
// would take the reply past the message limits.
bool AddLines(XDRWRAP& reply, std::string_view output) {
  for (const std::string& line : ScriptOutputLines(output)) {
    const bool added = reply.AddIfFits(
        [&](XDRWRAP& out) {
          out.AddChar(1);
          out.AddString(line);
        },
        kNumberTail);
    if (!added) return false;
  }
  reply.AddChar(0);
  return true;
}

// A reply built from `start` that cannot be sent whole: it becomes char 0 and
// "<what> too large to send (<n> bytes)", and the refusal is logged.
void RefuseOversizedReply(RequestContext& rc, const XDRWRAP::Mark& start, const ScriptRequest& r,
                          const char* what, const std::string& script, size_t bytes) {
  rc.reply.TruncateTo(start);
  const std::string text =
      std::string(what) + " too large to send (" + std::to_string(bytes) + " bytes)";
  LogMessage(*rc.server.config, "%s@%s %s of \"%s\" too large to send (%zu bytes)", r.user.c_str(),
             r.node.c_str(), what, script.c_str(), bytes);
  rc.reply.AddChar(0);
  rc.reply.AddString(text);
}

// The items of `onlistboxchangeupdate` whose number is not 0: the leading
// "{" dropped, cut at commas up to the first empty item, each read as the
// number it begins with ("4}" is 4).
std::vector<long> ChangeUpdateFields(std::string_view directive) {
  std::vector<long> numbers;
  if (!directive.empty() && directive.front() == '{') directive.remove_prefix(1);
  while (!directive.empty()) {
    const size_t comma = directive.find(',');
    const std::string item(directive.substr(0, comma));
    if (item.empty()) break;
    if (const long n = std::strtol(item.c_str(), nullptr, 10); n != 0) numbers.push_back(n);
    if (comma == std::string_view::npos) break;
    directive.remove_prefix(comma + 1);
  }
  return numbers;
}

// False when the output lines would pass the message limits.
bool AddListBoxReply(XDRWRAP& reply, const JobDefinition& job, std::string_view output) {
  reply.AddChar(1);
  const std::vector<long> updates = ChangeUpdateFields(job.onListBoxChangeUpdate);
  reply.AddLong(static_cast<int32_t>(updates.size()));
  for (long n : updates) reply.AddString(std::to_string(n));
  reply.AddString(job.listBoxSeparator.empty() ? std::string(",") : job.listBoxSeparator);
  const bool noColumnNames = job.columnNameList.empty();
  reply.AddChar(noColumnNames ? 1 : 0);
  reply.AddLong(job.contextColumn);
  if (job.contextColumn > 0) {
    reply.AddLong(static_cast<int32_t>(job.icons.size()));
    for (const JobIcon& icon : job.icons) reply.AddString(icon.name);
  }
  if (noColumnNames) {
    reply.AddLong(static_cast<int32_t>(job.columnWidthList.size()));
    for (const FieldDefinition& width : job.columnWidthList)
      reply.AddString(width.value.empty() ? std::string("-") : width.value);
  }
  return AddLines(reply, output);
}

// A field number of the form 1..count written in decimal digits only.
std::optional<size_t> FieldIndex(const std::string& text, size_t count) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  for (char c : text)
    if (c < '0' || c > '9') return std::nullopt;
  const size_t n = std::stoul(text);
  if (n == 0 || n > count) return std::nullopt;
  return n - 1;
}

}  // namespace

void RunListBoxScript(RequestContext& rc) {
  assert(rc.server.config != nullptr && rc.server.runningJobs != nullptr);
  const ServerConfig& config = *rc.server.config;
  XDRWRAP& in = rc.request;
  ScriptRequest r;
  r.job = UpperCase(in.GetString());
  r.user = in.GetString();
  r.parameters = ReadParameters(in);
  FindJob(config, r);
  ClientVariableFilter filter(r.env);
  ReadBlocks(in, r, filter);
  r.node = in.GetString();
  r.clientProcessId = in.GetLong();
  const std::string reason = in.GetString();
  const std::string changed = in.GetString();
  LogRefused(config, r, filter);
  if (RefusedForTooManyVariables(config, r, filter, "ListBoxScript", rc.reply)) return;
  if (!r.definition) {
    LogUnknownJob(config, r, "ListBoxScript");
    rc.reply.AddChar(0);
    rc.reply.AddString("Could not find Program ID");
    return;
  }
  // Not SetReasonVariables: this request sets the reason before the client's
  // names, and its list-box reason after them.
  SetVariable(r.env, "KESDIALOGNAME", r.job);
  SetVariable(r.env, "KESJOBNAME", r.job);
  SetVariable(r.env, "KESREASON", "LISTBOX");
  SetVariable(r.env, "KESCLIENTNODENAME", r.node);
  SetVariable(r.env, "KESCLIENTUSERNAME", r.user);
  SetVariable(r.env, "KESCURRENTFIELD", "LISTBOX");
  SetVariable(r.env, "KESCHANGEDFIELD", changed);
  SetVariable(r.env, "KESLISTBOXREASON", reason);
  const JobDefinition& job = *r.definition;
  if (job.listBoxScript.empty()) {
    rc.reply.AddChar(0);
    rc.reply.AddString("No ListBox Script");
    return;
  }
  const char* user = r.user.c_str();
  const char* node = r.node.c_str();
  const char* script = job.listBoxScript.c_str();
  LogMessage(config, "%s@%s Running ListBoxScript \"%s\"", user, node, script);
  const CaptureOutcome out = RunScript(rc.server, job.listBoxScript, r);
  if (out.result != 0) {
    LogMessage(config, "%s@%s ListBoxScript \"%s\" failed to execute.", user, node, script);
    rc.reply.AddChar(0);
    rc.reply.AddString("ListBoxScript failed to run");
    return;
  }
  LogMessage(config, "%s@%s ListBoxScript \"%s\" exited code %d", user, node, script,
             out.exitStatus);
  if (out.exitStatus != 0) {
    rc.reply.AddChar(0);
    rc.reply.AddString(out.capture.stderrData);
    return;
  }
  const XDRWRAP::Mark start = rc.reply.End();
  if (!AddListBoxReply(rc.reply, job, out.capture.stdoutData))
    RefuseOversizedReply(rc, start, r, "ListBoxScript output", job.listBoxScript,
                         out.capture.stdoutData.size());
}

void RunFieldScript(RequestContext& rc) {
  assert(rc.server.config != nullptr && rc.server.runningJobs != nullptr);
  const ServerConfig& config = *rc.server.config;
  XDRWRAP& in = rc.request;
  ScriptRequest r;
  r.job = UpperCase(in.GetString());
  r.user = in.GetString();
  r.parameters = ReadParameters(in);
  FindJob(config, r);
  ClientVariableFilter filter(r.env);
  ReadBlocks(in, r, filter);
  r.node = in.GetString();
  r.clientProcessId = in.GetLong();
  const std::string changed = in.GetString();
  const std::string current = in.GetString();
  LogRefused(config, r, filter);
  if (RefusedForTooManyVariables(config, r, filter, "Field Populate Script", rc.reply)) return;
  const char* user = r.user.c_str();
  const char* node = r.node.c_str();
  if (!r.definition) {
    LogUnknownJob(config, r, "Field Populate Script");
    rc.reply.AddChar(0);
    rc.reply.AddString("Could not find Program ID");
    return;
  }
  const JobDefinition& job = *r.definition;
  if (job.fields.empty()) {
    rc.reply.AddChar(0);
    rc.reply.AddString("Could not locate field values");
    return;
  }
  const std::optional<size_t> index = FieldIndex(current, job.fields.size());
  if (!index) {
    LogMessage(config, "%s@%s - invalid field number \"%s\" for job \"%s\"", user, node,
               current.c_str(), r.job.c_str());
    rc.reply.AddChar(0);
    rc.reply.AddString("Invalid Field Number specified");
    return;
  }
  const std::string& script = job.fields[*index].populateCommand;
  if (script.empty()) {
    LogMessage(config, "%s@%s Failed to find field populate script for field %s (job %s)", user,
               node, current.c_str(), r.job.c_str());
    rc.reply.AddChar(1);
    rc.reply.AddChar(0);
    rc.reply.AddChar(1);
    rc.reply.AddLong(0);
    return;
  }
  SetReasonVariables(r.env, {.job = r.job,
                             .node = r.node,
                             .user = r.user,
                             .reason = "POPULATE",
                             .currentField = current,
                             .changedField = changed});
  LogMessage(config,
             "%s@%s Running Field Populate Script \"%s\" KESREASON=POPULATE, KESCURRENTFIELD=%s "
             "KESCHANGEDFIELD=%s",
             user, node, script.c_str(), current.c_str(), changed.c_str());
  const CaptureOutcome out = RunScript(rc.server, script, r);
  if (out.result != 0) {
    LogMessage(config, "%s@%s Field Populate Script \"%s\" failed to execute", user, node,
               script.c_str());
    rc.reply.AddChar(0);
    rc.reply.AddString("PopulateFieldScript failed to run: " + SystemErrorText(out.result));
    return;
  }
  LogMessage(config, "%s@%s Script \"%s\" exited with code %d", user, node, script.c_str(),
             out.exitStatus);
  const XDRWRAP::Mark start = rc.reply.End();
  rc.reply.AddChar(1);
  if (!AddLines(rc.reply, out.capture.stdoutData)) {
    return RefuseOversizedReply(rc, start, r, "PopulateFieldScript output", script,
                                out.capture.stdoutData.size());
  }
  if (out.exitStatus == 0) {
    rc.reply.AddChar(0);
    return;
  }
  const std::string& error = out.capture.stderrData;
  rc.reply.AddChar(1);
  rc.reply.AddLong(static_cast<int32_t>(error.size()));
  if (!error.empty()) rc.reply.AddString(error);
  if (!rc.reply.WithinLimits()) {
    RefuseOversizedReply(rc, start, r, "PopulateFieldScript error output", script, error.size());
  }
}

void RunValidationScript(RequestContext& rc) {
  assert(rc.server.config != nullptr && rc.server.runningJobs != nullptr);
  const ServerConfig& config = *rc.server.config;
  XDRWRAP& in = rc.request;
  ScriptRequest r;
  r.job = UpperCase(in.GetString());
  r.user = in.GetString();
  FindJob(config, r);
  r.node = in.GetString();
  r.clientProcessId = in.GetLong();
  ClientVariableFilter filter(r.env);
  ReadBlocks(in, r, filter);
  r.parameters = ReadParameters(in);
  LogRefused(config, r, filter);
  if (RefusedForTooManyVariables(config, r, filter, "Validation Script", rc.reply)) return;
  if (!r.definition || r.definition->validateWith.empty()) {
    if (!r.definition) LogUnknownJob(config, r, "Validation Script");
    rc.reply.AddChar(1);
    return;
  }
  const JobDefinition& job = *r.definition;
  SetReasonVariables(r.env, {.job = r.job,
                             .node = r.node,
                             .user = r.user,
                             .reason = "VALIDATION",
                             .currentField = "",
                             .changedField = ""});
  const char* user = r.user.c_str();
  const char* node = r.node.c_str();
  const char* script = job.validateWith.c_str();
  LogMessage(config, "%s@%s Running Validation Script \"%s\"", user, node, script);
  const CaptureOutcome out = RunScript(rc.server, job.validateWith, r);
  if (out.result != 0) {
    LogMessage(config, "%s@%s Validation Script \"%s\" failed to run", user, node, script);
    rc.reply.AddChar(0);
    rc.reply.AddString("Validation Script failed to execute");
    return;
  }
  LogMessage(config, "%s@%s Validation Script \"%s\" exited with code %d", user, node, script,
             out.exitStatus);
  if (out.exitStatus == 0) {
    rc.reply.AddChar(1);
    return;
  }
  const XDRWRAP::Mark start = rc.reply.End();
  rc.reply.AddChar(0);
  rc.reply.AddString(out.capture.stderrData);
  if (!rc.reply.WithinLimits()) {
    RefuseOversizedReply(rc, start, r, "Validation Script error output", job.validateWith,
                         out.capture.stderrData.size());
  }
}

}  // namespace kestrun
