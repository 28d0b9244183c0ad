// Job runs end to end against the built KestrunServer in a temporary home:
// (a) round-trip latency of a trivial job run as kesclient does it (connect,
//     request, start header, end-of-input chunk, end word, reply), 1,000
//     times, with p50/p99;
// (b) streaming: a job writes 512 MB to standard output and the client reads
//     the frames; MB/s from the request to the reply.
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "protocol/messages/run.h"
#include "protocol/transport.h"
#include "tests/support/server_home.h"

extern char** environ;

namespace {

using namespace kestrun;
using Clock = std::chrono::steady_clock;

constexpr int kRuns = 1000;
constexpr long long kStreamBytes = 512LL * 1024 * 1024;

// Reads the run's raw bytes through a buffer, as a client that wants speed
// would, rather than one recv per frame field.
class RunReader {
 public:
  explicit RunReader(SocketHandle s) : socket_(s), buffer_(256 * 1024) {}

  bool Take(void* area, size_t count) {
    auto* out = static_cast<char*>(area);
    while (count > 0) {
      if (begin_ == end_ && !Fill()) return false;
      const size_t n = std::min(count, end_ - begin_);
      std::copy_n(buffer_.data() + begin_, n, out);
      begin_ += n;
      out += n;
      count -= n;
    }
    return true;
  }
  bool Skip(size_t count) {
    while (count > 0) {
      if (begin_ == end_ && !Fill()) return false;
      const size_t n = std::min(count, end_ - begin_);
      begin_ += n;
      count -= n;
    }
    return true;
  }
  bool Word(uint32_t& value) {
    unsigned char b[4];
    if (!Take(b, 4)) return false;
    value = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    return true;
  }
  // Whatever was read past the end word belongs to the reply message.
  std::string Rest() const { return std::string(buffer_.data() + begin_, end_ - begin_); }

 private:
  bool Fill() {
    int error = 0;
    const long n = net::ReceiveSome(socket_, buffer_.data(), buffer_.size(), &error);
    if (n <= 0) return false;
    begin_ = 0;
    end_ = static_cast<size_t>(n);
    return true;
  }
  SocketHandle socket_;
  std::vector<char> buffer_;
  size_t begin_ = 0, end_ = 0;
};

// The reply when the buffered reader already took its first bytes: those and
// the rest of the connection (the server closes it after the reply) are
// replayed through a local socket pair into ReceiveMessage.
bool ReceiveReadAhead(XDRWRAP& reply, std::string bytes, SocketHandle s) {
  char more[4096];
  for (;;) {
    int error = 0;
    const long n = net::ReceiveSome(s, more, sizeof more, &error);
    if (n <= 0) break;
    bytes.append(more, static_cast<size_t>(n));
  }
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
  const Socket reading(pair[0]);
  const Socket writing(pair[1]);
  const SendPiece piece{bytes.data(), bytes.size()};
  if (net::SendAll(writing.get(), {&piece, 1}) != 0) return false;
  ::shutdown(writing.get(), SHUT_WR);
  ReceiveMessage(reply, reading.get());
  return true;
}

// When the steps of one run were done, from the start of the connection.
struct Phases {
  Clock::time_point start, header, endWord, reply;
};

// One run as kesclient makes it. Returns the output bytes received, or -1.
long long RunOnceOrThrow(int port, const std::string& job, Phases& at) {
  at.start = Clock::now();
  std::optional<ServerConnection> c = ConnectToServer(port, "127.0.0.1");
  if (!c) return -1;
  XDRWRAP m;
  messages::RunServerScriptRequest request;
  request.programId = job;
  request.clientUser = "bench";
  request.clientNode = "benchhost";
  request.clientProcessId = 1;
  messages::EncodeRequest(m, request);
  SendRequest(m, *c);
  const SocketHandle s = c->socket.get();
  unsigned char header[20];
  ReadExactly(s, header, sizeof header);
  at.header = Clock::now();
  const unsigned char endOfInput[4] = {0, 0, 0, 0};
  const SendPiece piece{endOfInput, sizeof endOfInput};
  net::SendAll(s, {&piece, 1});
  RunReader reader(s);
  long long bytes = 0;
  for (;;) {
    uint32_t length = 0, stream = 0;
    if (!reader.Word(length)) return -1;
    if (length == 0) break;
    if (!reader.Word(stream) || !reader.Skip(length)) return -1;
    bytes += length;
  }
  at.endWord = Clock::now();
  XDRWRAP reply;
  const std::string readAhead = reader.Rest();
  if (readAhead.empty()) {
    ReceiveMessage(reply, s);
  } else if (!ReceiveReadAhead(reply, readAhead, s)) {
    return -1;
  }
  if (!std::holds_alternative<messages::RunScriptRan>(messages::DecodeRunServerScriptReply(reply)))
    return -1;
  at.reply = Clock::now();
  return bytes;
}

long long RunOnce(int port, const std::string& job, Phases& at) {
  try {
    return RunOnceOrThrow(port, job, at);
  } catch (const DecodeFailure&) {
    return -1;
  }
}

// The floor under a run's latency on this machine: starting the same job
// program directly and waiting for it, without any server. Milliseconds.
std::vector<double> DirectStarts(const std::string& program, int count) {
  std::vector<double> ms;
  std::string path = program, mode = "exit";
  char* argv[] = {path.data(), mode.data(), nullptr};
  for (int i = 0; i < count; ++i) {
    const auto t0 = Clock::now();
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) break;
    int status = 0;
    ::waitpid(pid, &status, 0);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  return ms;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main() {
  net::StartSockets();
  test::TestHome home;
  const std::string child = KES_BENCH_JOB_CHILD;
  test::RunningServer server(
      home, {},
      "\nTRIVIAL:\n  program = " + child +
          "\n  param = exit\n  usetty = off\n\nSTREAM:\n  program = " + child +
          "\n  param = stream\n  param = " + std::to_string(kStreamBytes) + "\n  usetty = off\n");
  if (!server.ready()) {
    std::fprintf(stderr, "server did not start: %s\n", server.process().Stderr().c_str());
    return 1;
  }
  const int port = server.port();
  Phases at;
  for (int i = 0; i < 20; ++i) RunOnce(port, "TRIVIAL", at);  // warm-up

  auto Ms = [](Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
  };
  std::vector<double> ms, toHeader, toEndWord, toReply;
  const auto all = Clock::now();
  for (int i = 0; i < kRuns; ++i) {
    if (RunOnce(port, "TRIVIAL", at) != 0) {
      std::fprintf(stderr, "run %d failed\n", i);
      return 1;
    }
    ms.push_back(Ms(at.start, at.reply));
    toHeader.push_back(Ms(at.start, at.header));
    toEndWord.push_back(Ms(at.header, at.endWord));
    toReply.push_back(Ms(at.endWord, at.reply));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - all).count();
  std::printf(
      "trivial job round trip, %d runs: p50 %.3f ms, p99 %.3f ms, max %.3f ms, %.0f runs/s\n",
      kRuns, Percentile(ms, 0.50), Percentile(ms, 0.99), Percentile(ms, 1.0), kRuns / seconds);
  std::printf(
      "  p50 of its steps: connect+request to start header %.3f ms, to end word %.3f ms, "
      "to reply %.3f ms\n",
      Percentile(toHeader, 0.50), Percentile(toEndWord, 0.50), Percentile(toReply, 0.50));
  const std::vector<double> direct = DirectStarts(child, kRuns);
  if (!direct.empty())
    std::printf(
        "  for comparison, starting the job program directly and waiting for it: p50 %.3f "
        "ms, p99 %.3f ms\n",
        Percentile(direct, 0.50), Percentile(direct, 0.99));

  const long long bytes = RunOnce(port, "STREAM", at);
  const double streamSeconds = std::chrono::duration<double>(at.reply - at.start).count();
  if (bytes != kStreamBytes) {
    std::fprintf(stderr, "stream run received %lld bytes\n", bytes);
    return 1;
  }
  std::printf("streaming 512 MB from a job to the client: %.2f s, %.0f MB/s\n", streamSeconds,
              static_cast<double>(bytes) / (1024.0 * 1024.0) / streamSeconds);
  server.Stop();
  return 0;
}
