#include "dialogs/dialog_script_requests.h"

#include <cassert>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/text.h"
#include "config/server_config.h"
#include "dialogs/value_scripts.h"
#include "jobs/script_environment.h"
#include "launch/execute.h"
#include "platform/error_text.h"
#include "protocol/messages/dialog_scripts.h"
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

using messages::FieldValues;
using messages::ListBoxFilled;
using messages::ScriptRefused;

// Takes the request's parts, looks the job up and builds its environment
// with the dialog blocks; refused list-box variables are logged once the
// client's name is known (the caller calls LogRefused).
template <class Request>
ScriptRequest Prepare(const ServerConfig& config, Request& request, ClientVariableFilter& filter) {
  ScriptRequest r;
  r.job = UpperCase(request.job);
  r.user = std::move(request.user);
  r.node = std::move(request.node);
  r.clientProcessId = request.clientProcessId;
  r.parameters = std::move(request.parameters);
  r.definition = FindJobForUser(config, r.job, r.user);
  r.env = BuildScriptEnvironment(config, r.definition ? &*r.definition : nullptr);
  filter = ClientVariableFilter(r.env);
  SetDialogBlocks(request.blocks, r.env, filter);
  return r;
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
  ScriptRefused{kTooManyListBoxVariables}.Encode(reply);
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
                           static_cast<uint32_t>(r.clientProcessId), r.env.entries());
}

// True when `form` went into the reply whole, within the message limits.
template <class Form>
bool AddIfFits(XDRWRAP& reply, const Form& form) {
  return reply.AddIfFits([&](XDRWRAP& out) { form.Encode(out); });
}

// A reply that cannot be sent whole becomes the refusal "<what> too large to
// send (<n> bytes)", and the refusal is logged.
void RefuseOversizedReply(RequestContext& rc, const ScriptRequest& r, const char* what,
                          const std::string& script, size_t bytes) {
  const std::string text =
      std::string(what) + " too large to send (" + std::to_string(bytes) + " bytes)";
  LogMessage(*rc.server.config, "%s@%s %s of \"%s\" too large to send (%zu bytes)", r.user.c_str(),
             r.node.c_str(), what, script.c_str(), bytes);
  ScriptRefused{text}.Encode(rc.reply);
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

// The list-box reply of a script that exited 0 with `output`.
ListBoxFilled ListBoxReply(const JobDefinition& job, std::string_view output) {
  ListBoxFilled reply;
  for (long n : ChangeUpdateFields(job.onListBoxChangeUpdate))
    reply.updateFields.push_back(std::to_string(n));
  if (!job.listBoxSeparator.empty()) reply.separator = job.listBoxSeparator;
  reply.noColumnNames = job.columnNameList.empty();
  reply.contextColumn = job.contextColumn;
  if (job.contextColumn > 0)
    for (const JobIcon& icon : job.icons) reply.icons.push_back(icon.name);
  if (reply.noColumnNames)
    for (const FieldDefinition& width : job.columnWidthList)
      reply.widths.push_back(width.value.empty() ? std::string("-") : width.value);
  reply.lines = ScriptOutputLines(output);
  return reply;
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
  auto request = messages::RunListBoxScriptRequest::Decode(rc.request);
  ClientVariableFilter filter{EnvironmentBlock{}};
  ScriptRequest r = Prepare(config, request, filter);
  const std::string& reason = request.reason;
  const std::string& changed = request.changedField;
  LogRefused(config, r, filter);
  if (RefusedForTooManyVariables(config, r, filter, "ListBoxScript", rc.reply)) return;
  if (!r.definition) {
    LogUnknownJob(config, r, "ListBoxScript");
    return ScriptRefused{"Could not find Program ID"}.Encode(rc.reply);
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
  if (job.listBoxScript.empty()) return ScriptRefused{"No ListBox Script"}.Encode(rc.reply);
  const char* user = r.user.c_str();
  const char* node = r.node.c_str();
  const char* script = job.listBoxScript.c_str();
  LogMessage(config, "%s@%s Running ListBoxScript \"%s\"", user, node, script);
  const CaptureOutcome out = RunScript(rc.server, job.listBoxScript, r);
  if (out.result != 0) {
    LogMessage(config, "%s@%s ListBoxScript \"%s\" failed to execute.", user, node, script);
    return ScriptRefused{"ListBoxScript failed to run"}.Encode(rc.reply);
  }
  LogMessage(config, "%s@%s ListBoxScript \"%s\" exited code %d", user, node, script,
             out.exitStatus);
  if (out.exitStatus != 0) return ScriptRefused{out.capture.stderrData}.Encode(rc.reply);
  if (!AddIfFits(rc.reply, ListBoxReply(job, out.capture.stdoutData)))
    RefuseOversizedReply(rc, r, "ListBoxScript output", job.listBoxScript,
                         out.capture.stdoutData.size());
}

void RunFieldScript(RequestContext& rc) {
  assert(rc.server.config != nullptr && rc.server.runningJobs != nullptr);
  const ServerConfig& config = *rc.server.config;
  auto request = messages::RunFieldScriptRequest::Decode(rc.request);
  ClientVariableFilter filter{EnvironmentBlock{}};
  ScriptRequest r = Prepare(config, request, filter);
  const std::string& changed = request.changedField;
  const std::string& current = request.currentField;
  LogRefused(config, r, filter);
  if (RefusedForTooManyVariables(config, r, filter, "Field Populate Script", rc.reply)) return;
  const char* user = r.user.c_str();
  const char* node = r.node.c_str();
  if (!r.definition) {
    LogUnknownJob(config, r, "Field Populate Script");
    return ScriptRefused{"Could not find Program ID"}.Encode(rc.reply);
  }
  const JobDefinition& job = *r.definition;
  if (job.fields.empty()) return ScriptRefused{"Could not locate field values"}.Encode(rc.reply);
  const std::optional<size_t> index = FieldIndex(current, job.fields.size());
  if (!index) {
    LogMessage(config, "%s@%s - invalid field number \"%s\" for job \"%s\"", user, node,
               current.c_str(), r.job.c_str());
    return ScriptRefused{"Invalid Field Number specified"}.Encode(rc.reply);
  }
  const std::string& script = job.fields[*index].populateCommand;
  if (script.empty()) {
    LogMessage(config, "%s@%s Failed to find field populate script for field %s (job %s)", user,
               node, current.c_str(), r.job.c_str());
    return FieldValues{.lines = {}, .failed = true, .error = ""}.Encode(rc.reply);
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
    return ScriptRefused{"PopulateFieldScript failed to run: " + SystemErrorText(out.result)}
        .Encode(rc.reply);
  }
  LogMessage(config, "%s@%s Script \"%s\" exited with code %d", user, node, script.c_str(),
             out.exitStatus);
  FieldValues values{.lines = ScriptOutputLines(out.capture.stdoutData),
                     .failed = out.exitStatus != 0,
                     .error = out.exitStatus != 0 ? out.capture.stderrData : ""};
  const XDRWRAP::Mark start = rc.reply.End();
  if (AddIfFits(rc.reply, values)) return;
  // Which part is too large: the lines alone, or the standard error after them.
  values.failed = false;
  if (!AddIfFits(rc.reply, values)) {
    return RefuseOversizedReply(rc, r, "PopulateFieldScript output", script,
                                out.capture.stdoutData.size());
  }
  rc.reply.TruncateTo(start);
  RefuseOversizedReply(rc, r, "PopulateFieldScript error output", script,
                       out.capture.stderrData.size());
}

void RunValidationScript(RequestContext& rc) {
  assert(rc.server.config != nullptr && rc.server.runningJobs != nullptr);
  const ServerConfig& config = *rc.server.config;
  auto request = messages::RunValidationScriptRequest::Decode(rc.request);
  ClientVariableFilter filter{EnvironmentBlock{}};
  ScriptRequest r = Prepare(config, request, filter);
  LogRefused(config, r, filter);
  if (RefusedForTooManyVariables(config, r, filter, "Validation Script", rc.reply)) return;
  if (!r.definition || r.definition->validateWith.empty()) {
    if (!r.definition) LogUnknownJob(config, r, "Validation Script");
    return messages::ValidationAccepted{}.Encode(rc.reply);
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
    return ScriptRefused{"Validation Script failed to execute"}.Encode(rc.reply);
  }
  LogMessage(config, "%s@%s Validation Script \"%s\" exited with code %d", user, node, script,
             out.exitStatus);
  if (out.exitStatus == 0) return messages::ValidationAccepted{}.Encode(rc.reply);
  if (!AddIfFits(rc.reply, ScriptRefused{out.capture.stderrData})) {
    RefuseOversizedReply(rc, r, "Validation Script error output", job.validateWith,
                         out.capture.stderrData.size());
  }
}

}  // namespace kestrun
