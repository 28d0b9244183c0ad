// The run history, measured:
// (a) a history of 1,000,000 runs made through the module's own API; then
//     recording the start and end of one more run (median of 2,000), and the
//     file's size per run;
// (b) `kesclient history TRIVIAL -n 50` against a server holding that file,
//     beside `kesclient echo` to the same server (both as processes);
// (c) `kesclient run` of a trivial job with the history on and with
//     `history = off` (two servers, runs alternating);
// (d) 1 GB written by a job at full speed through `kesclient run`, history on
//     and off.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "history/run_history.h"
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
  std::printf("recording the start and end of a run on top of it (committed each): median %.1f "
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
  std::printf("file size: %.1f MB, %.0f bytes a run without output (target <= 400)\n",
              size / 1e6, size / (kHistoryRuns + kTimedRecords));
  return true;
}

std::string Jobs(const std::string& child) {
  return "\nTRIVIAL:\n  program = " + child + "\n  param = exit\n  usetty = off\n\nSTREAM:\n" +
         "  program = " + child + "\n  param = stream\n  param = " + std::to_string(kStreamBytes) +
         "\n  usetty = off\n";
}

}  // namespace

int main() {
  const std::string child = KES_BENCH_JOB_CHILD;
  test::TestHome on, off;
  if (!BuildHistory(on.path() + "/history.db")) return 1;
  test::RunningServer withHistory(on, {}, Jobs(child));
  test::RunningServer without(off, {}, "history = off\n" + Jobs(child));
  if (!withHistory.ready() || !without.ready()) {
    std::fprintf(stderr, "a server did not start\n");
    return 1;
  }
  const int portOn = withHistory.port(), portOff = without.port();

  // (b)
  for (int i = 0; i < 5; ++i) Kesclient(portOn, {"echo"});
  std::vector<double> echo, query;
  for (int i = 0; i < 100; ++i) {
    echo.push_back(Kesclient(portOn, {"echo"}));
    query.push_back(Kesclient(portOn, {"history", "TRIVIAL", "-n", "50"}));
  }
  std::printf("kesclient history TRIVIAL -n 50 on %d runs: median %.2f ms; kesclient echo: "
              "median %.2f ms; ratio %.2f (target <= 2)\n",
              kHistoryRuns + kTimedRecords, Median(query), Median(echo),
              Median(query) / Median(echo));

  // (c)
  std::vector<double> runOn, runOff;
  for (int i = 0; i < 10; ++i) Kesclient(i % 2 ? portOn : portOff, {"run", "TRIVIAL"});
  for (int i = 0; i < kClientRuns; ++i) {
    runOn.push_back(Kesclient(portOn, {"run", "TRIVIAL"}));
    runOff.push_back(Kesclient(portOff, {"run", "TRIVIAL"}));
  }
  std::printf("kesclient run TRIVIAL, %d runs each: history on median %.2f ms, off %.2f ms; "
              "ratio %.3f (target <= 1.10)\n",
              kClientRuns, Median(runOn), Median(runOff), Median(runOn) / Median(runOff));

  // (d)
  const double streamOff = Kesclient(portOff, {"run", "STREAM"});
  const double streamOn = Kesclient(portOn, {"run", "STREAM"});
  const auto rate = [](double ms) { return 1024.0 / (ms / 1000); };
  std::printf("1 GB through kesclient run: history on %.0f MB/s, off %.0f MB/s; ratio %.3f "
              "(target >= 0.90)\n",
              rate(streamOn), rate(streamOff), streamOff / streamOn);
  withHistory.Stop();
  without.Stop();
  return 0;
}
