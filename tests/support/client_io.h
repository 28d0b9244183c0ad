// Helpers of the platform tests: a loopback TCP connection and the client's
// side of a run's raw byte stream (input chunks, output frames).
#pragma once

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "protocol/run_stream.h"
#include "protocol/socket.h"

namespace kestrun::test {

// Both ends of one loopback TCP connection.
struct LoopbackPair {
  Socket server;  // the request connection as the server sees it
  Socket client;
};

inline LoopbackPair ConnectLoopback() {
  int port = 0;
  std::optional<Socket> listener = net::ListenTcp(&port, 1);
  std::optional<Socket> client = net::ConnectTcp(0x7F000001, port);
  uint32_t peer = 0;
  int error = 0;
  std::optional<Socket> server = net::Accept(listener->get(), &peer, &error);
  return {std::move(*server), std::move(*client)};
}

inline bool ReceiveExactly(SocketHandle s, void* area, size_t count) {
  char* p = static_cast<char*>(area);
  while (count > 0) {
    int error = 0;
    const long n = net::ReceiveSome(s, p, count, &error);
    if (n <= 0) return false;
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

// Reads exactly `count` bytes from a pipe.
inline bool ReadExactlyFd(FileHandle fd, void* area, size_t count) {
  char* p = static_cast<char*>(area);
  while (count > 0) {
    int error = 0;
    const long n = ReadSome(fd, p, count, &error);
    if (n <= 0) return false;
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

inline bool SendBytes(SocketHandle s, const std::string& bytes) {
  SendPiece piece{bytes.data(), bytes.size()};
  return net::SendAll(s, std::span<const SendPiece>(&piece, 1)) == 0;
}

// One input chunk: its 4-byte big-endian length, then the data.
inline std::string Chunk(const std::string& data) {
  return runstream::EncodeChunk(data);
}

inline std::string LengthOnly(uint32_t length) {
  const runstream::Word word = runstream::EncodeWord(length);
  return std::string(reinterpret_cast<const char*>(word.data()), word.size());
}

struct Frame {
  uint32_t length = 0;
  uint32_t stream = 0;
  std::string data;
};

// The next output frame; empty at the end of the connection.
inline std::optional<Frame> ReadFrame(SocketHandle s) {
  unsigned char header[runstream::kFrameHeaderSize];
  if (!ReceiveExactly(s, header, sizeof header)) return std::nullopt;
  Frame f{runstream::LoadWord(header), runstream::LoadWord(header + 4), {}};
  if (f.length == 0 || f.length > runstream::kMaxFrameData)
    return f;  // malformed: the caller's assertions see it
  f.data.resize(f.length);
  if (!ReceiveExactly(s, f.data.data(), f.length)) return std::nullopt;
  return f;
}

// Every frame until the connection ends.
inline std::vector<Frame> ReadAllFrames(SocketHandle s) {
  std::vector<Frame> frames;
  while (std::optional<Frame> f = ReadFrame(s)) {
    frames.push_back(*f);
    if (f->length == 0 || f->length > runstream::kMaxFrameData) break;
  }
  return frames;
}

// The bytes of one stream, joined.
inline std::string StreamData(const std::vector<Frame>& frames, uint32_t stream) {
  std::string out;
  for (const Frame& f : frames) {
    if (f.stream == stream) out += f.data;
  }
  return out;
}

// Waits for input on `fd`, at most a bound far beyond any healthy run, so
// that output that never comes fails a test instead of hanging it.
inline bool AwaitInput(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 20000) > 0;
}

// Blocks until process `pid` (any process, not only a child) has ended.
inline void AwaitProcessEnd(int pid) {
  UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!fd) return;  // already gone
  pollfd p{fd.get(), POLLIN, 0};
  ::poll(&p, 1, -1);
}

}  // namespace kestrun::test
