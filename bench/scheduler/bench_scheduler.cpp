// Ticks the scheduler over a generated kestrun.conf of 2,000 scheduled jobs
// and prints how long one minute's tick takes (the reload check, the due
// rules of every entry and a copy of each due job). Due runs are counted, not
// started: what is measured is the tick on the listener thread, which holds
// up accepting while it runs.
//
//   bench_scheduler [entries] [ticks]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config/server_config.h"
#include "launch/running_jobs.h"
#include "scheduler/scheduler.h"

using namespace kestrun;
using Clock = std::chrono::steady_clock;

namespace {

double ThreadCpuMicros() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

// A mix of the schedule shapes of real files: lists of times, hourly ranges
// and every-five-minute ranges, with day, month and date restrictions.
std::string Stanza(int k) {
  static const char* const kTimes[] = {"08:00, 12:30, 17:45", "00:00-23:59", "06:00-22:00", "03:15",
                                       "00:30 01:30 02:30 03:30"};
  static const int kIntervals[] = {0, 60, 5, 0, 0};
  static const char* const kDays[] = {"MON-FRI", "", "Sat,Sun", "1,3,5", ""};
  const int shape = k % 5;
  return "Job" + std::to_string(k) + ":\n program = /bin/true\n param = " + std::to_string(k) +
         "\n autorun = on\n autoruntimes = " + kTimes[shape] +
         "\n autoruninterval = " + std::to_string(kIntervals[shape]) +
         "\n autorundays = " + kDays[shape] +
         "\n autorunmonths = " + (k % 7 == 0 ? "JAN-JUN" : "") +
         "\n autorundates = " + (k % 11 == 0 ? "1,15" : "") + "\n\n";
}

LocalTime UtcOf(int64_t epoch) {
  const time_t t = static_cast<time_t>(epoch);
  tm u{};
  gmtime_r(&t, &u);
  return {u.tm_year + 1900, u.tm_mon + 1, u.tm_mday,          u.tm_hour,
          u.tm_min,         u.tm_sec,     (u.tm_wday + 6) % 7};
}

}  // namespace

int main(int argc, char** argv) {
  const int entries = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int ticks = argc > 2 ? std::atoi(argv[2]) : 1440;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("bench-scheduler-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  {
    std::ofstream out(dir / "kestrun.conf");
    out << "port = 7400\n";
    for (int k = 0; k < entries; ++k) out << Stanza(k);
  }
  ServerConfig config((dir / "kestrun.conf").string());
  LoadServerConfig(config);
  RunningJobTable table;

  int64_t epoch = 1709510400;  // a Monday, 00:00 UTC; one minute further each tick
  size_t started = 0;
  SchedulerOptions options;
  options.clock = [&] { return ClockReading{epoch, UtcOf(epoch)}; };
  options.testStartTimedRun = [&](const JobDefinition&) { ++started; };
  Scheduler scheduler(config, table, options);

  std::vector<double> wall, cpu;
  for (int k = 0; k < ticks; ++k, epoch += 60) {
    const double cpuStart = ThreadCpuMicros();
    const auto start = Clock::now();
    scheduler.Tick();
    wall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    cpu.push_back((ThreadCpuMicros() - cpuStart) / 1000);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  const auto at = [&](const std::vector<double>& v, double q) {
    return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
  };
  std::printf("scheduler tick over %d entries, %d ticks (one a minute of a day), %zu runs due\n",
              entries, ticks, started);
  std::printf("  wall ms: median %.3f  p99 %.3f  max %.3f\n", at(wall, 0.5), at(wall, 0.99),
              wall.back());
  std::printf("  cpu  ms: median %.3f  p99 %.3f  max %.3f\n", at(cpu, 0.5), at(cpu, 0.99),
              cpu.back());
  std::printf("  target: under 10 ms per tick: %s\n", at(wall, 0.99) < 10 ? "met" : "NOT met");
  std::filesystem::remove_all(dir);
  return 0;
}
