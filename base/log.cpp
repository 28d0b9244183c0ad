#include "base/log.h"

#include <cstdarg>
#include <string>

#include "platform/filesystem.h"
#include "base/environment.h"
#include "base/text.h"

namespace kestrun {

void LogMessage(const ServerLog& log, const char* format, ...) {
  if (log.logFile().empty()) return;
  va_list args;
  va_start(args, format);
  const std::string message = StringPrintfV(format, args);
  va_end(args);
  WriteLogLine(log.logFile(), CurrentLocalTime(), message);
}

void WriteLogLine(std::string_view logFile, const LocalTime& when, std::string_view message) {
  if (logFile.empty()) return;
  PutEnvLocked(StringPrintf("DD=%02d", when.day));
  PutEnvLocked(StringPrintf("MM=%02d", when.month));
  PutEnvLocked(StringPrintf("YY=%02d", when.year - 2000));
  PutEnvLocked(StringPrintf("YYYY=%04d", when.year));
  const std::string path = ExpandVariables(logFile);
  if (path.empty()) return;
  std::string line = StringPrintf("%04d-%02d-%02d %02d:%02d:%02d ", when.year, when.month, when.day,
                            when.hour, when.minute, when.second);
  line.append(message);
  line.push_back('\n');
  AppendToFile(path, line);
}

}  // namespace kestrun
