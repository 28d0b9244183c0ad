// Reads a generated kestrun.conf of 2,000 stanzas with 20 directives each and
// prints how long a read takes, then how long a lookup of a job by name takes
// on average, alone and while another thread reloads the file in a loop.
//
//   bench_config [stanzas]
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/server_config.h"

using namespace kestrun;
using Clock = std::chrono::steady_clock;

namespace {

double Millis(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// CPU time of the calling thread in microseconds: on a shared machine it shows
// the work itself, apart from time spent waiting for a core.
double ThreadCpuMicros() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

std::string Stanza(int k) {
  const std::string n = std::to_string(k);
  return "Job" + n + ":\n" + "Program = $KESTRUNHOME/scripts/job" + n + ".sh\n" +
         "Title = Job number " + n + "\n" + "HelpText = Runs job " + n +
         " for the nightly batch\n" + "Dialog = ${KESTRUNHOME}/dialogs/job" + n + ".txt\n" +
         "FieldNames = {Source,Target,Mode}\n" + "PopulateWith = {a,b,c}\n" +
         "PopulateField${Mode}With = {fast,slow,safe}\n" + "OnFieldChange1Update = {LB,$Target}\n" +
         "Params = {-v,--name=" + n + ",last}\n" + "Stdout = report\n" +
         "Stderr = file:$KESTRUNHOME/log/job" + n + ".err\n" + "ListBox = on\n" +
         "ListBoxScript = list" + n + ".sh\n" + "ColumnNames = {Name,Size,Date}\n" +
         "OnRightClickOpen = {Open,Edit}\n" + "AttributeOwner = team" + std::to_string(k % 17) +
         "\n" + "Group = {Admins,Operators}\n" + "AutoRun = yes\n" + "AutoRunDays = MON-FRI\n" +
         "AutoRunTimes = 08:00, 12:30, 18:00\n\n";
}

}  // namespace

int main(int argc, char** argv) {
  const int stanzas = argc > 1 ? std::atoi(argv[1]) : 2000;
  std::string dir = (std::filesystem::temp_directory_path() / "kesbench-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) return 1;
  const std::string path = dir + "/kestrun.conf";
  {
    std::ofstream out(path);
    out << "Port = 9000\nRelayServer = relay\n\n";
    for (int k = 0; k < stanzas; ++k) out << Stanza(k);
  }
  ::setenv("KESTRUNHOME", dir.c_str(), 1);
  const auto size = std::filesystem::file_size(path);

  ServerConfig config(path);
  auto start = Clock::now();
  const double cpu0 = ThreadCpuMicros();
  LoadServerConfig(config);
  const double first = Millis(Clock::now() - start);
  const double firstCpu = (ThreadCpuMicros() - cpu0) / 1000;
  if (config.Jobs().size() != static_cast<size_t>(stanzas)) return 1;

  constexpr int kReads = 10;
  double best = 1e9, total = 0;
  for (int r = 0; r < kReads; ++r) {
    start = Clock::now();
    ReloadServerConfig(config);
    const double ms = Millis(Clock::now() - start);
    best = std::min(best, ms);
    total += ms;
  }
  std::printf(
      "read of %d stanzas x 20 directives (%ju bytes): first %.1f ms (%.1f ms CPU), "
      "reload best %.1f ms, mean %.1f ms (target < 100 ms)\n",
      stanzas, static_cast<uintmax_t>(size), first, firstCpu, best, total / kReads);

  std::vector<std::string> names;
  for (int k = 0; k < stanzas; ++k) names.push_back("job" + std::to_string(k));
  auto lookups = [&](int count) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pick(0, stanzas - 1);
    size_t found = 0;
    const auto t0 = Clock::now();
    const double cpu = ThreadCpuMicros();
    for (int i = 0; i < count; ++i)
      found += FindJobForUser(config, names[pick(random)], std::nullopt).has_value();
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    if (found != static_cast<size_t>(count)) std::exit(1);
    return std::pair<double, double>(us / count, (ThreadCpuMicros() - cpu) / count);
  };

  constexpr int kLookups = 200000;
  const auto alone = lookups(kLookups);
  std::atomic<bool> stop{false};
  std::atomic<int> reloads{0};
  std::thread reloader([&] {
    while (!stop.load()) {
      ReloadServerConfig(config);
      ++reloads;
    }
  });
  const auto beside = lookups(kLookups);
  stop = true;
  reloader.join();
  std::printf(
      "lookup by name (private copy), average of %d: %.3f us alone (%.3f us CPU), "
      "%.3f us while %d reloads ran beside it (%.3f us CPU) (target < 5 us)\n",
      kLookups, alone.first, alone.second, beside.first, reloads.load(), beside.second);

  std::filesystem::remove_all(dir);
  return 0;
}
