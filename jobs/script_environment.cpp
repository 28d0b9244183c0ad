#include "jobs/script_environment.h"

#include <algorithm>
#include <string_view>

#include "base/log.h"
#include "config/job_definition.h"
#include "config/server_config.h"
#include "platform/filesystem.h"
#include "platform/process.h"

namespace kestrun {

namespace {

// Room for a typical server environment plus the KES variables of a run.
constexpr size_t kInitialCapacity = 100;

}  // namespace

std::optional<std::string> EnvironmentFileSetting(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  // A comment runs to the end of the line; there is no quoting, so a "#"
  // inside a value starts one too.
  if (const size_t hash = line.find('#'); hash != std::string_view::npos)
    line = line.substr(0, hash);
  if (line.find('=') == std::string_view::npos) return std::nullopt;
  return std::string(line);
}

void ApplyEnvironmentFile(const ServerConfig& config, const std::string& path,
                          EnvironmentBlock& block) {
  // Only a plain file, opened without blocking: a FIFO named by mistake
  // would otherwise hold every run of the job.
  const std::optional<std::string> content = ReadPlainFile(path);
  if (!content) {
    LogMessage(config, "Could not open environment file \"%s\"", path.c_str());
    return;
  }
  // A line longer than kEnvironmentLineLength characters is cut into pieces
  // of that length, each handled as a line of its own.
  std::string_view rest = *content;
  while (!rest.empty()) {
    size_t length = std::min(rest.size(), kEnvironmentLineLength);
    if (const size_t end = rest.substr(0, length).find('\n'); end != std::string_view::npos)
      length = end + 1;
    // The line ends at its first NUL byte, as a C string would.
    std::string_view line = rest.substr(0, length);
    line = line.substr(0, line.find('\0'));
    rest.remove_prefix(length);
    if (std::optional<std::string> setting = EnvironmentFileSetting(line)) block.Put(*setting);
  }
}

EnvironmentBlock BuildScriptEnvironment(const ServerConfig& config, const JobDefinition* job) {
  EnvironmentBlock block = CopyProcessEnvironment();
  block.reserve(kInitialCapacity);
  if (const std::string global = config.environment(); !global.empty())
    ApplyEnvironmentFile(config, global, block);
  if (job != nullptr && !job->environment.empty())
    ApplyEnvironmentFile(config, job->environment, block);
  // A job always has a search path of the server's choosing: a server
  // started without one must not leave the name free for a client to fill.
  if (!block.Get("PATH")) SetVariable(block, "PATH", DefaultSearchPath());
  return block;
}

void SetVariable(EnvironmentBlock& block, std::string_view name, std::string_view value) {
  std::string text;
  text.reserve(name.size() + 1 + value.size());
  text.append(name).append(1, '=').append(value);
  block.Put(text);
}

std::optional<std::string> LookupVariable(const EnvironmentBlock& block, std::string_view name) {
  return block.Get(name);
}

void SetReasonVariables(EnvironmentBlock& block, const ScriptReason& why) {
  SetVariable(block, "KESDIALOGNAME", why.job);
  SetVariable(block, "KESJOBNAME", why.job);
  SetVariable(block, "KESCLIENTNODENAME", why.node);
  SetVariable(block, "KESCLIENTUSERNAME", why.user);
  SetVariable(block, "KESREASON", why.reason);
  SetVariable(block, "KESCURRENTFIELD", why.currentField);
  SetVariable(block, "KESCHANGEDFIELD", why.changedField);
}

}  // namespace kestrun
