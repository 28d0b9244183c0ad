// kesclient as a user runs it, against the built KestrunServer in a
// temporary home (kesclient copied beside kestrun.conf finds the port), each
// figure beside its floor on this machine:
// (a) 1,000 x `kesclient run TRIVIAL` (a statically linked program that
//     exits at once): p50/p99, beside 1,000 x two sequential starts of that
//     program (one client process plus one job process);
// (b) 512 MB of job output through `kesclient run` into /dev/null, beside
//     `head -c 512M /dev/zero | cat > /dev/null`;
// (c) 64 MB through kesclient's standard input to a job that copies it back.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/server_home.h"
#include "tools/kesclient/run_job.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRuns = 1000;
constexpr long long kStreamBytes = 512LL * 1024 * 1024;
constexpr long long kInputBytes = 64LL * 1024 * 1024;

// Starts argv with standard input from `input` and output to /dev/null,
// waits for it; its exit status, or -1.
int RunAndWait(std::vector<std::string> argv, const std::string& input = "/dev/null") {
  std::vector<char*> raw;
  for (std::string& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

double MsSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

double MBps(long long bytes, double ms) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0) / (ms / 1000.0);
}

}  // namespace

int main() {
  using namespace kestrun::test;
  TestHome home;
  home.CopyProgram("kesclient");
  const std::string child = KES_BENCH_CLIENT_CHILD;
  const std::string job = "  program = " + child + "\n  usetty = off\n";
  RunningServer server(home, {},
                       "\nTRIVIAL:\n" + job + "  param = exit\n\nSTREAM:\n" + job +
                           "  param = stream\n  param = " + std::to_string(kStreamBytes) +
                           "\n\nCOPY:\n" + job + "  param = copy\n");
  if (!server.ready()) {
    std::fprintf(stderr, "server did not start: %s\n", server.process().Stderr().c_str());
    return 1;
  }
  const std::string kesclient = home.path() + "/kesclient";

  // (a) round trips of a trivial job, and the floor. The measures take turns
  // so that a change in the machine's load touches all of them alike. Where
  // the time goes: the client program's start alone (-h), and the same run
  // made inside this process (no client process at all).
  for (int i = 0; i < 20; ++i) RunAndWait({kesclient, "run", "TRIVIAL"});  // warm-up
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  kestrun::client::RunRequest request;
  request.job = "TRIVIAL";
  request.user = "bench";
  request.node = "benchhost";
  std::vector<double> runs, floor, help, inProcess;
  for (int i = 0; i < kRuns; ++i) {
    auto t0 = Clock::now();
    if (RunAndWait({kesclient, "run", "TRIVIAL"}) != 0) {
      std::fprintf(stderr, "run %d failed\n", i);
      return 1;
    }
    runs.push_back(MsSince(t0));
    t0 = Clock::now();
    RunAndWait({child, "exit"});
    RunAndWait({child, "exit"});
    floor.push_back(MsSince(t0));
    t0 = Clock::now();
    RunAndWait({kesclient, "-h"});
    help.push_back(MsSince(t0));
    t0 = Clock::now();
    const kestrun::client::RunOutcome out = kestrun::client::RunJob(
        {"127.0.0.1", server.port()}, request, devNull, devNull, devNull, nullptr);
    if (out.kind != kestrun::client::RunOutcome::Kind::Ran) {
      std::fprintf(stderr, "in-process run failed: %s\n", out.message.c_str());
      return 1;
    }
    inProcess.push_back(MsSince(t0));
  }
  ::close(devNull);
  const double p50 = Percentile(runs, 0.5), floor50 = Percentile(floor, 0.5);
  std::printf("(a) kesclient run of a trivial job, %d runs: p50 %.3f ms, p99 %.3f ms\n", kRuns, p50,
              Percentile(runs, 0.99));
  std::printf("    floor, two sequential starts of the trivial program: p50 %.3f ms, p99 %.3f ms\n",
              floor50, Percentile(floor, 0.99));
  std::printf("    ratio p50 / floor p50: %.2f (targets: p50 <= 2.5 ms, ratio <= 1.6)\n",
              p50 / floor50);
  std::printf(
      "    parts: kesclient -h alone p50 %.3f ms; the same run made in this process "
      "(server and protocol only) p50 %.3f ms, p99 %.3f ms\n",
      Percentile(help, 0.5), Percentile(inProcess, 0.5), Percentile(inProcess, 0.99));

  // (b) 512 MB of job output into /dev/null, and the floor, alternately five
  // times each: the medians are printed (a single run varies by half on a
  // shared machine).
  std::vector<double> streamRuns, pipeRuns;
  for (int round = 0; round < 5; ++round) {
    auto t0 = Clock::now();
    if (RunAndWait({kesclient, "run", "STREAM"}) != 0) {
      std::fprintf(stderr, "stream run failed\n");
      return 1;
    }
    streamRuns.push_back(MsSince(t0));
    t0 = Clock::now();
    RunAndWait({"/bin/sh", "-c", "head -c 512M /dev/zero | cat > /dev/null"});
    pipeRuns.push_back(MsSince(t0));
  }
  const double streamMs = Percentile(streamRuns, 0.5), pipeMs = Percentile(pipeRuns, 0.5);
  std::printf(
      "(b) 512 MB of job output through kesclient run to /dev/null, median of 5: %.2f s, %.0f "
      "MB/s\n",
      streamMs / 1000, MBps(kStreamBytes, streamMs));
  std::printf(
      "    floor, head -c 512M /dev/zero | cat > /dev/null, median of 5: %.2f s, %.0f MB/s\n",
      pipeMs / 1000, MBps(kStreamBytes, pipeMs));
  std::printf("    ratio: %.0f%% of the floor (targets: >= 1 GB/s, >= 70%%)\n",
              100.0 * pipeMs / streamMs);

  // (c) 64 MB through standard input to a job that copies it back.
  home.WriteFile("input.bin", std::string(static_cast<size_t>(kInputBytes), 'i'));
  auto t0 = Clock::now();
  if (RunAndWait({kesclient, "run", "COPY"}, home.path() + "/input.bin") != 0) {
    std::fprintf(stderr, "copy run failed\n");
    return 1;
  }
  const double copyMs = MsSince(t0);
  std::printf(
      "(c) 64 MB through kesclient's standard input and back from the job: %.2f s, "
      "%.0f MB/s\n",
      copyMs / 1000, MBps(kInputBytes, copyMs));
  server.Stop();
  return 0;
}
