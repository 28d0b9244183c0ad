#include "base/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "base/environment.h"
#include "base/safe_format.h"
#include "base/text.h"
#include "platform/error_text.h"
#include "platform/filesystem.h"
#include "platform/local_time.h"

namespace kestrun {

void LogMessage(const ServerLog& log, const char* format, ...) {
  if (log.logFile().empty()) return;
  va_list args;
  va_start(args, format);
  const std::string message = SafeStringPrintfV(format, args);
  va_end(args);
  bool opened = false;
  if (const int error = WriteLogLine(log.logFile(), CurrentLocalTime(), message, &opened))
    log.ReportFailedLine(error, opened, CurrentTime(), stderr);
}

void LogServerText(const ServerLog& log, std::string_view text) {
  if (log.logFile().empty()) return;
  bool opened = false;
  if (const int error = WriteLogLine(log.logFile(), CurrentLocalTime(), text, &opened))
    log.ReportFailedLine(error, opened, CurrentTime(), stderr);
}

bool ServerLog::ReportFailedLine(int error, bool opened, int64_t now, std::FILE* console) const {
  const std::string name = EscapeControlCharacters(ExpandVariables(logFile()));
  if (!opened) {
    if ((error != EINVAL && error != ENXIO) || warnedNotPlain_.exchange(true)) return false;
    std::fprintf(console, "WARNING: log file \"%s\" is not a plain file; log lines are dropped\n",
                 name.c_str());
    std::fflush(console);
    return true;
  }
  // One thread wins the minute: the compare-exchange makes the claim and the
  // check one step, so a burst of failing lines warns once.
  int64_t last = lastWriteWarning_.load();
  do {
    if (last != INT64_MIN && now >= last && now - last < 60) return false;
  } while (!lastWriteWarning_.compare_exchange_weak(last, now));
  std::fprintf(console,
               "WARNING: log file \"%s\" could not be written (%s); log lines are being lost\n",
               name.c_str(), SystemErrorText(error).c_str());
  std::fflush(console);
  return true;
}

int WriteLogLine(std::string_view logFile, const LocalTime& when, std::string_view message,
                 bool* opened) {
  if (opened) *opened = false;
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
  return AppendToFile(path, line, opened);
}

}  // namespace kestrun
