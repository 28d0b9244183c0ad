#include "dialogs/dialog_request.h"

#include <cassert>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/safe_format.h"
#include "base/text.h"
#include "config/server_config.h"
#include "dialogs/dialog_script.h"
#include "dialogs/value_scripts.h"
#include "jobs/job_running_rule.h"
#include "jobs/preload.h"
#include "jobs/script_environment.h"
#include "launch/execute.h"
#include "platform/error_text.h"
#include "platform/filesystem.h"
#include "protocol/messages/dialog.h"
#include "protocol/transport.h"

namespace kestrun {

namespace {

using messages::DialogFailure;
using messages::DialogRefused;

// No script longer than this can fit a reply (kMaxBuffers full buffers);
// longer ones are refused before a reply is built from them.
constexpr size_t kMaxScriptBytes = static_cast<size_t>(kMaxBuffers) * kMaxBufferSize;

// Placeholder of the argument list's element 0 until a script is run.
constexpr const char* kArgumentPlaceholder = "kestrun";

struct DialogRequest {
  std::string job;  // upper case
  std::string user;
  std::string node;
  int32_t clientProcessId = 0;
  bool noDialog = false;
};

bool ShowsWindow(StreamMode mode) {
  return mode == StreamMode::Popup || mode == StreamMode::Report ||
         mode == StreamMode::FileChooser || mode == StreamMode::File;
}

bool HasUserInterface(const JobDefinition& job) {
  return !job.dialog.empty() || !job.dialogScript.empty() || ShowsWindow(job.stderrMode) ||
         ShowsWindow(job.stdoutMode) || job.stdinMode == StreamMode::FileChooser;
}

std::string StreamFile(StreamMode mode, const std::string& argument, const EnvironmentBlock& env) {
  if (mode != StreamMode::FileChooser && mode != StreamMode::File) return {};
  return ExpandVariables(argument, env);
}

messages::StreamDisposition DispositionOf(StreamMode mode) {
  return static_cast<messages::StreamDisposition>(mode);
}

messages::StreamBlock StreamBlockOf(const JobDefinition& job, const EnvironmentBlock& env) {
  return {DispositionOf(job.stdinMode),
          DispositionOf(job.stderrMode),
          DispositionOf(job.stdoutMode),
          StreamFile(job.stdinMode, job.stdinArg, env),
          StreamFile(job.stderrMode, job.stderrArg, env),
          StreamFile(job.stdoutMode, job.stdoutArg, env)};
}

// No script was made: NoDialog, DialogFileMissing or NoScript.
void NotBuilt(XDRWRAP& reply, DialogFailure failure, const JobDefinition& job,
              const EnvironmentBlock& env) {
  messages::DialogNotBuilt{failure, StreamBlockOf(job, env)}.Encode(reply);
}

// The KES variables of a script run while the dialog is built.
void SetDialogVariables(EnvironmentBlock& env, const DialogRequest& r, const char* reason,
                        const char* currentField) {
  SetReasonVariables(env, {.job = r.job,
                           .node = r.node,
                           .user = r.user,
                           .reason = reason,
                           .currentField = currentField,
                           .changedField = ""});
}

CaptureOutcome RunCaptured(ServerContext& server, const DialogRequest& r,
                           const std::vector<std::string>& arguments, const EnvironmentBlock& env) {
  ExecutionContext execution{*server.runningJobs, server.runHooks, {}};
  return ExecuteAndCapture(execution, arguments, r.node, static_cast<uint32_t>(r.clientProcessId),
                           env.entries());
}

void ReleasePreload(ServerContext& server, const DialogRequest& r, const JobDefinition& job) {
  if (!job.preload.empty() && server.preloadHooks && server.preloadHooks->release)
    server.preloadHooks->release(r.node, static_cast<uint32_t>(r.clientProcessId), job.preload);
}

// Prevalidate: true when the dialog may go on; otherwise the reply is made.
bool Prevalidate(RequestContext& rc, const DialogRequest& r, const JobDefinition& job,
                 std::vector<std::string>& arguments, EnvironmentBlock& env) {
  if (job.prevalidateWith.empty()) return true;
  const ServerConfig& config = *rc.server.config;
  const char* path = job.prevalidateWith.c_str();
  LogMessage(config, "%s@%s Running Prevalidate script [%s]", r.user.c_str(), r.node.c_str(), path);
  SetDialogVariables(env, r, "PREVALIDATE", "");
  arguments[0] = job.prevalidateWith;
  const CaptureOutcome out = RunCaptured(rc.server, r, arguments, env);
  std::string message;
  if (out.result == 0) {
    LogMessage(config, "%s@%s Prevalidate script \"%s\" exits code %d", r.user.c_str(),
               r.node.c_str(), path, out.exitStatus);
    if (out.exitStatus == 0) return true;
    message = out.capture.stderrData;
  } else {
    LogMessage(config, "%s@%s Prevalidate script \"%s\" failed to execute", r.user.c_str(),
               r.node.c_str(), path);
    message = "Prevalidate Script failed to run: " + SystemErrorText(out.result);
  }
  messages::DialogPrevalidateRefused refusal{StreamBlockOf(job, env), std::move(message)};
  if (!rc.reply.AddIfFits([&](XDRWRAP& out) { refusal.Encode(out); })) {
    // Its standard error, the refusal's text, does not fit a reply.
    const size_t size = refusal.message.size();
    LogMessage(config, "%s@%s Prevalidate script \"%s\" error output too large to send (%zu bytes)",
               r.user.c_str(), r.node.c_str(), path, size);
    refusal.message =
        "Prevalidate script error output too large to send (" + std::to_string(size) + " bytes)";
    refusal.Encode(rc.reply);
  }
  ReleasePreload(rc.server, r, job);
  return false;
}

void StartPreload(ServerContext& server, const DialogRequest& r, const JobDefinition& job,
                  std::vector<std::string>& arguments, EnvironmentBlock& env) {
  if (job.preload.empty()) return;
  SetDialogVariables(env, r, "PRELOAD", "");
  arguments[0] = job.preload;
  if (server.preloadHooks && server.preloadHooks->start)
    server.preloadHooks->start(PreloadStart{r.node, static_cast<uint32_t>(r.clientProcessId),
                                            arguments, env.entries(), job});
}

// The definition text from the dialog script; nullopt when it gave none.
std::optional<std::string> RunDialogScript(ServerContext& server, const DialogRequest& r,
                                           const JobDefinition& job,
                                           std::vector<std::string>& arguments,
                                           EnvironmentBlock& env) {
  const ServerConfig& config = *server.config;
  const char* user = r.user.c_str();
  const char* node = r.node.c_str();
  const char* path = job.dialogScript.c_str();
  SetDialogVariables(env, r, "DIALOG", "0");
  arguments[0] = job.dialogScript;
  LogMessage(config, "%s@%s Executing Dialog Script \"%s\"", user, node, path);
  CaptureOutcome out = RunCaptured(server, r, arguments, env);
  if (out.result != 0) {
    LogMessage(config, "%s@%s Could not execute Dialog Script \"%s\"", user, node, path);
    return std::nullopt;
  }
  LogMessage(config, "%s@%s Dialog Script \"%s\" exits code %d", user, node, path, out.exitStatus);
  if (out.exitStatus != 0) {
    LogMessage(config, "%s@%s Dialog Script \"%s\" has failed", user, node, path);
    return std::nullopt;
  }
  if (out.capture.stdoutData.empty()) {
    LogMessage(config, "%s@%s Dialog Script \"%s\" has generated no output", user, node, path);
    return std::nullopt;
  }
  return std::move(out.capture.stdoutData);
}

// The success reply, or failure 3 for a script longer than a reply can carry
// within the message limits.
void ReplyWithScript(RequestContext& rc, const DialogRequest& r, const JobDefinition& job,
                     const EnvironmentBlock& env, std::string script) {
  if (script.empty()) return NotBuilt(rc.reply, DialogFailure::NoScript, job, env);
  const size_t size = script.size();
  if (size <= kMaxScriptBytes) {
    const messages::DialogScriptReply reply{StreamBlockOf(job, env), std::move(script)};
    if (rc.reply.AddIfFits([&](XDRWRAP& out) { reply.Encode(out); })) return;
  }
  LogMessage(*rc.server.config, "%s@%s - dialog script of job \"%s\" too long to send (%zu bytes)",
             r.user.c_str(), r.node.c_str(), r.job.c_str(), size);
  NotBuilt(rc.reply, DialogFailure::NoScript, job, env);
}

// The `usetclfile` path: the file's text as the reply's script.
void ReplyWithTclFile(RequestContext& rc, const DialogRequest& r, const JobDefinition& job,
                      const EnvironmentBlock& env) {
  const ServerConfig& config = *rc.server.config;
  std::fputs("Using TCL file\n", stdout);
  std::fflush(stdout);
  std::optional<std::string> text = ReadPlainFile(job.useTclFile);
  if (!text) {
    LogMessage(config, "Could not open TCL File \"%s\"", job.useTclFile.c_str());
    return NotBuilt(rc.reply, DialogFailure::NoScript, job, env);
  }
  LogMessage(config, "Using TCL File \"%s\" (size %ld bytes)", job.useTclFile.c_str(),
             static_cast<long>(text->size()));
  std::string console = "bytes=" + std::to_string(text->size()) + "\n";
  console += SafeStringPrintf("Script=[%s]\n", text->c_str());
  std::fwrite(console.data(), 1, console.size(), stdout);
  std::fflush(stdout);
  ReplyWithScript(rc, r, job, env, std::move(*text));
}

// The list-box seam of the generator, answered by the job's list-box script.
ListBoxRowSource ListBoxRowsOf(ServerContext& server) {
  return [&server](const ListBoxScriptCall& call) -> std::optional<std::vector<std::string>> {
    std::vector<std::string> arguments = call.arguments;
    EnvironmentBlock env(call.environment);
    ListBoxValues values = GetListBoxValuesFromScript(
        server, call.job, ValueScriptClient{call.node, call.clientProcessId, call.user}, arguments,
        env);
    return std::move(values.rows);
  };
}

}  // namespace

std::vector<std::string> DefinitionLines(std::string_view text) {
  std::vector<std::string> lines;
  lines.reserve(100);
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') {
      lines.push_back(std::move(line));
      line.clear();
    } else if (c == '\r') {
      while (i + 1 < text.size() && text[i + 1] == '\r') ++i;
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      lines.push_back(std::move(line));
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return lines;
}

void GetDialogData(RequestContext& rc) {
  assert(rc.server.config != nullptr && rc.server.runningJobs != nullptr);
  ServerContext& server = rc.server;
  const ServerConfig& config = *server.config;
  messages::GetDialogDataRequest request = messages::GetDialogDataRequest::Decode(rc.request);
  DialogRequest r;
  r.job = UpperCase(request.job);
  r.user = std::move(request.user);
  r.node = std::move(request.node);
  r.clientProcessId = request.clientProcessId;
  r.noDialog = request.noDialog;
  const char* user = r.user.c_str();
  const char* node = r.node.c_str();
  const char* name = r.job.c_str();
  LogMessage(config, "%s@%s Retrieving Dialog Data for job \"%s\"", user, node, name);
  bool denied = false;
  std::optional<JobDefinition> found = FindJobForUser(config, r.job, r.user, &denied);
  if (found && r.noDialog && HasUserInterface(*found)) {
    DialogRefused::NoDialogWithInterface().Encode(rc.reply);
    ReleasePreload(server, r, *found);
    return;
  }
  // Element 0 is the running script's path; then the job's parameters and
  // the client's.
  std::vector<std::string> arguments{kArgumentPlaceholder};
  if (found) arguments.insert(arguments.end(), found->params.begin(), found->params.end());
  arguments.insert(arguments.end(), request.parameters.begin(), request.parameters.end());
  EnvironmentBlock env = BuildScriptEnvironment(config, found ? &*found : nullptr);
  ClientVariableFilter filter(env);
  if (request.passed) SetPassedBlocks(*request.passed, env, filter);
  for (const std::string& refused : filter.refused())
    LogMessage(config, "%s@%s - list-box variable %s refused", user, node, refused.c_str());
  if (filter.tooMany()) {
    LogMessage(config, "%s@%s could not get dialog data for \"%s\" - %s", user, node, name,
               kTooManyListBoxVariables);
    DialogRefused{kTooManyListBoxVariables}.Encode(rc.reply);
    if (found) ReleasePreload(server, r, *found);
    return;
  }
  if (!found) {
    if (denied)
      LogMessage(config, "%s@%s - could not open dialog for job \"%s\", denied by group permission",
                 user, node, name);
    else
      LogMessage(config, "%s@%s - could not open dialog - job \"%s\", does not exist", user, node,
                 name);
    return messages::DialogJobNotFound{}.Encode(rc.reply);
  }
  JobDefinition& job = *found;
  const std::vector<std::string> ruleArguments(arguments.begin() + 1, arguments.end());
  const JobRunRefusal refusal = CheckJobRunningRules(job, ruleArguments, *server.runningJobs);
  if (refusal.refused) {
    DialogRefused{RefusalText(refusal, r.job, r.job)}.Encode(rc.reply);
    LogMessage(config, "%s@%s could not get dialog data for \"%s\" - denied due to Deny/Allow job",
               user, node, name);
    ReleasePreload(server, r, job);
    return;
  }
  if (!Prevalidate(rc, r, job, arguments, env)) return;
  StartPreload(server, r, job, arguments, env);

  std::optional<std::string> text;
  if (!job.dialog.empty()) {
    text = ReadPlainFile(job.dialog);
    if (!text) {
      LogMessage(config, "%s@%s Dialog Definition file (%s) could not be opened", user, node,
                 job.dialog.c_str());
      return NotBuilt(rc.reply, DialogFailure::DialogFileMissing, job, env);
    }
  } else if (!job.dialogScript.empty()) {
    text = RunDialogScript(server, r, job, arguments, env);
  } else {
    LogMessage(config, "%s@%s No Dialog Data (No Dialog= or DialogScript= directive in stanza)",
               user, node);
    return NotBuilt(rc.reply, DialogFailure::NoDialog, job, env);
  }
  if (!text) return NotBuilt(rc.reply, DialogFailure::NoScript, job, env);
  const std::vector<std::string> lines = DefinitionLines(*text);
  text.reset();
  if (!job.useTclFile.empty()) return ReplyWithTclFile(rc, r, job, env);

  const ValueScriptClient client{r.node, r.clientProcessId, r.user};
  const std::vector<std::string> parameters(arguments.begin() + 1, arguments.end());
  std::string jobName = r.job;
  std::vector<FieldDefinition> fields;
  if (job.populateDialogWith.empty()) {
    RunAnyFieldPopulateScripts(server, job.fields, jobName, client, parameters, env);
    fields = job.fields;
  } else {
    ValueScriptResult dialogValues =
        GetValuesFromScript(server, job.populateDialogWith, jobName, client, parameters, 0, &env);
    fields = std::move(dialogValues.values);
    if (!job.fields.empty())
      JoinWithFieldValues(server, job.fields, jobName, client, parameters, env, fields);
  }
  const DialogSources sources{ListBoxRowsOf(server), MenuJobsOf(config)};
  std::string script = GenerateDialogScript(
      config,
      DialogInput{job, fields, lines, arguments, r.node, r.clientProcessId, r.user, env.entries()},
      sources);
  ReplyWithScript(rc, r, job, env, std::move(script));
}

void CancelDialog(RequestContext& rc) {
  assert(rc.server.config != nullptr);
  const auto r = messages::CancelDialogRequest::Decode(rc.request);
  LogMessage(*rc.server.config, "%s@%s cancels dialog for job %s", r.user.c_str(), r.node.c_str(),
             r.job.c_str());
  if (rc.server.preloadHooks && rc.server.preloadHooks->killAll)
    rc.server.preloadHooks->killAll(r.node, static_cast<uint32_t>(r.clientProcessId));
}

}  // namespace kestrun
