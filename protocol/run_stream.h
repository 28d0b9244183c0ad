// The run stream: the raw bytes a job run puts on its connection between the
// RUN_SERVER_SCRIPT request and its reply message. All words are unsigned
// 32-bit big-endian.
//
//   server to client: a 20-byte start header (stdout mode, stderr mode, stop
//     id, tray flag, tray-hold flag), then output frames (length 1..1016,
//     stream 0 = standard output / 1 = standard error, the bytes), then the
//     end word 0. A run that is not started sends 24 zero bytes (a zero
//     header and the end word).
//   client to server: input chunks (length, bytes); the length 0 ends the
//     input. A tray client first sends one word saying it is ready.
//
// Encoders give bytes or send pieces; the decoders take received bytes as
// they come and hand out what they make of them. Plain values: no locks, one
// owner at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/socket.h"

namespace kestrun::runstream {

inline constexpr size_t kWordSize = 4;
inline constexpr size_t kStartHeaderSize = 20;
inline constexpr size_t kFrameHeaderSize = 8;
inline constexpr size_t kMaxFrameData = 1016;
inline constexpr uint32_t kStdoutStream = 0;
inline constexpr uint32_t kStderrStream = 1;
// A sender's chunk size; a receiver accepts chunks of any length.
inline constexpr size_t kInputChunk = 64 * 1024;

using Word = std::array<unsigned char, kWordSize>;
using FrameHeader = std::array<unsigned char, kFrameHeaderSize>;

struct StartHeader {
  uint32_t stdoutMode = 0;
  uint32_t stderrMode = 0;
  uint32_t stopId = 0;
  uint32_t systemTray = 0;
  uint32_t trayHold = 0;
  bool operator==(const StartHeader&) const = default;
};

void StoreWord(unsigned char* p, uint32_t value);
uint32_t LoadWord(const unsigned char* p);
Word EncodeWord(uint32_t value);  // the end word, a chunk length, the tray word

std::array<unsigned char, kStartHeaderSize> EncodeStartHeader(const StartHeader& header);
StartHeader DecodeStartHeader(const unsigned char* bytes);
// A zero start header followed by the end word.
std::array<unsigned char, kStartHeaderSize + kWordSize> RefusalBytes();

// Pieces for sending `size` bytes of one stream as consecutive frames of at
// most kMaxFrameData bytes: header k goes into headers[k], and pieces gets
// (header, data) pairs pointing into `headers` and `data`. Both spans must
// hold FramesFor(size) frames. Returns the number of pieces filled.
size_t FramesFor(size_t size);
size_t FramePieces(uint32_t stream, const char* data, size_t size, std::span<FrameHeader> headers,
                   std::span<SendPiece> pieces);
// The same frames as one byte string.
std::string EncodeFrames(uint32_t stream, std::string_view data);
// One input chunk (length and bytes) as a byte string; empty data gives the
// end of input.
std::string EncodeChunk(std::string_view data);

// Received bytes not yet taken. Area/Commit let a reader receive straight
// into it; Take consumes from the front. A view handed out stays valid until
// the next call to Area or Append.
class ByteQueue {
 public:
  explicit ByteQueue(size_t capacity = 256 * 1024) : bytes_(capacity) {}
  // Room for at least `atLeast` more bytes (moves what is left to the front,
  // or grows, only when needed).
  std::span<char> Area(size_t atLeast = 1);
  void Commit(size_t count) { end_ += count; }
  void Append(const void* data, size_t size);
  size_t size() const { return end_ - begin_; }
  const unsigned char* data() const {
    return reinterpret_cast<const unsigned char*>(bytes_.data() + begin_);
  }
  std::string_view Take(size_t count);

 private:
  std::vector<char> bytes_;
  size_t begin_ = 0;
  size_t end_ = 0;
};

// What the client reads of a run, in arrival order. Frame data is handed out
// as soon as it is received, so one frame may come in several Data pieces.
struct OutputEvent {
  enum class Kind {
    NeedMore,   // everything received so far has been handed out
    Start,      // `start` holds the start header
    Data,       // `data` (a view into the queue) belongs to `stream`
    End,        // the end word; the queue's remaining bytes open the reply
    Malformed,  // a frame length beyond 1..1016 or an unknown stream code
  };
  Kind kind = Kind::NeedMore;
  StartHeader start;
  uint32_t stream = 0;
  std::string_view data;
};

class OutputDecoder {
 public:
  // `capacity`: the queue's room to begin with (it grows only for a
  // receive larger than what is free).
  explicit OutputDecoder(size_t capacity = 256 * 1024) : queue_(capacity) {}
  ByteQueue& queue() { return queue_; }
  // The next thing the received bytes hold. After End or Malformed it keeps
  // returning that.
  OutputEvent Next();

 private:
  enum class State { Header, FrameStart, FrameData, Ended, Broken };
  ByteQueue queue_;
  State state_ = State::Header;
  uint32_t stream_ = 0;
  size_t frameLeft_ = 0;
};

// What the server reads of a run's input. Chunk data is handed out as it is
// received.
struct InputEvent {
  enum class Kind { NeedMore, Data, End };
  Kind kind = Kind::NeedMore;
  std::string_view data;
};

class InputDecoder {
 public:
  ByteQueue& queue() { return queue_; }
  InputEvent Next();

 private:
  ByteQueue queue_{64 * 1024};
  bool ended_ = false;
  size_t chunkLeft_ = 0;
};

}  // namespace kestrun::runstream
