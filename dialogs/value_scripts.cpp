#include "dialogs/value_scripts.h"

#include <optional>
#include <string>
#include <utility>

#include "base/log.h"
#include "base/text.h"
#include "config/server_config.h"
#include "jobs/script_environment.h"
#include "launch/execute.h"

namespace kestrun {

namespace {

CaptureOutcome RunCaptured(ServerContext& server, const std::vector<std::string>& arguments,
                           const ValueScriptClient& client, const EnvironmentBlock& environment) {
  ExecutionContext execution{*server.runningJobs, server.runHooks, {}};
  return ExecuteAndCapture(execution, arguments, std::string(client.node),
                           static_cast<uint32_t>(client.processId), environment.entries());
}

std::vector<FieldDefinition> ValueRecords(const std::vector<std::string>& lines) {
  std::vector<FieldDefinition> values;
  values.reserve(lines.size());
  for (const std::string& line : lines) values.emplace_back().value = line;
  return values;
}

// The parameters as the log shows them: each in double quotes and followed by
// one blank (the log writer cuts a very long list).
std::string QuotedParameters(const std::vector<std::string>& parameters) {
  std::string text;
  for (const std::string& p : parameters) text += "\"" + p + "\" ";
  return text;
}

}  // namespace

std::vector<std::string> ScriptOutputLines(std::string_view output) {
  std::vector<std::string> lines;
  if (!output.empty() && output.back() == '\n') output.remove_suffix(1);
  while (!output.empty()) {
    const size_t end = output.find('\n');
    std::string_view piece = output.substr(0, end);
    if (piece.empty()) break;
    if (piece.back() == '\r') piece.remove_suffix(1);
    lines.emplace_back(piece);
    if (end == std::string_view::npos) break;
    output.remove_prefix(end + 1);
  }
  return lines;
}

void BlankFieldVariables(EnvironmentBlock& environment) {
  for (int32_t n = 1;; ++n) {
    const std::string name = "KESFIELD" + std::to_string(n);
    if (!LookupVariable(environment, name)) break;
    SetVariable(environment, name, "");
  }
}

ValueScriptResult GetValuesFromScript(ServerContext& server, std::string_view script,
                                      std::string& jobName, const ValueScriptClient& client,
                                      const std::vector<std::string>& parameters,
                                      int32_t fieldNumber, EnvironmentBlock* environment) {
  const ServerConfig& config = *server.config;
  ValueScriptResult result;
  std::vector<std::string> arguments;
  arguments.reserve(parameters.size() + 1);
  arguments.emplace_back(script);
  arguments.insert(arguments.end(), parameters.begin(), parameters.end());
  EnvironmentBlock own;
  if (environment == nullptr) {
    const std::optional<JobDefinition> job = FindJobForUser(config, jobName, client.user);
    own = BuildScriptEnvironment(config, job ? &*job : nullptr);
    environment = &own;
  }
  jobName = UpperCase(jobName);
  EnvironmentBlock& env = *environment;
  SetReasonVariables(env, {.job = jobName,
                           .node = client.node,
                           .user = client.user,
                           .reason = "POPULATE",
                           .currentField = std::to_string(fieldNumber),
                           .changedField = ""});
  BlankFieldVariables(env);

  const std::string user(client.user), node(client.node), path(script);
  LogMessage(config,
             "%s@%s Running Field Populate Script \"%s\" Params = %s KESJOBNAME=%s "
             "KESREASON=POPULATE, KESCURRENTFIELD=%d",
             user.c_str(), node.c_str(), path.c_str(), QuotedParameters(parameters).c_str(),
             jobName.c_str(), fieldNumber);
  const CaptureOutcome out = RunCaptured(server, arguments, client, env);
  if (out.result != 0) {
    LogMessage(config, "%s@%s Field Populate Script \"%s\" failed to execute", user.c_str(),
               node.c_str(), path.c_str());
    result.error = "PopulateWith script failed to execute";
    return result;
  }
  LogMessage(config, "%s@%s Field Populate Script \"%s\" exits code %d", user.c_str(), node.c_str(),
             path.c_str(), out.exitStatus);
  result.values = ValueRecords(ScriptOutputLines(out.capture.stdoutData));
  result.failed = out.exitStatus != 0;
  return result;
}

void RunAnyFieldPopulateScripts(ServerContext& server, std::vector<FieldDefinition>& fields,
                                std::string& jobName, const ValueScriptClient& client,
                                const std::vector<std::string>& parameters,
                                EnvironmentBlock& environment) {
  for (size_t k = 0; k < fields.size(); ++k) {
    FieldDefinition& field = fields[k];
    if (field.populateCommand.empty()) continue;
    ValueScriptResult r =
        GetValuesFromScript(server, field.populateCommand, jobName, client, parameters,
                            static_cast<int32_t>(k + 1), &environment);
    field.values = std::move(r.values);
    field.enabled = !r.failed;
  }
}

void JoinWithFieldValues(ServerContext& server, std::vector<FieldDefinition>& fields,
                         std::string& jobName, const ValueScriptClient& client,
                         const std::vector<std::string>& parameters, EnvironmentBlock& environment,
                         std::vector<FieldDefinition>& joined) {
  RunAnyFieldPopulateScripts(server, fields, jobName, client, parameters, environment);
  if (joined.size() < fields.size()) joined.resize(fields.size());
  for (size_t k = 0; k < fields.size(); ++k) {
    joined[k].values = fields[k].values;
    joined[k].updates = fields[k].updates;
    joined[k].enabled = fields[k].enabled;
  }
}

ListBoxValues GetListBoxValuesFromScript(ServerContext& server, const JobDefinition& job,
                                         const ValueScriptClient& client,
                                         std::vector<std::string>& arguments,
                                         EnvironmentBlock& environment) {
  const ServerConfig& config = *server.config;
  const std::string user(client.user), node(client.node);
  ListBoxValues result;
  if (job.listBoxScript.empty()) {
    LogMessage(config, "%s@%s - No ListBoxScript or PopulateListBoxWith directive found in job",
               user.c_str(), node.c_str());
    return result;
  }
  if (arguments.empty()) arguments.emplace_back();
  std::string previous = std::exchange(arguments[0], job.listBoxScript);
  SetReasonVariables(environment, {.job = job.name,
                                   .node = client.node,
                                   .user = client.user,
                                   .reason = "LISTBOX",
                                   .currentField = "0",
                                   .changedField = ""});
  BlankFieldVariables(environment);
  const char* script = job.listBoxScript.c_str();
  LogMessage(config, "%s@%s Running Listbox Script \"%s\"", user.c_str(), node.c_str(), script);
  const CaptureOutcome out = RunCaptured(server, arguments, client, environment);
  arguments[0] = std::move(previous);
  if (out.result != 0) {
    LogMessage(config, "%s@%s Script \"%s\" failed to run", user.c_str(), node.c_str(), script);
    result.error = "listbox script failed to execute";
  } else if (out.exitStatus != 0) {
    result.error = out.capture.stderrData;
    LogMessage(config, "%s@%s Script \"%s\" exited with code %d", user.c_str(), node.c_str(),
               script, out.exitStatus);
  } else {
    result.rows = ScriptOutputLines(out.capture.stdoutData);
    LogMessage(config, "%s@%s Script \"%s\" exited with code %d (%ld Bytes, %ld Lines)",
               user.c_str(), node.c_str(), script, out.exitStatus,
               static_cast<long>(out.capture.stdoutData.size()),
               static_cast<long>(result.rows->size()));
  }
  return result;
}

}  // namespace kestrun
