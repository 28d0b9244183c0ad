#include <ctime>

#include "platform/local_time.h"

namespace kestrun {

int64_t CurrentTime() {
  return static_cast<int64_t>(std::time(nullptr));
}

// The C runtime's localtime_s follows the system's time zone (and TZ when it
// is set, as on POSIX).
LocalTime LocalTimeOf(int64_t secondsSinceEpoch) {
  const std::time_t t = static_cast<std::time_t>(secondsSinceEpoch);
  std::tm tm{};
  ::localtime_s(&tm, &t);
  LocalTime local;
  local.year = tm.tm_year + 1900;
  local.month = tm.tm_mon + 1;
  local.day = tm.tm_mday;
  local.hour = tm.tm_hour;
  local.minute = tm.tm_min;
  local.second = tm.tm_sec;
  local.weekday = (tm.tm_wday + 6) % 7;  // tm counts from Sunday
  return local;
}

}  // namespace kestrun
