// The scheduler's decisions with an injected clock: which entries are due in
// a minute (masks, time lists and ranges), how the tick treats missed minutes
// and clock changes, and which log files a run prunes.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "config/server_config.h"
#include "scheduler/job_log.h"
#include "scheduler/scheduler.h"

namespace kestrun {
namespace {

// Local time of `epoch` in a zone `offsetMinutes` east of UTC.
LocalTime LocalAt(int64_t epoch, int offsetMinutes) {
  const std::time_t t = static_cast<std::time_t>(epoch + offsetMinutes * 60);
  std::tm tm{};
  gmtime_r(&t, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,          tm.tm_hour,
          tm.tm_min,         tm.tm_sec,     (tm.tm_wday + 6) % 7};
}

// 2024-03-04 00:00:00 UTC, a Monday.
constexpr int64_t kMonday = 1709510400;

LocalTime At(int dayOffset, int hour, int minute) {
  return LocalAt(kMonday + dayOffset * 86400 + hour * 3600 + minute * 60, 0);
}

struct DueCase {
  const char* name;
  const char* days;
  const char* months;
  const char* dates;
  int interval;
  const char* times;
  LocalTime now;
  size_t runs;
};

class Due : public testing::TestWithParam<DueCase> {};

TEST_P(Due, RunsOnlyInMatchingMinutes) {
  const DueCase& c = GetParam();
  ServerConfig config;
  std::vector<ScheduleEntry> schedule;
  AddScheduleEntry(config, schedule, 7, ParseDayMask(c.days), ParseMonthMask(c.months),
                   ParseDateMask(c.dates), c.interval, std::string(c.times));
  const std::vector<size_t> due = DueJobs(schedule, c.now);
  EXPECT_EQ(due.size(), c.runs);
  for (size_t job : due) EXPECT_EQ(job, 7u);
}

// 2024-03-04 is a Monday, 03-08 a Friday, 03-09 a Saturday, 03-10 a Sunday;
// 2024-01-15 lies 49 days before, 2024-04-01 28 days after.
INSTANTIATE_TEST_SUITE_P(
    Masks, Due,
    testing::Values(
        DueCase{"WeekdayAtListedTime", "MON-FRI", "", "", 0, "08:00, 12:30", At(4, 12, 30), 1},
        DueCase{"WeekdayBetweenTimes", "MON-FRI", "", "", 0, "08:00, 12:30", At(4, 12, 29), 0},
        DueCase{"WeekendSkipped", "MON-FRI", "", "", 0, "08:00, 12:30", At(5, 8, 0), 0},
        DueCase{"BlankKeptBeforeName", "MON, FRI", "", "", 0, "08:00", At(4, 8, 0), 0},
        DueCase{"BlankBeforeNameMonday", "MON, FRI", "", "", 0, "08:00", At(0, 8, 0), 1},
        DueCase{"BlankBeforeNumber", "1, 5", "", "", 0, "08:00", At(4, 8, 0), 1},
        DueCase{"SatSunRange", "Sat-Sun", "", "", 0, "08:00", At(6, 8, 0), 1},
        DueCase{"EmptyRangeMeansEveryDay", "SUN-MON", "", "", 0, "08:00", At(2, 8, 0), 1},
        DueCase{"UnknownNameNeverMatches", "Funday", "", "", 0, "08:00", At(0, 8, 0), 0},
        DueCase{"DateInMonthRange", "", "JAN-MAR", "1,15", 0, "08:00", At(-49, 8, 0), 1},
        DueCase{"OtherDateInMonthRange", "", "JAN-MAR", "1,15", 0, "08:00", At(-48, 8, 0), 0},
        DueCase{"DateOutsideMonthRange", "", "JAN-MAR", "1,15", 0, "08:00", At(28, 8, 0), 0},
        DueCase{"RangeStepReachesEnd", "", "", "", 15, "08:00-09:00", At(0, 9, 0), 1},
        DueCase{"RangeStepOffGrid", "", "", "", 15, "08:00-09:00", At(0, 8, 20), 0},
        DueCase{"RangeStep25", "", "", "", 25, "08:00-09:00", At(0, 8, 50), 1},
        DueCase{"RangeStep25StopsBeforeEnd", "", "", "", 25, "08:00-09:00", At(0, 9, 0), 0},
        DueCase{"RangeWithBlanksGivesNoTimes", "", "", "", 15, "08:00 - 09:00", At(0, 8, 0), 0},
        DueCase{"InvalidTimeDropped", "", "", "", 0, "25:00, 07:00", At(0, 7, 0), 1},
        DueCase{"Midnight", "", "", "", 0, "00:00", At(0, 0, 0), 1},
        DueCase{"TimeListedTwiceRunsTwice", "", "", "", 0, "08:00 08:00", At(0, 8, 0), 2}),
    [](const testing::TestParamInfo<DueCase>& info) { return std::string(info.param.name); });

// One tick of a sequence: the real time and the zone's offset at that moment.
struct TickStep {
  int64_t epoch;
  int offsetMinutes;
  bool evaluate;
  int64_t missed;
};

struct TickCase {
  const char* name;
  std::vector<TickStep> steps;
};

class Ticks : public testing::TestWithParam<TickCase> {};

TEST_P(Ticks, EvaluateEachLocalMinuteOnce) {
  TickState state;
  int k = 0;
  for (const TickStep& s : GetParam().steps) {
    const TickDecision d = DecideTick(state, {s.epoch, LocalAt(s.epoch, s.offsetMinutes)});
    EXPECT_EQ(d.evaluate, s.evaluate) << "step " << k;
    EXPECT_EQ(d.missedMinutes, s.missed) << "step " << k;
    ++k;
  }
}

// Real minute boundaries around 01:00 UTC on the day of a change.
constexpr int64_t kChange = kMonday + 3600;
constexpr int64_t kMin = 60;

// Fall back: 02:59 local (+120) is followed by 02:00 local (+60); no minute
// of the repeated hour starts anything; 03:00 and later run once each.
TickCase FallBack() {
  TickCase c{"FallBackRepeatedHour", {}};
  for (int m = -1; m <= 61; ++m)
    c.steps.push_back({kChange + m * kMin, m < 0 ? 120 : 60, m < 0 || m >= 60, 0});
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    Clock, Ticks,
    testing::Values(
        TickCase{"EveryMinute",
                 {{kChange, 0, true, 0},
                  {kChange + kMin, 0, true, 0},
                  {kChange + 2 * kMin, 0, true, 0}}},
        // A second tick in the same minute (a connection exactly on the
        // minute) starts nothing again.
        TickCase{"SameMinuteTwice", {{kChange, 0, true, 0}, {kChange + 30, 0, false, 0}}},
        // Three minutes without a tick: logged, not caught up.
        TickCase{"MissedMinutes", {{kChange, 0, true, 0}, {kChange + 4 * kMin, 0, true, 4}}},
        FallBack(),
        // Spring forward: 01:59 local (+60) is followed by 03:00 (+120): the
        // tick after the change runs at once and nothing counts as missed.
        TickCase{"SpringForward",
                 {{kChange - kMin, 60, true, 0},
                  {kChange, 120, true, 0},
                  {kChange + kMin, 120, true, 0}}},
        // A clock put right by a day is not a daylight-saving change.
        TickCase{"LargeCorrectionBack", {{kChange, 0, true, 0}, {kChange + kMin, -1440, true, 0}}}),
    [](const testing::TestParamInfo<TickCase>& info) { return std::string(info.param.name); });

struct PruneCase {
  const char* name;
  std::vector<std::string> files;
  const char* job;
  int retention;
  std::vector<std::string> deleted;
};

class Prune : public testing::TestWithParam<PruneCase> {};

TEST_P(Prune, DeletesOldestOwnFiles) {
  const PruneCase& c = GetParam();
  EXPECT_EQ(JobLogsToPrune(c.files, c.job, c.retention), c.deleted);
}

const std::vector<std::string> kThreeDays = {"BACKUP-20240302-2105.log", "BACKUP-20240301-2105.log",
                                             "BACKUP-20240303-2105.log"};
const std::vector<std::string> kTwoJobs = {
    "BACKUP-20240301-2105.log", "BACKUP-FULL-20240305-0100.log",
    "BACKUP-20240302-2105.log", "BACKUP-FULL-20240304-0100.log",
    "BACKUP-20240303-2105.log", "other.txt",
    "BACKUP-2024.log"};

INSTANTIATE_TEST_SUITE_P(
    Retention, Prune,
    testing::Values(
        PruneCase{"KeepsRetentionLessOne", kThreeDays, "BACKUP", 3, {"BACKUP-20240301-2105.log"}},
        PruneCase{
            "RetentionOneDeletesAll",
            kThreeDays,
            "BACKUP",
            1,
            {"BACKUP-20240303-2105.log", "BACKUP-20240302-2105.log", "BACKUP-20240301-2105.log"}},
        PruneCase{"RetentionZeroNeverDeletes", kThreeDays, "BACKUP", 0, {}},
        PruneCase{"FewerFilesThanRetention", kThreeDays, "BACKUP", 4, {}},
        // A job's pruning leaves the files of a job whose name extends its
        // own, and counts only its own files.
        PruneCase{"BackupLeavesBackupFull",
                  kTwoJobs,
                  "BACKUP",
                  2,
                  {"BACKUP-20240302-2105.log", "BACKUP-20240301-2105.log"}},
        PruneCase{"BackupFullLeavesBackup",
                  kTwoJobs,
                  "BACKUP-FULL",
                  2,
                  {"BACKUP-FULL-20240304-0100.log"}}),
    [](const testing::TestParamInfo<PruneCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrun
