// Load benchmark of the request listener: N clients doing ECHO_REQUEST
// against a KestrunServer for T seconds, each on a connection of its own per
// request, as real clients do. Prints requests per second, latency
// percentiles, and the server's resident memory (VmRSS) when idle before the
// run, at its end (the moment the last client finished) and after it (once
// the request threads are gone), with the peak (VmHWM) for reference.
//
//   kes_bench_server_load [--clients N] [--seconds T]
//
// The server is the KestrunServer next to this program (build/bin), copied
// into a temporary home with a kestrun.conf on a free port.
#include <signal.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/home_directory.h"
#include "platform/process.h"
#include "protocol/messages/jobs_admin.h"
#include "protocol/transport.h"

extern char** environ;

namespace {

using namespace kestrun;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// One ECHO exchange; true when the value came back.
bool Echo(int port, int32_t value) {
  std::optional<ServerConnection> c = ConnectToServer(port, "127.0.0.1");
  if (!c) return false;
  XDRWRAP request;
  messages::EncodeRequest(request, messages::EchoRequest{value});
  SendRequest(request, *c);
  XDRWRAP reply;
  try {
    ReceiveMessage(reply, c->socket.get());
    return messages::EchoReply::Decode(reply).value == value;
  } catch (const DecodeFailure&) {
    return false;
  }
}

// A field of /proc/<pid>/status ("VmRSS", "VmHWM", "Threads"), in its unit.
long StatusField(int pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

int FreePort() {
  int port = 0;
  std::optional<Socket> s = CreateListenSocket(&port);
  return s ? port : 0;
}

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  const size_t k = std::min(sorted.size() - 1, static_cast<size_t>(p * (sorted.size() - 1) + 0.5));
  return sorted[k];
}

}  // namespace

int main(int argc, char** argv) {
  int clients = 16;
  int seconds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--clients") == 0) clients = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
  }
  net::StartSockets();

  // A temporary home with the server program and its configuration.
  std::string pattern = (fs::temp_directory_path() / "kestrun-bench-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return 1;
  const fs::path home = pattern;
  fs::copy_file(fs::path(HomeDirectory()) / "KestrunServer", home / "KestrunServer");
  const int port = FreePort();
  std::ofstream(home / "kestrun.conf") << "port=" << port << "\n";

  LaunchOptions options;
  options.program = (home / "KestrunServer").string();
  options.arguments = {options.program};
  for (char** e = environ; *e; ++e) options.environment.push_back(*e);
  options.descriptors = {kInvalidFile, kInvalidFile, kInvalidFile};  // all /dev/null
  int error = 0;
  std::optional<Process> server = LaunchProcess(options, &error);
  if (!server) {
    std::fprintf(stderr, "cannot start %s: %s\n", options.program.c_str(), std::strerror(error));
    return 1;
  }
  const auto ready = Clock::now() + std::chrono::seconds(20);
  while (!Echo(port, 1)) {
    if (Clock::now() > ready) {
      std::fputs("server did not answer\n", stderr);
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const long idleRss = StatusField(server->pid(), "VmRSS");
  const long idleThreads = StatusField(server->pid(), "Threads");

  std::vector<std::vector<double>> latencies(clients);
  std::atomic<long> failures{0};
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < clients; ++t) {
    threads.emplace_back([&, t] {
      int32_t value = t * 1000000;
      while (Clock::now() < end) {
        const auto begin = Clock::now();
        if (!Echo(port, ++value)) ++failures;
        latencies[t].push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
      }
    });
  }
  for (std::thread& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const long endRss = StatusField(server->pid(), "VmRSS");

  // Request threads end right after their reply; give the last ones a moment.
  const auto settle = Clock::now() + std::chrono::seconds(5);
  while (StatusField(server->pid(), "Threads") > idleThreads && Clock::now() < settle) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const long afterRss = StatusField(server->pid(), "VmRSS");
  const long peakRss = StatusField(server->pid(), "VmHWM");

  std::vector<double> all;
  for (const std::vector<double>& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  std::printf("clients %d, %d s: %zu requests, %ld failed\n", clients, seconds, all.size(),
              failures.load());
  std::printf("throughput: %.0f requests/s\n", all.size() / elapsed);
  std::printf("latency ms: p50 %.3f  p99 %.3f  max %.3f\n", Percentile(all, 0.50),
              Percentile(all, 0.99), all.empty() ? 0.0 : all.back());
  std::printf("server RSS KiB: idle %ld  end %ld  after %ld  (after - idle %+ld)  peak %ld\n",
              idleRss, endRss, afterRss, afterRss - idleRss, peakRss);

  SignalProcess(server->pid(), SIGTERM);
  server->Reap();
  std::error_code ignored;
  fs::remove_all(home, ignored);
  return failures.load() == 0 ? 0 : 1;
}
