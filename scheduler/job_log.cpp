#include "scheduler/job_log.h"

#include <algorithm>
#include <cerrno>
#include <functional>

#include "base/environment.h"
#include "base/log.h"
#include "base/text.h"
#include "config/job_definition.h"
#include "config/server_config.h"
#include "platform/error_text.h"
#include "platform/filesystem.h"
#include "platform/job_files.h"

namespace kestrun {

namespace {

bool AllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string LogDirectory(std::string_view home) {
  return std::string(home) + "/log";
}

// "<job>-YYYYMMDD-hhmm.log", the file's name inside the log folder.
std::string EntryName(std::string_view job, const LocalTime& now) {
  return StringPrintf("%.*s-%04d%02d%02d-%02d%02d.log", static_cast<int>(job.size()), job.data(),
                      now.year, now.month, now.day, now.hour, now.minute);
}

}  // namespace

void EnsureJobLogFolder(const ServerConfig& config, std::string_view home) {
  const std::string folder = LogDirectory(home);
  const int error = MakeDirectory(folder);
  if (error == EEXIST) return;
  if (error == 0) {
    LogMessage(config, "Created the job log folder %s", folder.c_str());
  } else {
    LogMessage(config, "Could not create the job log folder %s: %s", folder.c_str(),
               SystemErrorText(error).c_str());
  }
}

std::string JobLogFileName(std::string_view home, std::string_view job, const LocalTime& now) {
  return LogDirectory(home) + "/" + EntryName(job, now);
}

bool IsJobLogFileName(std::string_view fileName, std::string_view job) {
  // <job>-YYYYMMDD-hhmm.log: the part after the job name has a fixed shape.
  constexpr std::string_view kShape = "-YYYYMMDD-hhmm.log";
  if (fileName.size() != job.size() + kShape.size()) return false;
  if (fileName.substr(0, job.size()) != job) return false;
  const std::string_view rest = fileName.substr(job.size());
  return rest[0] == '-' && AllDigits(rest.substr(1, 8)) && rest[9] == '-' &&
         AllDigits(rest.substr(10, 4)) && rest.substr(14) == ".log";
}

std::vector<std::string> JobLogsToPrune(std::vector<std::string> fileNames, std::string_view job,
                                        int32_t retention) {
  std::vector<std::string> own;
  if (retention <= 0) return own;
  for (std::string& name : fileNames)
    if (IsJobLogFileName(name, job)) own.push_back(std::move(name));
  // The date and time in the name sort the job's files by age.
  std::sort(own.begin(), own.end(), std::greater<>());
  if (own.size() < static_cast<size_t>(retention)) return {};
  own.erase(own.begin(), own.begin() + (retention - 1));
  return own;
}

void PruneJobLogs(std::string_view job, int32_t retention) {
  if (retention <= 0) return;
  const std::optional<std::string> home = GetEnvLocked("KESTRUNHOME");
  if (!home) return;
  const std::string directory = LogDirectory(*home);
  for (const std::string& name : JobLogsToPrune(ListDirectory(directory), job, retention))
    RemoveFile(directory + "/" + name);
}

JobLog OpenJobLog(const ServerConfig& config, const JobDefinition& job,
                  const EnvironmentBlock& environment, const LocalTime& now) {
  JobLog log;
  const std::string home = GetEnvLocked("KESTRUNHOME").value_or("");
  log.path = JobLogFileName(home, job.name, now);
  int error = 0;
  // Created by its bare name relative to the log folder's descriptor, never
  // through a path: a job name cannot reach outside the folder, and a name
  // that already exists is never opened for writing (a symbolic link planted
  // there, a file with other links, or the file of a run of the same minute
  // still writing keep it). A job name holding a "/" is refused here too,
  // whatever let it through.
  const UniqueFd folder = OpenDirectory(LogDirectory(home), &error);
  if (folder) log.output = CreateJobLogFile(folder, EntryName(job.name, now), &error);
  if (!log.output)
    LogMessage(config, "SCHEDULER: Could not open file \"%s\" for write", log.path.c_str());
  if (!job.autoRunStandardInput.empty()) {
    const std::string input = ExpandVariables(job.autoRunStandardInput, environment);
    // A plain file only, opened without blocking: a FIFO would hold the
    // run's thread until some writer came.
    log.input = OpenPlainFileForReading(input, &error);
    if (!log.input)
      LogMessage(config, "SCHEDULER: Could not open file \"%s\" for read", input.c_str());
  }
  return log;
}

}  // namespace kestrun
