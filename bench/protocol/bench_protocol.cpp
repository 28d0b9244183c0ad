// Encode and decode throughput of the message library: a message of 1,000
// long fields and a message holding one 1 MB string, each encoded, sent over
// a socket pair and decoded; and the scrambling of 1 MB of buffers alone.
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <string>
#include <thread>

#include "protocol/transport.h"

namespace {

using namespace kestrun;

void EncodeFields(XDRWRAP& m) {
  m.BeginEncode();
  for (int i = 0; i < 1000; ++i) m.AddLong(i);
}

void BM_Encode1000Fields(benchmark::State& state) {
  for (auto _ : state) {
    XDRWRAP m;
    EncodeFields(m);
    benchmark::DoNotOptimize(m.Buffers().data());
  }
  state.SetItemsProcessed(state.iterations() * 1000);
  state.SetBytesProcessed(state.iterations() * 4000);
}

void BM_Encode1MBString(benchmark::State& state) {
  const std::string text(1 << 20, 'x');
  for (auto _ : state) {
    XDRWRAP m;
    m.BeginEncode();
    m.AddString(text);
    benchmark::DoNotOptimize(m.Buffers().data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

// Sends `m` over a socket pair while the other end receives and decodes it.
template <typename Build, typename Read>
void RoundTrip(benchmark::State& state, int64_t bytes, Build build, Read read) {
  for (auto _ : state) {
    int fds[2];
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    Socket a(fds[0]), b(fds[1]);
    XDRWRAP m;
    build(m);
    std::thread sender([&] { SendReply(m, a.get()); });
    XDRWRAP r;
    ReceiveMessage(r, b.get());
    read(r);
    sender.join();
  }
  state.SetBytesProcessed(state.iterations() * bytes);
}

void BM_RoundTrip1000Fields(benchmark::State& state) {
  RoundTrip(state, 4000, EncodeFields, [](XDRWRAP& r) {
    for (int i = 0; i < 1000; ++i) benchmark::DoNotOptimize(r.GetLong());
  });
}

void BM_RoundTrip1MBString(benchmark::State& state) {
  const std::string text(1 << 20, 'y');
  RoundTrip(
      state, static_cast<int64_t>(text.size()),
      [&](XDRWRAP& m) {
        m.BeginEncode();
        m.AddString(text);
      },
      [](XDRWRAP& r) { benchmark::DoNotOptimize(r.GetString().size()); });
}

// Scrambling 1 MB as a message's buffers are scrambled: 10,012-byte buffers,
// each from the start of the same seed's keystream.
void BM_Scramble1MB(benchmark::State& state) {
  std::string data(10012, 'z');
  for (auto _ : state) {
    ScrambleMask mask(MessageSeed());
    for (int i = 0; i < 105; ++i) mask.Apply(data.data(), data.size());
    benchmark::DoNotOptimize(data.data());
  }
  state.SetBytesProcessed(state.iterations() * 105 * static_cast<int64_t>(data.size()));
}

BENCHMARK(BM_Scramble1MB);
BENCHMARK(BM_Encode1000Fields);
BENCHMARK(BM_Encode1MBString);
BENCHMARK(BM_RoundTrip1000Fields);
BENCHMARK(BM_RoundTrip1MBString);

}  // namespace

BENCHMARK_MAIN();
