#include "config/schedule.h"

#include <gtest/gtest.h>

#include "config/server_config.h"
#include "tests/config/conf_fixture.h"

namespace kestrun {
namespace {

constexpr uint32_t kMonday = 1u << 0;
constexpr uint32_t kFriday = 1u << 4;
constexpr uint32_t kSaturday = 1u << 5;
constexpr uint32_t kSunday = 1u << 6;
constexpr uint32_t kBit31 = 1u << 31;

TEST(Masks, DayNumbersNamesAndRanges) {
  EXPECT_EQ(ParseDayMask("MON-FRI"), 0x1Fu);
  EXPECT_EQ(ParseDayMask("1, 5"), kMonday | kFriday);  // a number may follow blanks
  EXPECT_EQ(ParseDayMask("MON, FRI"), kMonday | kBit31);  // " FRI" is no name
  EXPECT_EQ(ParseDayMask("Sat-Sun"), kSaturday | kSunday);
  EXPECT_EQ(ParseDayMask("monday,MONDAY,mon"), kMonday);
  EXPECT_EQ(ParseDayMask("Mo"), kBit31);
  EXPECT_EQ(ParseDayMask("SUN-MON"), 0u);  // empty range: every day once defaulted
  EXPECT_EQ(ParseDayMask("Funday"), kBit31);
  EXPECT_EQ(ParseDayMask("8"), kBit31);
  EXPECT_EQ(ParseDayMask("1-3-5"), 0x1Fu);  // a-b-c runs from a to c
  EXPECT_EQ(ParseDayMask(""), 0u);
}

TEST(Masks, MonthsAndDates) {
  EXPECT_EQ(ParseMonthMask("JAN-MAR"), 0x7u);
  EXPECT_EQ(ParseMonthMask("dec,1"), (1u << 11) | 1u);
  EXPECT_EQ(ParseMonthMask("13"), kBit31);
  EXPECT_EQ(ParseDateMask("1,15"), 1u | (1u << 14));
  EXPECT_EQ(ParseDateMask("31"), 1u << 30);
  EXPECT_EQ(ParseDateMask("28-31"), 0xFu << 27);
  EXPECT_EQ(ParseDateMask("Jan"), kBit31);
}

TEST(TimeOfDay, HoursAndMinutes) {
  EXPECT_EQ(ParseTimeOfDay("8:5"), 485);
  EXPECT_EQ(ParseTimeOfDay("00:00"), 0);
  EXPECT_EQ(ParseTimeOfDay("23:59"), 1439);
  EXPECT_EQ(ParseTimeOfDay("24:00"), -1);
  EXPECT_EQ(ParseTimeOfDay("12:60"), -1);
  EXPECT_EQ(ParseTimeOfDay("-1:10"), -1);
  EXPECT_EQ(ParseTimeOfDay("1230"), -1);
}

TEST(TimeList, ListsAndRanges) {
  using V = std::vector<int32_t>;
  EXPECT_EQ(ParseTimeList(0, "08:00, 12:30"), (V{480, 750}));
  EXPECT_EQ(ParseTimeList(15, "08:00-09:00"), (V{480, 495, 510, 525, 540}));
  EXPECT_EQ(ParseTimeList(25, "08:00-09:00"), (V{480, 505, 530}));
  EXPECT_EQ(ParseTimeList(15, "08:00 - 09:00"), V{});
  EXPECT_EQ(ParseTimeList(0, "08:00-09:00"), V{});
  EXPECT_EQ(ParseTimeList(-5, "08:00-09:00"), V{});
  EXPECT_EQ(ParseTimeList(15, "09:00-08:00"), V{});
  EXPECT_EQ(ParseTimeList(15, "09:00-09:00"), V{});
  EXPECT_EQ(ParseTimeList(0, "25:00, 07:00"), (V{420}));
  EXPECT_EQ(ParseTimeList(0, "00:00 7:00,7:00\t,x"), (V{0, 420, 420}));
  EXPECT_EQ(ParseTimeList(0, ""), V{});
}

TEST(ScheduleEntries, BuiltAtTheEndOfEachAutoRunStanza) {
  testconf::LoadedHome h(
      "Weekdays:\nAutoRun = yes\nAutoRunDays = MON-FRI\nAutoRunTimes = 08:00, 12:30\n\n"
      "Off:\nAutoRun = no\nAutoRunTimes = 01:00\n\n"
      "Quarter:\nAutoRunDates = 1,15\nAutoRunMonths = JAN-MAR\nAutoRunInterval = 15\n"
      "AutoRunTimes = 08:00-09:00\nAutoRun = on\n");
  const auto snapshot = h.config.Snapshot();
  ASSERT_EQ(snapshot->schedule.size(), 2u);
  const ScheduleEntry& weekdays = snapshot->schedule[0];
  EXPECT_EQ(snapshot->jobs[weekdays.job].name, "WEEKDAYS");
  EXPECT_EQ(weekdays.days, 0x1Fu);
  EXPECT_EQ(weekdays.months, kEveryMonth);
  EXPECT_EQ(weekdays.dates, kEveryDate);
  EXPECT_EQ(weekdays.times, (std::vector<int32_t>{480, 750}));
  // The last stanza has no blank line after it and still gets its entry.
  const ScheduleEntry& quarter = snapshot->schedule[1];
  EXPECT_EQ(snapshot->jobs[quarter.job].name, "QUARTER");
  EXPECT_EQ(quarter.days, kEveryDay);
  EXPECT_EQ(quarter.months, 0x7u);
  EXPECT_EQ(quarter.dates, 1u | (1u << 14));
  EXPECT_EQ(quarter.times, (std::vector<int32_t>{480, 495, 510, 525, 540}));
  EXPECT_EQ(h.printed.out, "");
}

TEST(ScheduleEntries, ScheduleValuesDoNotLeakIntoTheNextStanza) {
  testconf::LoadedHome h(
      "A:\nAutoRun = yes\nAutoRunDays = SAT\nAutoRunTimes = 01:00\nB:\nAutoRun = yes\n"
      "AutoRunTimes = 02:00\n");
  const auto snapshot = h.config.Snapshot();
  ASSERT_EQ(snapshot->schedule.size(), 2u);
  EXPECT_EQ(snapshot->schedule[0].days, kSaturday);
  EXPECT_EQ(snapshot->schedule[1].days, kEveryDay);
  EXPECT_EQ(snapshot->schedule[1].times, (std::vector<int32_t>{120}));
}

TEST(ScheduleEntries, ScheduleDirectivesOutsideAStanzaAreUnknown) {
  testconf::LoadedHome h("A:\nAutoRunTimes = 01:00\n\nAutoRun = yes\n");
  EXPECT_TRUE(h.config.Snapshot()->schedule.empty());
  EXPECT_EQ(h.printed.out, "Unknown directive \"AutoRun\" at line 4 of kestrun.conf\n");
}

TEST(ScheduleEntries, MissingTimesAreLoggedAndInvalidTimesAreNot) {
  testconf::TempHome home;
  ServerConfig config(home.ConfPath());
  config.SetLogFile(home.File("k.log"));
  std::vector<ScheduleEntry> schedule;
  AddScheduleEntry(config, schedule, 0, 0, 0, 0, 0, std::nullopt);
  AddScheduleEntry(config, schedule, 1, kBit31, 0, 0, 0, std::string("99:99"));
  ASSERT_EQ(schedule.size(), 2u);
  EXPECT_TRUE(schedule[0].times.empty());
  EXPECT_EQ(schedule[0].days, kEveryDay);
  EXPECT_EQ(schedule[1].days, kBit31);  // never matches, but is not "every day"
  EXPECT_TRUE(schedule[1].times.empty());
  const std::string log = home.Read("k.log");
  EXPECT_EQ(log.substr(20), "No times specified for AutoRun or times are invalid\n");
}

}  // namespace
}  // namespace kestrun
