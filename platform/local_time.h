// The wall clock and its conversion to local time.
//
// The conversion reads the TZ variable of the process environment, so the
// server calls LocalTimeOf only under the environment lock
// (CurrentLocalTime in base/environment.h). Implemented in
// local_time_posix.cpp.
#pragma once

#include <cstdint>

namespace kestrun {

struct LocalTime {
  int year = 1970;  // e.g. 2026
  int month = 1;    // 1..12
  int day = 1;      // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int weekday = 0;  // 0 Monday .. 6 Sunday
};

// Seconds since the epoch.
int64_t CurrentTime();

LocalTime LocalTimeOf(int64_t secondsSinceEpoch);

}  // namespace kestrun
