// The server log: one time-stamped line per event, appended to the file named
// by the `logfile` setting.
//
// The file name is expanded at every line after the date variables DD, MM, YY
// and YYYY have been set in the process environment, so a name such as
// server-$YYYY$MM$DD.log starts a new file each day. The file is opened and
// closed for every line and may be moved or deleted at any time. A line is
// written with one write on an O_APPEND descriptor, so lines of different
// threads never mix and a line is never split by another. Any thread may log.
// A file that cannot be opened (a missing folder) drops its lines without a
// report; a write that fails or comes up short (a full disk) is reported on
// standard error, at most once a minute, so lost lines are never silent.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/local_time.h"

namespace kestrun {

// Where log lines go: the `logfile` setting, unexpanded (empty: no log). The
// server configuration is a ServerLog; programs and tests without a
// kestrun.conf may use one of their own. Set before other threads log.
class ServerLog {
 public:
  ServerLog() = default;
  explicit ServerLog(std::string logFile) : logFile_(std::move(logFile)) {}
  ServerLog(const ServerLog&) = delete;
  ServerLog& operator=(const ServerLog&) = delete;
  const std::string& logFile() const { return logFile_; }
  void SetLogFile(std::string logFile) { logFile_ = std::move(logFile); }

  // Reports a line that was not written: `error` from WriteLogLine, `opened`
  // whether the file was opened (so the write itself failed or came up
  // short), `now` in seconds. A write failure prints "WARNING: log file "%s"
  // could not be written (%s); log lines are being lost" on `console` unless
  // one was printed in the 60 seconds before `now` (a clock set back warns
  // again at once); a file that is no plain file prints its warning once.
  // Returns whether a warning was printed. Any thread may call.
  bool ReportFailedLine(int error, bool opened, int64_t now, std::FILE* console) const;

 private:
  std::string logFile_;
  // Set once the console was told that the log file is not a plain file.
  mutable std::atomic<bool> warnedNotPlain_{false};
  // When the last write failure was reported (seconds); INT64_MIN: never.
  mutable std::atomic<int64_t> lastWriteWarning_{INT64_MIN};
};

// Appends "YYYY-MM-DD hh:mm:ss <message>" and a line end to the log file of
// `log`; does nothing when it names no log file. A log file that is neither
// a plain file nor a character device (a FIFO, say) is never opened for
// writing in a way that blocks: its lines are dropped, and the first such
// line prints one warning on standard error. Every "%s" argument is
// written with its control characters escaped and cut at 1,024 bytes
// (base/safe_format.h): a client's name never forges a line.
void LogMessage(const ServerLog& log, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Appends `text` as LogMessage would, written exactly as given: for the
// server's own texts (configuration warnings, which may end in a line end of
// their own). Never pass a text that holds a client's words.
void LogServerText(const ServerLog& log, std::string_view text);

// The work of LogMessage with the time given: sets the date variables from
// `when`, expands `logFile` against the process environment and appends the
// stamped line. Does nothing when `logFile` is empty or expands to nothing.
// Returns 0 or the error of AppendToFile (platform/filesystem.h); `*opened`
// (when given) as AppendToFile sets it.
int WriteLogLine(std::string_view logFile, const LocalTime& when, std::string_view message,
                 bool* opened = nullptr);

}  // namespace kestrun
