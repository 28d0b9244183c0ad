// The server log: one time-stamped line per event, appended to the file named
// by the `logfile` setting.
//
// The file name is expanded at every line after the date variables DD, MM, YY
// and YYYY have been set in the process environment, so a name such as
// server-$YYYY$MM$DD.log starts a new file each day. The file is opened and
// closed for every line and may be moved or deleted at any time. A line is
// written with one append, so lines of different threads never mix. Any
// thread may log; nothing is reported when the file cannot be written.
#pragma once

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
  const std::string& logFile() const { return logFile_; }
  void SetLogFile(std::string logFile) { logFile_ = std::move(logFile); }

 private:
  std::string logFile_;
};

// Appends "YYYY-MM-DD hh:mm:ss <message>" and a line end to the log file of
// `log`; does nothing when it names no log file.
void LogMessage(const ServerLog& log, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The work of LogMessage with the time given: sets the date variables from
// `when`, expands `logFile` against the process environment and appends the
// stamped line. Does nothing when `logFile` is empty or expands to nothing.
void WriteLogLine(std::string_view logFile, const LocalTime& when, std::string_view message);

}  // namespace kestrun
