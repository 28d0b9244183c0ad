#include "protocol/transport.h"

#include "platform/error_text.h"
#include "protocol/request_framer.h"
#include "protocol/run_stream.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kestrun {

namespace {

// Message headers use the same big-endian words as the run stream.
using runstream::LoadWord;
using runstream::StoreWord;

// Sends every buffer with its header (and the magic before the first), each
// buffer in one send call. Returns after the last buffer; calls `onError` for
// each failed send.
template <typename OnError>
void SendMessage(XDRWRAP& message, SocketHandle socket, const uint32_t* magic, OnError onError) {
  auto& buffers = message.Buffers();
  if (buffers.empty()) return;
  const uint32_t seed = MessageSeed();
  ScrambleMask mask(seed);
  for (size_t k = 0; k < buffers.size(); ++k) {
    XdrBuffer& b = *buffers[k];
    std::array<unsigned char, 4 + kHeaderSize> head{};
    unsigned char* h = head.data() + 4;
    if (k == 0) {
      StoreWord(h, static_cast<uint32_t>(message.BufferCount()));
      StoreWord(h + 4, seed);
      StoreWord(h + 8, static_cast<uint32_t>(b.Size));
      StoreWord(h + 12, static_cast<uint32_t>(b.NumItems));
    } else {
      StoreWord(h, static_cast<uint32_t>(b.Size));
      StoreWord(h + 4, static_cast<uint32_t>(b.NumItems));
    }
    const bool withMagic = magic && k == 0;
    if (withMagic) StoreWord(head.data(), *magic);
    mask.Apply(b.data.data(), static_cast<size_t>(b.Size));
    const SendPiece pieces[] = {
        {withMagic ? head.data() : h, withMagic ? head.size() : kHeaderSize},
        {b.data.data(), static_cast<size_t>(b.Size)},
    };
    if (const int error = net::SendAll(socket, pieces)) onError(error);
  }
}

}  // namespace

uint32_t MessageSeed() {
  return static_cast<uint32_t>(std::time(nullptr));
}

void SendRequest(XDRWRAP& message, ServerConnection& connection, uint32_t magic) {
  SendMessage(message, connection.socket.get(), &magic, [](int error) {
    std::fprintf(stderr, "Failed to send: %s\n", SystemErrorText(error).c_str());
  });
}

void SendReply(XDRWRAP& message, SocketHandle socket) {
  SendMessage(message, socket, nullptr, [](int) {});
}

namespace {

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// ReadExactly, and with a deadline also done by then.
void ReadExactlyBy(SocketHandle socket, void* area, size_t count, std::chrono::milliseconds wait,
                   const Deadline& deadline) {
  auto* p = static_cast<char*>(area);
  while (count > 0) {
    std::chrono::milliseconds step = wait;
    if (deadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          *deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) throw DecodeFailure("message not complete in time", net::kTimedOut);
      step = std::min(step, left);
    }
    // A failed wait is not final: the read below tells.
    if (net::WaitReadable(socket, step) == WaitResult::Timeout) {
      throw DecodeFailure(
          step < wait ? "message not complete in time" : "timed out waiting for message bytes",
          net::kTimedOut);
    }
    int error = 0;
    const long n = net::ReceiveSome(socket, p, count, &error);
    if (n < 0) throw DecodeFailure("read failed: " + SystemErrorText(error), error);
    if (n == 0) throw DecodeFailure("connection closed in the middle of a message");
    p += n;
    count -= static_cast<size_t>(n);
  }
}

// Reads a message's bytes: first those already received, then the socket's,
// the time for the whole message running from its first byte.
class MessageReader {
 public:
  MessageReader(SocketHandle socket, std::string_view received, std::chrono::milliseconds wait,
                std::chrono::milliseconds whole)
      : socket_(socket), received_(received), wait_(wait), whole_(whole) {}
  void Read(void* area, size_t count) {
    const size_t n = std::min(count, received_.size());
    if (n > 0) {
      std::memcpy(area, received_.data(), n);
      StartClock();
    }
    received_.remove_prefix(n);
    if (count == n) return;
    char* rest = static_cast<char*>(area) + n;
    size_t left = count - n;
    if (!started_) {
      ReadExactlyBy(socket_, rest, 1, wait_, std::nullopt);
      StartClock();
      ++rest;
      --left;
    }
    if (left > 0) ReadExactlyBy(socket_, rest, left, wait_, deadline_);
  }

 private:
  void StartClock() {
    if (started_) return;
    started_ = true;
    if (whole_.count() > 0) deadline_ = std::chrono::steady_clock::now() + whole_;
  }
  SocketHandle socket_;
  std::string_view received_;
  std::chrono::milliseconds wait_;
  std::chrono::milliseconds whole_;
  bool started_ = false;
  Deadline deadline_;
};

}  // namespace

void ReadExactly(SocketHandle socket, void* area, size_t count, std::chrono::milliseconds wait) {
  ReadExactlyBy(socket, area, count, wait, std::nullopt);
}

void ReceiveMessage(XDRWRAP& message, SocketHandle socket, std::chrono::milliseconds wait,
                    const ReceiveLimits& limits) {
  ReceiveMessage(message, socket, std::string_view{}, wait, limits);
}

void ReceiveMessage(XDRWRAP& message, SocketHandle socket, std::string_view received,
                    std::chrono::milliseconds wait, const ReceiveLimits& limits) {
  MessageReader in(socket, received, wait, limits.whole);
  message.FreeMessage();
  unsigned char header[kHeaderSize];
  in.Read(header, sizeof header);
  BudgetCharge budget(limits.budget);
  const BufferHeader first = ParseBufferHeader(header, true);
  const int32_t count = first.count;
  message.BeginDecode(count);
  ScrambleMask mask(first.seed);
  if (count <= 0) {
    message.AppendReceivedBuffer(0, 0);
    message.FinishReceive();
    return;
  }
  for (int32_t k = 1; k <= count; ++k) {
    const BufferHeader h = ParseBufferHeader(header, k == 1);
    if (const char* fault = HeaderLimitFault(h, count)) throw DecodeFailure(fault);
    if (!budget.Take(h.size)) throw DecodeFailure("messages being received hold too much memory");
    XdrBuffer& b = message.AppendReceivedBuffer(static_cast<int32_t>(h.size), h.items);
    in.Read(b.data.data(), h.size);
    mask.Apply(b.data.data(), h.size);
    if (k < count) in.Read(header, sizeof header);
  }
  message.FinishReceive();
}

std::optional<Socket> CreateListenSocket(int* port) {
  return net::ListenTcp(port, kListenBacklog);
}

std::optional<ServerConnection> ConnectToServer(int port, const std::string& host, int* error) {
  int ignored = 0;
  if (!error) error = &ignored;
  *error = 0;
  const std::optional<uint32_t> address = net::ResolveIPv4(host);
  if (!address) return std::nullopt;
  std::optional<Socket> s = net::ConnectTcp(*address, port, error);
  if (!s) return std::nullopt;
  return ServerConnection{*address, port, std::move(*s)};
}

void CloseConnection(ServerConnection& connection) {
  connection.socket.Close();
}

bool ReadConnectionMagic(SocketHandle socket, std::chrono::milliseconds wait) {
  unsigned char bytes[4];
  try {
    ReadExactlyBy(socket, bytes, sizeof bytes, wait, std::chrono::steady_clock::now() + wait);
  } catch (const DecodeFailure&) {
    return false;
  }
  const uint32_t magic = LoadWord(bytes);
  return IsConnectionMagic(magic);
}

}  // namespace kestrun
