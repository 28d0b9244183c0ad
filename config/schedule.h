// The schedule side of the job model: when jobs with `autorun` on run by
// themselves. The reader of kestrun.conf builds the entries; the minute tick
// of the scheduler evaluates them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

class ServerConfig;

inline constexpr uint32_t kEveryDay = 127;          // bit 0 Monday .. bit 6 Sunday
inline constexpr uint32_t kEveryMonth = 4095;       // bit 0 January .. bit 11 December
inline constexpr uint32_t kEveryDate = 2147483647;  // bit 0 the 1st .. bit 30 the 31st

struct ScheduleEntry {
  uint32_t days = kEveryDay;
  uint32_t months = kEveryMonth;
  uint32_t dates = kEveryDate;
  std::vector<int32_t> times;  // minutes after midnight, in the order written
  size_t job = 0;              // index of the job in the same snapshot's `jobs`
};

// Masks of the autorundays / autorunmonths / autorundates values. Items are
// separated by "," and keep their blanks; an item is a number, a name (days
// and months: its first three letters, any case) or a range a-b of either. An
// item that is neither counts as 0 and sets bit 31, which nothing tests.
uint32_t ParseDayMask(std::string_view text);
uint32_t ParseMonthMask(std::string_view text);
uint32_t ParseDateMask(std::string_view text);

// "HH:MM" as minutes after midnight; -1 without ":" or with a number out of
// range. "8:5" is 485.
int32_t ParseTimeOfDay(std::string_view text);

// Either one range "HH:MM-HH:MM" (digits, ":" and "-" only, `interval` above
// 0, the end after the start) stepped by `interval` minutes, or a list of
// times separated by commas and blanks, invalid items dropped.
std::vector<int32_t> ParseTimeList(int32_t interval, std::string_view text);

// Appends the entry of the job at index `job` to `schedule`, masks of 0
// meaning "every". Without a times text the config's log gets "No times
// specified for AutoRun or times are invalid" and the entry has no times.
void AddScheduleEntry(const ServerConfig& config, std::vector<ScheduleEntry>& schedule, size_t job,
                      uint32_t days, uint32_t months, uint32_t dates, int32_t interval,
                      const std::optional<std::string>& times);

}  // namespace kestrun
