#include "jobs/script_environment.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "config/job_definition.h"
#include "config/server_config.h"
#include "base/log.h"

namespace kestrun {

namespace {

// Room for a typical server environment plus the KES variables of a run.
constexpr size_t kInitialCapacity = 100;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

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
  // "e": close-on-exec from the start, since other request threads may be
  // launching jobs while the file is open.
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "re"));
  if (!file) {
    LogMessage(config, "Could not open environment file \"%s\"", path.c_str());
    return;
  }
  // fgets with room for kEnvironmentLineLength characters cuts a longer line
  // into pieces of that length, each handled as a line of its own.
  char line[kEnvironmentLineLength + 1];
  while (std::fgets(line, sizeof line, file.get()) != nullptr) {
    if (std::optional<std::string> setting = EnvironmentFileSetting({line, std::strlen(line)}))
      PutEnvLocked(*setting, block);
  }
}

EnvironmentBlock BuildScriptEnvironment(const ServerConfig& config, const JobDefinition* job) {
  EnvironmentBlock block;
  block.reserve(kInitialCapacity);
  for (std::string& entry : CopyProcessEnvironment()) block.push_back(std::move(entry));
  if (const std::string global = config.environment(); !global.empty())
    ApplyEnvironmentFile(config, global, block);
  if (job != nullptr && !job->environment.empty())
    ApplyEnvironmentFile(config, job->environment, block);
  return block;
}

void SetVariable(EnvironmentBlock& block, std::string_view name, std::string_view value) {
  std::string text;
  text.reserve(name.size() + 1 + value.size());
  text.append(name).append(1, '=').append(value);
  PutEnvLocked(text, block);
}

std::optional<std::string> LookupVariable(const EnvironmentBlock& block, std::string_view name) {
  return GetEnvLocked(name, block);
}

}  // namespace kestrun
