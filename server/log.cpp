#include "server/log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "config/server_config.h"
#include "platform/filesystem.h"
#include "server/environment.h"

namespace kestrun {

namespace {

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return {};
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(length));
  return text;
}

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  return text;
}

}  // namespace

void LogMessage(const ServerConfig& config, const char* format, ...) {
  if (config.logFile().empty()) return;
  va_list args;
  va_start(args, format);
  const std::string message = FormatV(format, args);
  va_end(args);
  WriteLogLine(config.logFile(), CurrentLocalTime(), message);
}

void WriteLogLine(std::string_view logFile, const LocalTime& when, std::string_view message) {
  if (logFile.empty()) return;
  PutEnvLocked(Printf("DD=%02d", when.day));
  PutEnvLocked(Printf("MM=%02d", when.month));
  PutEnvLocked(Printf("YY=%02d", when.year - 2000));
  PutEnvLocked(Printf("YYYY=%04d", when.year));
  const std::string path = ExpandVariables(logFile);
  if (path.empty()) return;
  std::string line = Printf("%04d-%02d-%02d %02d:%02d:%02d ", when.year, when.month, when.day,
                            when.hour, when.minute, when.second);
  line.append(message);
  line.push_back('\n');
  AppendToFile(path, line);
}

}  // namespace kestrun
