// Framing of a request as its bytes arrive, for a reader that takes whatever
// a connection has and must never block on it (the server's receive loop).
//
// A request on the wire: the 4-byte connection magic, then for each buffer a
// 32-byte header and the buffer's scrambled data. The first header holds the
// buffer count, the seed, and the first buffer's size and item count; every
// later header holds its own buffer's size and item count. RequestFramer
// follows that layout byte by byte: it says how much it wants next (never
// past the end of the request, so bytes the client sends after it stay in
// the socket for the request's own reader), checks each header against the
// message limits before any of its data is taken, and hands over the whole
// message (without the magic) for ReceiveMessage to decode.
//
// One framer per connection; not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "protocol/receive_budget.h"

namespace kestrun {

// What one buffer header says.
struct BufferHeader {
  int32_t count = 0;  // buffers in the message (first header only)
  uint32_t seed = 0;  // scrambling seed (first header only)
  uint32_t size = 0;  // this buffer's data bytes
  int32_t items = 0;  // this buffer's XDR items
};

// Reads the header at `bytes` (kHeaderSize bytes); `first` for the message's
// first header.
BufferHeader ParseBufferHeader(const unsigned char* bytes, bool first);

// Why a header breaks the message limits; null when it keeps them. The texts
// are those of the DecodeFailure that ReceiveMessage raises.
const char* HeaderLimitFault(const BufferHeader& header, int32_t count);

// A request whose bytes have all arrived: the message without its magic, and
// the receive budget its bytes hold until it has been decoded.
struct ReceivedMessage {
  std::string bytes;
  BudgetCharge charge;
};

class RequestFramer {
 public:
  enum class Status { NeedMore, Complete, BadMagic, OverLimit };

  // Room for the next read: at most `most` bytes, never beyond what the
  // request still lacks. Empty once the request is complete or failed.
  std::span<char> Room(size_t most);
  // Takes the `n` bytes just read into Room().
  Status Commit(size_t n);

  Status status() const { return status_; }
  // After the magic: bytes of the message taken so far.
  size_t MessageBytes() const { return committed_; }
  bool HeaderComplete() const { return headerDone_; }
  const char* fault() const { return fault_; }
  // The whole message without its magic, for ReceiveMessage (once Complete).
  std::string TakeMessage() {
    committed_ = 0;
    return std::move(message_);
  }

 private:
  void PieceDone();
  void BufferDone();

  Status status_ = Status::NeedMore;
  const char* fault_ = nullptr;
  unsigned char magic_[4] = {};
  size_t magicHave_ = 0;
  std::string message_;
  size_t committed_ = 0;     // bytes of message_ actually received
  size_t roomStart_ = 0;     // where the area last given by Room() starts
  size_t pieceEnd_ = 0;      // offset in message_ where the current piece ends
  bool inHeader_ = true;     // the current piece is a header (else data)
  bool headerDone_ = false;  // the first header is in
  int32_t count_ = 0;
  int32_t buffersDone_ = 0;
};

}  // namespace kestrun
