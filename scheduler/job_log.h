// The log files of scheduled runs: one file per run in $KESTRUNHOME/log,
// named after the job and the minute the run started, and the pruning that
// keeps at most a job's `logfileretention` files.
//
// Both operations run on the thread of the run they serve and log their
// failures to the server log; neither stops the run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/script_environment.h"
#include "platform/local_time.h"
#include "platform/unique_fd.h"

namespace kestrun {

class ServerConfig;
struct JobDefinition;

// What a run writes to and reads from. `output` serves as both standard
// output and standard error; either descriptor may be empty (no such stream).
struct JobLog {
  std::string path;
  UniqueFd output;
  UniqueFd input;
};

// "<home>/log/<job>-YYYYMMDD-hhmm.log" for the run starting at `now`.
std::string JobLogFileName(std::string_view home, std::string_view job, const LocalTime& now);

// True when `fileName` is a log file of `job` itself: the job name, "-", eight
// digits, "-", four digits, ".log". A job named BACKUP does not own the files
// of BACKUP-FULL.
bool IsJobLogFileName(std::string_view fileName, std::string_view job);

// The names among `fileNames` to delete before a run of `job` with retention
// `retention`: the job's own files in descending byte order (newest first)
// from position retention - 1 on, so that with the new file `retention`
// remain. None for a retention of 0 or below, or with fewer files than the
// retention.
std::vector<std::string> JobLogsToPrune(std::vector<std::string> fileNames, std::string_view job,
                                        int32_t retention);

// Deletes the files JobLogsToPrune picks in $KESTRUNHOME/log. Nothing happens
// without KESTRUNHOME; a file that cannot be deleted is skipped.
void PruneJobLogs(std::string_view job, int32_t retention);

// Creates `home`/log when it is missing, so that no scheduled run loses its
// output, and logs "Created the job log folder PATH" (or why it could not).
// Called once at start-up.
void EnsureJobLogFolder(const ServerConfig& config, std::string_view home);

// Creates the run's log file as a new file inside the log folder (see
// CreateJobLogFile: a name that already exists is never opened for writing;
// only an ended run's plain file of the same minute is replaced, and a
// symbolic link, a FIFO, a file with other links or the file of a run still
// writing keeps the name) and opens the job's `autorunstandardinput`, expanded against
// `environment`, for reading; it must be a plain file (see
// OpenPlainFileForReading: a FIFO is refused at once rather than waited on).
// A file that cannot be created or opened is logged ("SCHEDULER: Could not
// open file "%s" for write" / "... for read") and left empty.
JobLog OpenJobLog(const ServerConfig& config, const JobDefinition& job,
                  const EnvironmentBlock& environment, const LocalTime& now);

}  // namespace kestrun
