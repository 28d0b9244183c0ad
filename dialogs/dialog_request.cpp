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
#include "dialogs/dialog_opening.h"
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
void NotBuilt(XDRWRAP& reply, DialogFailure failure, const OpenedDialog& d) {
  messages::DialogNotBuilt{failure, StreamBlockOf(*d.definition, d.environment)}.Encode(reply);
}

// The KES variables of a script run while the dialog is built.
void SetDialogVariables(OpenedDialog& d, const char* reason, const char* currentField) {
  SetReasonVariables(d.environment, {.job = d.job,
                                     .node = d.node,
                                     .user = d.user,
                                     .reason = reason,
                                     .currentField = currentField,
                                     .changedField = ""});
}

CaptureOutcome RunCaptured(ServerContext& server, const OpenedDialog& d) {
  ExecutionContext execution{*server.runningJobs, server.runHooks, {}};
  return ExecuteAndCapture(execution, d.arguments, d.node, static_cast<uint32_t>(d.clientProcessId),
                           d.environment.entries());
}

void ReleasePreload(ServerContext& server, const OpenedDialog& d) {
  const JobDefinition& job = *d.definition;
  if (!job.preload.empty() && server.preloadHooks && server.preloadHooks->release)
    server.preloadHooks->release(d.node, static_cast<uint32_t>(d.clientProcessId), job.preload);
}

// Ends the opening with a refusal; returns false for the caller to return.
bool Refuse(OpenedDialog& d, DialogRefusalKind kind, std::string message) {
  d.refusal = DialogRefusal{kind, std::move(message)};
  return false;
}

// Prevalidate: nullopt when the dialog may go on; otherwise the refusal's
// text (the program's standard error, or why it could not run).
std::optional<std::string> Prevalidate(ServerContext& server, OpenedDialog& d) {
  const JobDefinition& job = *d.definition;
  if (job.prevalidateWith.empty()) return std::nullopt;
  const ServerConfig& config = *server.config;
  const char* path = job.prevalidateWith.c_str();
  LogMessage(config, "%s@%s Running Prevalidate script [%s]", d.user.c_str(), d.node.c_str(), path);
  SetDialogVariables(d, "PREVALIDATE", "");
  d.arguments[0] = job.prevalidateWith;
  CaptureOutcome out = RunCaptured(server, d);
  if (out.result == 0) {
    LogMessage(config, "%s@%s Prevalidate script \"%s\" exits code %d", d.user.c_str(),
               d.node.c_str(), path, out.exitStatus);
    if (out.exitStatus == 0) return std::nullopt;
    return std::move(out.capture.stderrData);
  }
  LogMessage(config, "%s@%s Prevalidate script \"%s\" failed to execute", d.user.c_str(),
             d.node.c_str(), path);
  return "Prevalidate Script failed to run: " + SystemErrorText(out.result);
}

void StartPreload(ServerContext& server, OpenedDialog& d) {
  const JobDefinition& job = *d.definition;
  if (job.preload.empty()) return;
  SetDialogVariables(d, "PRELOAD", "");
  d.arguments[0] = job.preload;
  if (server.preloadHooks && server.preloadHooks->start)
    server.preloadHooks->start(PreloadStart{d.node, static_cast<uint32_t>(d.clientProcessId),
                                            d.arguments, d.environment.entries(), job});
}

// The definition text from the dialog script; nullopt when it gave none.
std::optional<std::string> RunDialogScript(ServerContext& server, OpenedDialog& d) {
  const ServerConfig& config = *server.config;
  const char* user = d.user.c_str();
  const char* node = d.node.c_str();
  const char* path = d.definition->dialogScript.c_str();
  SetDialogVariables(d, "DIALOG", "0");
  d.arguments[0] = d.definition->dialogScript;
  LogMessage(config, "%s@%s Executing Dialog Script \"%s\"", user, node, path);
  CaptureOutcome out = RunCaptured(server, d);
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

// Steps 1 to 7: the job for the user, the no-dialog test, the arguments and
// the environment, the allow/deny rules. False when refused.
bool FindAndCheck(ServerContext& server, const DialogCaller& caller, bool noDialog,
                  OpenedDialog& d) {
  const ServerConfig& config = *server.config;
  const char* user = d.user.c_str();
  const char* node = d.node.c_str();
  const char* name = d.job.c_str();
  LogMessage(config, "%s@%s Retrieving Dialog Data for job \"%s\"", user, node, name);
  bool denied = false;
  d.definition = FindJobForUser(config, d.job, d.user, &denied);
  if (d.definition && noDialog && HasUserInterface(*d.definition)) {
    ReleasePreload(server, d);
    return Refuse(d, DialogRefusalKind::Refused, "Job contains UI and -nd option specified");
  }
  // Element 0 is the running script's path; then the job's parameters and
  // the caller's.
  d.arguments = {kArgumentPlaceholder};
  if (d.definition)
    d.arguments.insert(d.arguments.end(), d.definition->params.begin(), d.definition->params.end());
  d.arguments.insert(d.arguments.end(), caller.parameters.begin(), caller.parameters.end());
  d.environment = BuildScriptEnvironment(config, d.definition ? &*d.definition : nullptr);
  ClientVariableFilter filter(d.environment);
  if (caller.passed) SetPassedBlocks(*caller.passed, d.environment, filter);
  for (const std::string& refused : filter.refused())
    LogMessage(config, "%s@%s - list-box variable %s refused", user, node, refused.c_str());
  if (filter.tooMany()) {
    LogMessage(config, "%s@%s could not get dialog data for \"%s\" - %s", user, node, name,
               kTooManyListBoxVariables);
    if (d.definition) ReleasePreload(server, d);
    return Refuse(d, DialogRefusalKind::Refused, kTooManyListBoxVariables);
  }
  if (!d.definition) {
    if (denied)
      LogMessage(config, "%s@%s - could not open dialog for job \"%s\", denied by group permission",
                 user, node, name);
    else
      LogMessage(config, "%s@%s - could not open dialog - job \"%s\", does not exist", user, node,
                 name);
    return Refuse(d, DialogRefusalKind::NotFound, "Job " + d.job + " does not exist");
  }
  const std::vector<std::string> ruleArguments(d.arguments.begin() + 1, d.arguments.end());
  const JobRunRefusal refusal =
      CheckJobRunningRules(*d.definition, ruleArguments, *server.runningJobs);
  if (refusal.refused) {
    LogMessage(config, "%s@%s could not get dialog data for \"%s\" - denied due to Deny/Allow job",
               user, node, name);
    ReleasePreload(server, d);
    return Refuse(d, DialogRefusalKind::Refused, RefusalText(refusal, d.job, d.job));
  }
  return true;
}

// Step 10 and 12: the definition text, cut into lines. False when none.
bool ReadDefinitionLines(ServerContext& server, OpenedDialog& d) {
  const ServerConfig& config = *server.config;
  const JobDefinition& job = *d.definition;
  std::optional<std::string> text;
  if (!job.dialog.empty()) {
    text = ReadPlainFile(job.dialog);
    if (!text) {
      LogMessage(config, "%s@%s Dialog Definition file (%s) could not be opened", d.user.c_str(),
                 d.node.c_str(), job.dialog.c_str());
      return Refuse(d, DialogRefusalKind::DialogFileMissing,
                    "The dialog definition of job " + d.job + " cannot be opened");
    }
  } else if (!job.dialogScript.empty()) {
    text = RunDialogScript(server, d);
  } else {
    LogMessage(config, "%s@%s No Dialog Data (No Dialog= or DialogScript= directive in stanza)",
               d.user.c_str(), d.node.c_str());
    return Refuse(d, DialogRefusalKind::NoDialog, "Job " + d.job + " has no dialog");
  }
  if (!text)
    return Refuse(d, DialogRefusalKind::NoScript,
                  "The dialog script of job " + d.job + " gave no dialog");
  d.lines = DefinitionLines(*text);
  return true;
}

// Step 14: the field values from the dialog's populate script or the
// fields' own.
void FillFields(ServerContext& server, OpenedDialog& d) {
  JobDefinition& job = *d.definition;
  const ValueScriptClient client{d.node, d.clientProcessId, d.user};
  const std::vector<std::string> parameters(d.arguments.begin() + 1, d.arguments.end());
  std::string jobName = d.job;
  if (job.populateDialogWith.empty()) {
    RunAnyFieldPopulateScripts(server, job.fields, jobName, client, parameters, d.environment);
    d.fields = job.fields;
    return;
  }
  ValueScriptResult dialogValues = GetValuesFromScript(server, job.populateDialogWith, jobName,
                                                       client, parameters, 0, &d.environment);
  d.fields = std::move(dialogValues.values);
  if (!job.fields.empty())
    JoinWithFieldValues(server, job.fields, jobName, client, parameters, d.environment, d.fields);
}

// The success reply, or failure 3 for a script longer than a reply can carry
// within the message limits.
void ReplyWithScript(RequestContext& rc, const OpenedDialog& d, std::string script) {
  if (script.empty()) return NotBuilt(rc.reply, DialogFailure::NoScript, d);
  const size_t size = script.size();
  if (size <= kMaxScriptBytes) {
    const messages::DialogScriptReply reply{StreamBlockOf(*d.definition, d.environment),
                                            std::move(script)};
    if (rc.reply.AddIfFits([&](XDRWRAP& out) { reply.Encode(out); })) return;
  }
  LogMessage(*rc.server.config, "%s@%s - dialog script of job \"%s\" too long to send (%zu bytes)",
             d.user.c_str(), d.node.c_str(), d.job.c_str(), size);
  NotBuilt(rc.reply, DialogFailure::NoScript, d);
}

// The `usetclfile` path: the file's text as the reply's script.
void ReplyWithTclFile(RequestContext& rc, const OpenedDialog& d) {
  const ServerConfig& config = *rc.server.config;
  const JobDefinition& job = *d.definition;
  std::fputs("Using TCL file\n", stdout);
  std::fflush(stdout);
  std::optional<std::string> text = ReadPlainFile(job.useTclFile);
  if (!text) {
    LogMessage(config, "Could not open TCL File \"%s\"", job.useTclFile.c_str());
    return NotBuilt(rc.reply, DialogFailure::NoScript, d);
  }
  LogMessage(config, "Using TCL File \"%s\" (size %ld bytes)", job.useTclFile.c_str(),
             static_cast<long>(text->size()));
  std::string console = "bytes=" + std::to_string(text->size()) + "\n";
  console += SafeStringPrintf("Script=[%s]\n", text->c_str());
  std::fwrite(console.data(), 1, console.size(), stdout);
  std::fflush(stdout);
  ReplyWithScript(rc, d, std::move(*text));
}

// The native reply to a refusal.
void ReplyWithRefusal(RequestContext& rc, const OpenedDialog& d) {
  const DialogRefusal& refusal = *d.refusal;
  switch (refusal.kind) {
    case DialogRefusalKind::NotFound:
      return messages::DialogJobNotFound{}.Encode(rc.reply);
    case DialogRefusalKind::Refused:
      return DialogRefused{refusal.message}.Encode(rc.reply);
    case DialogRefusalKind::PrevalidateRefused:
      break;
    case DialogRefusalKind::NoDialog:
      return NotBuilt(rc.reply, DialogFailure::NoDialog, d);
    case DialogRefusalKind::DialogFileMissing:
      return NotBuilt(rc.reply, DialogFailure::DialogFileMissing, d);
    case DialogRefusalKind::NoScript:
    case DialogRefusalKind::TclFile:
      return NotBuilt(rc.reply, DialogFailure::NoScript, d);
  }
  messages::DialogPrevalidateRefused reply{StreamBlockOf(*d.definition, d.environment),
                                           refusal.message};
  if (rc.reply.AddIfFits([&](XDRWRAP& out) { reply.Encode(out); })) return;
  // Its standard error, the refusal's text, does not fit a reply.
  const size_t size = reply.message.size();
  LogMessage(*rc.server.config,
             "%s@%s Prevalidate script \"%s\" error output too large to send (%zu bytes)",
             d.user.c_str(), d.node.c_str(), d.definition->prevalidateWith.c_str(), size);
  reply.message =
      "Prevalidate script error output too large to send (" + std::to_string(size) + " bytes)";
  reply.Encode(rc.reply);
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

OpenedDialog OpenDialog(ServerContext& server, const DialogCaller& caller, bool noDialog) {
  assert(server.config != nullptr && server.runningJobs != nullptr);
  OpenedDialog d;
  d.job = UpperCase(caller.job);
  d.user = caller.user;
  d.node = caller.node;
  d.clientProcessId = caller.clientProcessId;
  if (!FindAndCheck(server, caller, noDialog, d)) return d;
  if (std::optional<std::string> refused = Prevalidate(server, d)) {
    ReleasePreload(server, d);
    Refuse(d, DialogRefusalKind::PrevalidateRefused, std::move(*refused));
    return d;
  }
  StartPreload(server, d);
  if (!ReadDefinitionLines(server, d)) return d;
  d.tclFile = !d.definition->useTclFile.empty();
  if (!d.tclFile) FillFields(server, d);
  return d;
}

void ReleaseDialogPreload(ServerContext& server, const OpenedDialog& dialog) {
  if (dialog.definition) ReleasePreload(server, dialog);
}

ListBoxRowSource DialogListBoxRows(ServerContext& server) {
  return ListBoxRowsOf(server);
}

void GetDialogData(RequestContext& rc) {
  assert(rc.server.config != nullptr && rc.server.runningJobs != nullptr);
  messages::GetDialogDataRequest request = messages::GetDialogDataRequest::Decode(rc.request);
  const DialogCaller caller{std::move(request.job),        std::move(request.user),
                            std::move(request.node),       request.clientProcessId,
                            std::move(request.parameters), std::move(request.passed)};
  OpenedDialog d = OpenDialog(rc.server, caller, request.noDialog);
  if (d.refusal) return ReplyWithRefusal(rc, d);
  if (d.tclFile) return ReplyWithTclFile(rc, d);
  const ServerConfig& config = *rc.server.config;
  const DialogSources sources{ListBoxRowsOf(rc.server), MenuJobsOf(config)};
  std::string script =
      GenerateDialogScript(config,
                           DialogInput{*d.definition, d.fields, d.lines, d.arguments, d.node,
                                       d.clientProcessId, d.user, d.environment.entries()},
                           sources);
  ReplyWithScript(rc, d, std::move(script));
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
