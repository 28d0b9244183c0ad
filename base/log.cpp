#include "base/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "base/environment.h"
#include "base/safe_format.h"
#include "base/text.h"
#include "platform/filesystem.h"

namespace kestrun {

void LogMessage(const ServerLog& log, const char* format, ...) {
  if (log.logFile().empty()) return;
  va_list args;
  va_start(args, format);
  const std::string message = SafeStringPrintfV(format, args);
  va_end(args);
  log.Written(WriteLogLine(log.logFile(), CurrentLocalTime(), message));
}

void LogServerText(const ServerLog& log, std::string_view text) {
  if (log.logFile().empty()) return;
  log.Written(WriteLogLine(log.logFile(), CurrentLocalTime(), text));
}

void ServerLog::Written(int error) const {
  if ((error == EINVAL || error == ENXIO) && !warnedNotPlain_.exchange(true)) {
    std::fprintf(stderr, "WARNING: log file \"%s\" is not a plain file; log lines are dropped\n",
                 EscapeControlCharacters(ExpandVariables(logFile())).c_str());
    std::fflush(stderr);
  }
}

int WriteLogLine(std::string_view logFile, const LocalTime& when, std::string_view message) {
  if (logFile.empty()) return 0;
  PutEnvLocked(StringPrintf("DD=%02d", when.day));
  PutEnvLocked(StringPrintf("MM=%02d", when.month));
  PutEnvLocked(StringPrintf("YY=%02d", when.year - 2000));
  PutEnvLocked(StringPrintf("YYYY=%04d", when.year));
  const std::string path = ExpandVariables(logFile);
  if (path.empty()) return 0;
  std::string line = StringPrintf("%04d-%02d-%02d %02d:%02d:%02d ", when.year, when.month, when.day,
                                  when.hour, when.minute, when.second);
  line.append(message);
  line.push_back('\n');
  return AppendToFile(path, line);
}

}  // namespace kestrun
