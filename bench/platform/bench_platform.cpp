// Figures of the platform layer, printed on standard output:
// (a) streaming: a job writes 512 MB to standard output through Execute to a
//     client on a loopback TCP connection that reads and checks the frames;
//     MB/s end to end and this process's resident-memory growth (the server
//     side of the run is this process);
// (b) launch: 1,000 runs of a trivial program through ExecuteAndCapture in
//     capture mode; runs per second and p50/p99 latency, next to the same
//     program started with posix_spawn alone (the machine's floor), run in
//     turn so that both see the same load.
//
// bench_platform [stream [MB] | launch [RUNS]]   (both when no argument)
#include <arpa/inet.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "launch/execute.h"

extern char** environ;

namespace {

using namespace kestrun;
using Clock = std::chrono::steady_clock;

const std::string kChild = KES_BENCH_PLATFORM_CHILD;

// A field of /proc/self/status in kB (VmRSS, VmHWM), or -1.
long StatusKb(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size() + 1, field + ":") == 0)
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return -1;
}

// Resets VmHWM to the current resident size, so it shows the peak of what
// follows.
void ResetPeakRss() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

// The run's environment as a request would build it: the server's own
// environment and a few KES variables.
std::vector<std::string> RunEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.insert(env.end(), {"KESJOBNAME=BENCH", "KESUSER=bench", "KESNODE=localhost",
                         "KESREASON=client", "KESFIELD1=value one"});
  return env;
}

struct LoopbackPair {
  Socket server, client;
};

LoopbackPair ConnectLoopback() {
  int port = 0;
  std::optional<Socket> listener = net::ListenTcp(&port, 1);
  if (!listener) std::exit(1);
  std::optional<Socket> client = net::ConnectTcp(0x7F000001, port);
  uint32_t peer = 0;
  int error = 0;
  std::optional<Socket> server =
      client ? net::Accept(listener->get(), &peer, &error) : std::nullopt;
  if (!server) {
    std::fputs("loopback connection failed\n", stderr);
    std::exit(1);
  }
  return {std::move(*server), std::move(*client)};
}

// The client's side: reads the frames through a large buffer, checks their
// headers and the first byte of each frame against the job's pattern, and
// counts the data bytes. Returns -1 on a malformed stream.
long long ReadFrames(SocketHandle s, std::vector<char>& buffer) {
  long long data = 0;
  size_t begin = 0, end = 0;
  auto fill = [&]() {
    if (begin < end) std::memmove(buffer.data(), buffer.data() + begin, end - begin);
    end -= begin;
    begin = 0;
    int error = 0;
    const long n = net::ReceiveSome(s, buffer.data() + end, buffer.size() - end, &error);
    if (n <= 0) return false;
    end += static_cast<size_t>(n);
    return true;
  };
  for (;;) {
    while (end - begin < 8) {
      if (!fill()) return end == begin ? data : -1;
    }
    uint32_t header[2];
    std::memcpy(header, buffer.data() + begin, 8);
    const uint32_t length = ntohl(header[0]), stream = ntohl(header[1]);
    if (length == 0 || length > kMaxFrameData || stream != kStdoutStream) return -1;
    while (end - begin < 8 + length) {
      if (!fill()) return -1;
    }
    // The job writes 64 KB blocks of "abc...z" repeated, restarting each block.
    if (buffer[begin + 8] != static_cast<char>('a' + (data % 65536) % 26)) return -1;
    data += length;
    begin += 8 + length;
  }
}

int Streaming(long long megabytes) {
  const long long bytes = megabytes * 1024 * 1024;
  RunningJobTable table;
  ExecutionContext context{table, {}};
  RunDescription run;
  run.jobName = "BENCH";
  run.clientNode = "localhost";
  run.clientProcessId = 1;
  run.clientUser = "bench";
  run.arguments = {kChild, "stream", std::to_string(bytes)};
  run.environment = RunEnvironment();
  LoopbackPair connection = ConnectLoopback();
  std::vector<char> clientBuffer(256 * 1024);
  // The client ends its input at once: the job reads nothing.
  const uint32_t zero = 0;
  SendPiece endOfInput{&zero, 4};
  net::SendAll(connection.client.get(), std::span<const SendPiece>(&endOfInput, 1));

  const long rssBefore = StatusKb("VmRSS");
  ResetPeakRss();
  const Clock::time_point start = Clock::now();
  auto client = std::async(std::launch::async,
                           [&] { return ReadFrames(connection.client.get(), clientBuffer); });
  const RunOutcome outcome = Execute(context, run, connection.server.get());
  connection.server.ShutdownSend();
  const long long received = client.get();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const long rssAfter = StatusKb("VmRSS");
  const long rssPeak = StatusKb("VmHWM");

  std::printf("streaming: %lld MB through Execute to a loopback client\n", megabytes);
  std::printf("  result %d, exit status %d, data bytes received %lld (expected %lld)\n",
              outcome.result, outcome.exitStatus, received, bytes);
  std::printf("  %.2f s, %.1f MB/s end to end\n", seconds,
              static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds);
  std::printf(
      "  VmRSS before %ld kB, after %ld kB, growth %ld kB; peak during run %ld kB (+%ld kB)\n",
      rssBefore, rssAfter, rssAfter - rssBefore, rssPeak, rssPeak - rssBefore);
  return outcome.result == 0 && outcome.exitStatus == 0 && received == bytes ? 0 : 1;
}

// Latency figures of one kind of run.
struct Latencies {
  std::vector<double> milliseconds;
  double seconds = 0;  // the runs' total time
  int failures = 0;
};

// Makes `runs` runs of each kind, alternating, after a warm-up, so that both
// see the same load of the machine.
template <typename A, typename B>
void Measure(int runs, A a, B b, Latencies& figuresA, Latencies& figuresB) {
  for (int i = 0; i < 20; ++i) a(), b();  // warm-up: page cache, thread stacks, allocator
  auto time = [](auto& once, Latencies& figures) {
    const Clock::time_point t = Clock::now();
    if (!once()) ++figures.failures;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t).count();
    figures.milliseconds.push_back(ms);
    figures.seconds += ms / 1000;
  };
  for (int i = 0; i < runs; ++i) {
    time(a, figuresA);
    time(b, figuresB);
  }
}

void PrintLatencies(Latencies& f) {
  std::vector<double>& ms = f.milliseconds;
  std::sort(ms.begin(), ms.end());
  auto percentile = [&](double p) {
    return ms[std::min(ms.size() - 1, static_cast<size_t>(p * static_cast<double>(ms.size())))];
  };
  std::printf("  %.0f runs/s; latency p50 %.3f ms, p99 %.3f ms, max %.3f ms; failures %d\n",
              static_cast<double>(ms.size()) / f.seconds, percentile(0.50), percentile(0.99),
              ms.back(), f.failures);
}

int Launches(int runs) {
  RunningJobTable table;
  ExecutionContext context{table, {}};
  const std::vector<std::string> environment = RunEnvironment();
  const std::vector<std::string> arguments = {kChild, "exit"};
  auto captured = [&]() {
    const CaptureOutcome outcome =
        ExecuteAndCapture(context, arguments, "localhost", 1, environment);
    return outcome.result == 0 && outcome.exitStatus == 0;
  };
  // The floor under it on this machine: the same program and environment
  // started with posix_spawn alone (no pipes, no pumps) and waited for.
  std::vector<char*> argv = {const_cast<char*>(kChild.c_str()), const_cast<char*>("exit"), nullptr};
  std::vector<char*> envp;
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  auto bare = [&]() {
    pid_t pid = -1;
    if (posix_spawn(&pid, kChild.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0)
      return false;
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  Latencies capturedFigures, bareFigures;
  Measure(runs, captured, bare, capturedFigures, bareFigures);
  std::printf(
      "launch: %d runs of a trivial program through ExecuteAndCapture (capture mode), "
      "%zu environment variables\n",
      runs, environment.size());
  // Paired before sorting: run i of each kind ran one right after the other.
  std::vector<double> difference;
  for (size_t i = 0; i < capturedFigures.milliseconds.size(); ++i)
    difference.push_back(capturedFigures.milliseconds[i] - bareFigures.milliseconds[i]);
  std::sort(difference.begin(), difference.end());
  PrintLatencies(capturedFigures);
  std::printf(
      "  for comparison, posix_spawn and waitpid of the same program alone, run in turn:\n");
  PrintLatencies(bareFigures);
  std::printf("  difference within each pair of runs: median %.3f ms\n",
              difference[difference.size() / 2]);
  return capturedFigures.failures == 0 && bareFigures.failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  net::StartSockets();
  const std::string what = argc > 1 ? argv[1] : "all";
  int rc = 0;
  if (what == "stream" || what == "all") rc |= Streaming(argc > 2 ? std::atoll(argv[2]) : 512);
  if (what == "launch" || what == "all") rc |= Launches(argc > 2 ? std::atoi(argv[2]) : 1000);
  return rc;
}
