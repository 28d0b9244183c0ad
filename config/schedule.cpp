#include "config/schedule.h"

#include <array>

#include "base/log.h"
#include "base/text.h"
#include "config/server_config.h"

namespace kestrun {

namespace {

// Value of one mask item: 1..count for a number or a name, 0 otherwise.
int MaskItemValue(std::string_view item, int count, const std::string_view* names) {
  const int number = ParseNumber(item);
  if (number >= 1 && number <= count) return number;
  if (names != nullptr && item.size() >= 3)
    for (int k = 0; k < count; ++k)
      if (EqualsNoCase(item.substr(0, 3), names[k])) return k + 1;
  return 0;
}

uint32_t Bit(int value) {
  return value == 0 ? (1u << 31) : (1u << (value - 1));
}

uint32_t ParseMask(std::string_view text, int count, const std::string_view* names) {
  uint32_t mask = 0;
  for (const std::string& item : SplitList(text)) {
    const size_t dash = item.find('-');
    if (dash == std::string::npos) {
      mask |= Bit(MaskItemValue(item, count, names));
      continue;
    }
    // In a-b-c the range runs from a to c.
    const int from = MaskItemValue(std::string_view(item).substr(0, dash), count, names);
    const int to = MaskItemValue(std::string_view(item).substr(item.rfind('-') + 1), count, names);
    for (int v = from; v <= to; ++v) mask |= Bit(v);
  }
  return mask;
}

constexpr std::array<std::string_view, 7> kDayNames = {"MON", "TUE", "WED", "THU",
                                                       "FRI", "SAT", "SUN"};
constexpr std::array<std::string_view, 12> kMonthNames = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                          "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

}  // namespace

uint32_t ParseDayMask(std::string_view text) {
  return ParseMask(text, 7, kDayNames.data());
}
uint32_t ParseMonthMask(std::string_view text) {
  return ParseMask(text, 12, kMonthNames.data());
}
uint32_t ParseDateMask(std::string_view text) {
  return ParseMask(text, 31, nullptr);
}

int32_t ParseTimeOfDay(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return -1;
  const int hour = ParseNumber(text.substr(0, colon));
  const int minute = ParseNumber(text.substr(colon + 1));
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59) return -1;
  return hour * 60 + minute;
}

std::vector<int32_t> ParseTimeList(int32_t interval, std::string_view text) {
  std::vector<int32_t> times;
  const size_t dash = text.find('-');
  if (dash != std::string_view::npos) {
    if (text.find_first_not_of("0123456789:-") != std::string_view::npos) return times;
    if (interval <= 0 || text.find('-', dash + 1) != std::string_view::npos) return times;
    const int32_t start = ParseTimeOfDay(text.substr(0, dash));
    const int32_t end = ParseTimeOfDay(text.substr(dash + 1));
    if (start < 0 || end < 0 || end <= start) return times;
    for (int32_t t = start; t <= end; t += interval) times.push_back(t);
    return times;
  }
  size_t i = 0;
  while (i < text.size()) {
    const size_t end = text.find_first_of(", \t", i);
    const std::string_view item =
        text.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i);
    if (!item.empty()) {
      const int32_t t = ParseTimeOfDay(item);
      if (t >= 0) times.push_back(t);
    }
    if (end == std::string_view::npos) break;
    i = end + 1;
  }
  return times;
}

void AddScheduleEntry(const ServerConfig& config, std::vector<ScheduleEntry>& schedule, size_t job,
                      uint32_t days, uint32_t months, uint32_t dates, int32_t interval,
                      const std::optional<std::string>& times) {
  ScheduleEntry entry;
  entry.job = job;
  entry.days = days != 0 ? days : kEveryDay;
  entry.months = months != 0 ? months : kEveryMonth;
  entry.dates = dates != 0 ? dates : kEveryDate;
  if (times)
    entry.times = ParseTimeList(interval, *times);
  else
    LogMessage(config, "No times specified for AutoRun or times are invalid");
  schedule.push_back(std::move(entry));
}

}  // namespace kestrun
