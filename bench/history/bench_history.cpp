// The run history, measured:
// (a) a history of 1,000,000 runs made through the module's own API; then
//     recording the start and end of one more run (median of 2,000), and the
//     file's size per run;
// (b) `kesclient history TRIVIAL -n 50` against a server holding that file,
//     beside `kesclient echo` to the same server (both as processes);
// (c) `kesclient run` of a trivial job with the history on and with
//     `history = off` (two servers, runs alternating);
// (d) 1 GB written by a job at full speed through `kesclient run`, history on
//     and off, several times in turn, with the median of the ratios.
//
// (e) `kesclient run` of a trivial job with a history shared in PostgreSQL
//     (a throwaway cluster) beside a history in SQLite only, and again while
//     another session holds the shared table locked.
//
// `bench_history stream [REPEATS]` measures (a) and (d) only;
// `bench_history trivial [RUNS]` measures (a) and (c) only;
// `bench_history pg [RUNS]` measures (e) only. With
// KES_BENCH_HISTORY_CACHE=PATH the history of (a) is copied from PATH when
// it exists (and kept there when made), so that repeated runs skip making it.
//
// The machine's load from elsewhere moves the throughput of one run a lot;
// each run of (d) also prints the server's own CPU time (its threads, from
// /proc), which such load moves far less.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "history/postgres.h"
#include "history/run_history.h"
#include "tests/support/pg_cluster.h"
#include "tests/support/server_home.h"

extern char** environ;

namespace {

using namespace kestrun;
using Clock = std::chrono::steady_clock;

constexpr int kHistoryRuns = 1'000'000;
constexpr int kTimedRecords = 2000;
constexpr int kClientRuns = 200;
constexpr long long kStreamBytes = 1024LL * 1024 * 1024;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double Since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Runs kesclient with `rest`, its output thrown away; milliseconds, or -1.
double Kesclient(int port, const std::vector<std::string>& rest) {
  std::vector<std::string> argv = test::KesclientCommand(port, "bench", "benchhost", rest);
  std::vector<char*> raw;
  for (std::string& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto t0 = Clock::now();
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  const double ms = Since(t0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

history::RunStart StartOf(int i) {
  history::RunStart s;
  s.job = "TRIVIAL";
  s.user = "bench";
  s.node = "benchhost";
  s.address = "127.0.0.1";
  s.arguments = {"exit", std::to_string(i % 100)};
  return s;
}

// (a): fills `path` and prints the module's figures.
bool BuildHistory(const std::string& path) {
  history::Settings settings;
  settings.path = path;
  settings.startFlusher = false;
  std::string warning;
  std::unique_ptr<history::RunHistory> h = history::RunHistory::Open(settings, &warning);
  if (!h) {
    std::fprintf(stderr, "%s\n", warning.c_str());
    return false;
  }
  const auto fill = Clock::now();
  for (int i = 0; i < kHistoryRuns; ++i) h->Record(StartOf(i), {});
  std::printf("history of %d runs made through RunHistory::Record: %.1f s (%.1f us a run)\n",
              kHistoryRuns, Since(fill) / 1000, Since(fill) * 1000 / kHistoryRuns);
  std::vector<double> us;
  for (int i = 0; i < kTimedRecords; ++i) {
    const auto t0 = Clock::now();
    std::shared_ptr<history::Run> run = h->Begin(StartOf(i));
    if (!run) return false;
    run->End({});
    us.push_back(Since(t0) * 1000);
  }
  std::printf(
      "recording the start and end of a run on top of it (committed each): median %.1f "
      "us, p99 %.1f us (target <= 100 us)\n",
      Median(us), [&] {
        std::sort(us.begin(), us.end());
        return us[us.size() * 99 / 100];
      }());
  h.reset();
  {
    // Folds the write-ahead log into the file before it is measured.
    std::optional<sql::Database> db =
        sql::Database::Open(path, sql::Database::Mode::ReadWriteCreate, nullptr);
    if (db) db->Execute("PRAGMA wal_checkpoint(TRUNCATE)");
  }
  const double size = static_cast<double>(std::filesystem::file_size(path));
  std::printf("file size: %.1f MB, %.0f bytes a run without output (target <= 400)\n", size / 1e6,
              size / (kHistoryRuns + kTimedRecords));
  return true;
}

// The CPU seconds the process `pid` used so far (all its threads).
double CpuSeconds(pid_t pid) {
  std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (!f) return 0;
  char text[1024] = {};
  const size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  // Fields 14 and 15 (utime, stime) follow the command's closing ')'.
  const char* p = std::strrchr(text, ')');
  if (!p || n == 0) return 0;
  unsigned long long utime = 0, stime = 0;
  if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) !=
      2)
    return 0;
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string Jobs(const std::string& child) {
  return "\nTRIVIAL:\n  program = " + child + "\n  param = exit\n  usetty = off\n\nSTREAM:\n" +
         "  program = " + child + "\n  param = stream\n  param = " + std::to_string(kStreamBytes) +
         "\n  usetty = off\n";
}

}  // namespace

// (e): `runs` round trips on each server in turn.
int SharedRoundTrips(const std::string& child, int runs) {
  test::PgCluster cluster;
  if (!cluster.ready()) {
    std::fprintf(stderr, "no PostgreSQL for the benchmark: %s\n", cluster.why().c_str());
    return 1;
  }
  test::TestHome sharedHome, localHome;
  test::RunningServer shared(
      sharedHome, {}, "history = " + cluster.conninfo() + "\nservername = bench\n" + Jobs(child));
  test::RunningServer local(localHome, {}, Jobs(child));
  if (!shared.ready() || !local.ready()) {
    std::fprintf(stderr, "a server did not start\n");
    return 1;
  }
  const auto measure = [&](const char* what) {
    std::vector<double> on, off;
    for (int i = 0; i < 10; ++i)
      Kesclient(i % 2 ? shared.port() : local.port(), {"run", "TRIVIAL"});
    for (int i = 0; i < runs; ++i) {
      on.push_back(Kesclient(shared.port(), {"run", "TRIVIAL"}));
      off.push_back(Kesclient(local.port(), {"run", "TRIVIAL"}));
    }
    // Load from elsewhere changes from moment to moment: the ratios of the
    // pairs of runs made one after the other say more than the medians.
    std::vector<double> pairs;
    for (size_t i = 0; i < on.size(); ++i) pairs.push_back(on[i] / off[i]);
    std::printf(
        "kesclient run TRIVIAL, %d runs each%s: PostgreSQL history median %.2f ms, SQLite "
        "only %.2f ms; ratio %.3f; median of pair ratios %.3f (target <= 1.10)\n",
        runs, what, Median(on), Median(off), Median(on) / Median(off), Median(pairs));
  };
  measure("");
  std::string error;
  std::optional<pg::Connection> locker = pg::Connection::Open(cluster.conninfo(), 5, &error);
  if (!locker || !locker->Execute("BEGIN; LOCK TABLE kestrun_runs IN ACCESS EXCLUSIVE MODE")) {
    std::fprintf(stderr, "cannot lock the shared table: %s\n", error.c_str());
    return 1;
  }
  measure(" while the shared table is locked");
  locker->Execute("ROLLBACK");
  shared.Stop();
  local.Stop();
  return 0;
}

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "pg")
    return SharedRoundTrips(KES_BENCH_JOB_CHILD, argc > 2 ? std::max(1, std::atoi(argv[2])) : 200);
  const bool streamOnly = argc > 1 && std::string(argv[1]) == "stream";
  const bool trivialOnly = argc > 1 && std::string(argv[1]) == "trivial";
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const std::string child = KES_BENCH_JOB_CHILD;
  test::TestHome on, off;
  const char* cache = std::getenv("KES_BENCH_HISTORY_CACHE");
  std::error_code copyError;
  if (cache && std::filesystem::exists(cache)) {
    std::filesystem::copy_file(cache, on.path() + "/history.db", copyError);
    std::printf("history of %d runs copied from %s\n", kHistoryRuns, cache);
  } else {
    if (!BuildHistory(on.path() + "/history.db")) return 1;
    if (cache) std::filesystem::copy_file(on.path() + "/history.db", cache, copyError);
  }
  test::RunningServer withHistory(on, {}, Jobs(child));
  test::RunningServer without(off, {}, "history = off\n" + Jobs(child));
  if (!withHistory.ready() || !without.ready()) {
    std::fprintf(stderr, "a server did not start\n");
    return 1;
  }
  const int portOn = withHistory.port(), portOff = without.port();

  if (!streamOnly && !trivialOnly) {
    // (b)
    for (int i = 0; i < 5; ++i) Kesclient(portOn, {"echo"});
    std::vector<double> echo, query;
    for (int i = 0; i < 100; ++i) {
      echo.push_back(Kesclient(portOn, {"echo"}));
      query.push_back(Kesclient(portOn, {"history", "TRIVIAL", "-n", "50"}));
    }
    std::printf(
        "kesclient history TRIVIAL -n 50 on %d runs: median %.2f ms; kesclient echo: "
        "median %.2f ms; ratio %.2f (target <= 2)\n",
        kHistoryRuns + kTimedRecords, Median(query), Median(echo), Median(query) / Median(echo));
  }
  if (!streamOnly) {
    // (c), the order of each pair changing each time
    const int runs = trivialOnly && argc > 2 ? std::max(1, std::atoi(argv[2])) : kClientRuns;
    std::vector<double> runOn, runOff, pairs;
    for (int i = 0; i < 10; ++i) Kesclient(i % 2 ? portOn : portOff, {"run", "TRIVIAL"});
    // The servers' own CPU time per run, which load from elsewhere moves
    // far less than the round trip.
    const pid_t serverOn = withHistory.process().pid(), serverOff = without.process().pid();
    const double cpuOn0 = CpuSeconds(serverOn), cpuOff0 = CpuSeconds(serverOff);
    for (int i = 0; i < runs; ++i) {
      const bool onFirst = i % 2 == 0;
      const double first = Kesclient(onFirst ? portOn : portOff, {"run", "TRIVIAL"});
      const double second = Kesclient(onFirst ? portOff : portOn, {"run", "TRIVIAL"});
      runOn.push_back(onFirst ? first : second);
      runOff.push_back(onFirst ? second : first);
      pairs.push_back(runOn.back() / runOff.back());
    }
    std::printf(
        "kesclient run TRIVIAL, %d runs each: history on median %.2f ms, off %.2f ms; "
        "ratio %.3f; median of pair ratios %.3f (target <= 1.10)\n",
        runs, Median(runOn), Median(runOff), Median(runOn) / Median(runOff), Median(pairs));
    const double cpuOn = (CpuSeconds(serverOn) - cpuOn0) * 1e6 / runs;
    const double cpuOff = (CpuSeconds(serverOff) - cpuOff0) * 1e6 / runs;
    std::printf("  server CPU per run: history on %.0f us, off %.0f us; difference %.0f us\n",
                cpuOn, cpuOff, cpuOn - cpuOff);
    if (trivialOnly) return 0;
  }

  // (d): on and off in turn, the order changing each time, so that load
  // from elsewhere falls on both alike.
  const auto rate = [](double ms) { return 1024.0 / (ms / 1000); };
  std::vector<double> ratios, ons, offs, cpuOn, cpuOff;
  const pid_t pidOn = withHistory.process().pid(), pidOff = without.process().pid();
  const auto timed = [](int port, pid_t pid, std::vector<double>& cpu) {
    const double before = CpuSeconds(pid);
    const double ms = Kesclient(port, {"run", "STREAM"});
    cpu.push_back(CpuSeconds(pid) - before);
    return ms;
  };
  for (int i = 0; i < repeats; ++i) {
    double streamOn = 0, streamOff = 0;
    if (i % 2 == 0) {
      streamOff = timed(portOff, pidOff, cpuOff);
      streamOn = timed(portOn, pidOn, cpuOn);
    } else {
      streamOn = timed(portOn, pidOn, cpuOn);
      streamOff = timed(portOff, pidOff, cpuOff);
    }
    ratios.push_back(streamOff / streamOn);
    ons.push_back(rate(streamOn));
    offs.push_back(rate(streamOff));
    std::printf(
        "1 GB through kesclient run (%d): history on %.0f MB/s, off %.0f MB/s; ratio "
        "%.3f; server CPU on %.2f s, off %.2f s\n",
        i + 1, ons.back(), offs.back(), ratios.back(), cpuOn.back(), cpuOff.back());
  }
  std::printf(
      "1 GB through kesclient run, %d times: median history on %.0f MB/s, off %.0f MB/s; "
      "median ratio %.3f (target >= 0.90)\n",
      repeats, Median(ons), Median(offs), Median(ratios));
  std::printf("server CPU for 1 GB: median history on %.2f s, off %.2f s; ratio %.3f\n",
              Median(cpuOn), Median(cpuOff), Median(cpuOn) / Median(cpuOff));
  withHistory.Stop();
  without.Stop();
  return 0;
}
