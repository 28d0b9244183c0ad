// Helpers that build exact wire bytes and push them through a real socket.
#pragma once

#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "protocol/transport.h"

namespace kestrun::testwire {

inline std::string BE32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}
inline std::string Long(int32_t v) {
  return BE32(static_cast<uint32_t>(v));
}
// One XDR string: length, characters, zero padding to a multiple of 4.
inline std::string Str(const std::string& s) {
  std::string out = BE32(static_cast<uint32_t>(s.size())) + s;
  out.append((4 - s.size() % 4) % 4, '\0');
  return out;
}

// Wire bytes of a message with the given buffers (data, items), scrambled
// with `seed`; `magic` is prepended when non-zero.
inline std::string Message(const std::vector<std::pair<std::string, int>>& buffers,
                           uint32_t seed = 0, uint32_t magic = 0) {
  std::string out = magic ? BE32(magic) : "";
  for (size_t k = 0; k < buffers.size(); ++k) {
    std::string data = buffers[k].first;
    ScrambleBuffer(seed, data.data(), data.size());
    std::string header;
    if (k == 0) header = BE32(static_cast<uint32_t>(buffers.size())) + BE32(seed);
    header += BE32(static_cast<uint32_t>(data.size())) + BE32(buffers[k].second);
    header.append(kHeaderSize - header.size(), '\0');
    out += header + data;
  }
  return out;
}

// Two connected ends over the loopback interface, made with the transport's
// own socket calls so that the same tests run on every system.
struct SocketPair {
  SocketPair() {
    net::StartSockets();
    int port = 0;
    std::optional<Socket> listener = net::ListenTcp(&port, 1, 0x7f000001);
    if (!listener) return;
    if (std::optional<Socket> s = net::ConnectTcp(0x7f000001, port)) a = std::move(*s);
    uint32_t peer = 0;
    int error = 0;
    if (std::optional<Socket> s = net::Accept(listener->get(), &peer, &error)) b = std::move(*s);
  }
  Socket a, b;
};

// Writes `bytes` to one end from a thread and closes it; receives on the other.
inline XDRWRAP ReceiveBytes(const std::string& bytes) {
  SocketPair p;
  std::thread writer([&] {
    const SendPiece piece{bytes.data(), bytes.size()};
    net::SendAll(p.a.get(), {&piece, 1});
    p.a.ShutdownSend();
  });
  XDRWRAP m;
  try {
    ReceiveMessage(m, p.b.get(), std::chrono::milliseconds(2000));
  } catch (...) {
    writer.join();
    throw;
  }
  writer.join();
  return m;
}

inline XDRWRAP Decode(const std::vector<std::pair<std::string, int>>& buffers) {
  return ReceiveBytes(Message(buffers));
}

// Sends an encoded message as a reply over a real socket and receives it.
inline XDRWRAP Reencode(XDRWRAP& message) {
  SocketPair p;
  std::thread writer([&] {
    SendReply(message, p.a.get());
    p.a.ShutdownSend();
  });
  XDRWRAP m;
  ReceiveMessage(m, p.b.get(), std::chrono::milliseconds(2000));
  writer.join();
  return m;
}

// Everything the peer sends until it closes.
inline std::string ReadAll(SocketHandle s) {
  std::string out;
  char buf[65536];
  int error = 0;
  for (;;) {
    const long n = net::ReceiveSome(s, buf, sizeof buf, &error);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace kestrun::testwire
