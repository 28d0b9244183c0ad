// XDRWRAP: one protocol message, an ordered sequence of typed fields (long,
// enum, char, string) XDR-encoded into a chain of buffers.
//
// The sender appends fields with the Add operations; the receiver takes them
// off with the Get operations in exactly the same order and kinds. There are
// no tags: the order of calls on both sides is the layout.
//
// A message is built (encode direction, after BeginEncode) or read (decode
// direction, filled by ReceiveMessage), never both. It belongs to one thread at
// a time and takes no locks.
//
// Packing. Every reader refuses a message of more than kMaxBuffers buffers,
// a buffer of more than kMaxBufferSize bytes or one announcing more than
// kMaxItems fields. The writer therefore fills each buffer as far as those
// limits allow: the first buffer starts at kDefaultCapacity bytes (a small
// message is one small allocation) and grows in place, doubling, while the
// next field still fits under kMaxBufferSize and kMaxItems; only then does a
// new buffer begin. Readers take fields across buffer boundaries by the
// buffers' field counts alone, so where the boundaries fall never changes
// what a reader decodes. A message that grows past kMaxBuffers all the same
// is not sendable (WithinLimits); builders of replies that grow with data
// append their entries with AddIfFits and refuse what does not fit.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrun {

// Raised when a message cannot be decoded: the chain is empty, the fields are
// exhausted, a field is malformed, or the wire broke the transport's limits.
// The owner of the exchange catches it and abandons the request. A failure
// of the connection keeps the system's error code (ETIMEDOUT for a read that
// waited too long); it is 0 for a malformed message or an orderly close.
class DecodeFailure : public std::runtime_error {
 public:
  explicit DecodeFailure(const std::string& what, int error = 0)
      : std::runtime_error(what), error_(error) {}
  int error() const { return error_; }

 private:
  int error_;
};

inline constexpr int32_t kDefaultCapacity = 1000;
// The limits every reader enforces on a received message.
inline constexpr int32_t kMaxBuffers = 500;
inline constexpr int32_t kMaxItems = 10000;  // fields announced by one buffer
inline constexpr uint32_t kMaxBufferSize = 0x20000;
inline constexpr size_t kStringPieceLength = 10000;  // characters per string piece
inline constexpr uint32_t kMaxPieceLength = 12000;   // longest piece a reader accepts

// Fields still to follow once a bounded part of a message is built: the
// closing fields of a list, which must find room after its last entry.
struct MessageTail {
  size_t bytes = 0;
  int32_t items = 0;
};
// A list's closing empty string: a piece count and an empty piece.
inline constexpr MessageTail kEmptyStringTail{8, 2};
// A list's closing long, enum or char.
inline constexpr MessageTail kNumberTail{4, 1};

// One link of the chain: its bytes and the cursor of the field being written
// or read (the buffer itself is heap-held by the message).
struct XdrBuffer {
  explicit XdrBuffer(size_t capacity) : data(capacity) {}
  XdrBuffer(const XdrBuffer&) = delete;
  XdrBuffer& operator=(const XdrBuffer&) = delete;

  // Encode direction: enlarges the area to `capacity` bytes (never shrinks
  // it); what was written stays, the cursor with it.
  void Grow(size_t capacity);

  std::vector<char> data;
  size_t position = 0;   // encode: bytes written; decode: offset of the next field
  int32_t Size = 0;      // encode: bytes used; decode: bytes received
  int32_t NumItems = 0;  // encode: fields written; decode: fields not yet taken
};

class XDRWRAP {
 public:
  XDRWRAP() = default;  // InitMessage: no buffers, buffer count 1
  XDRWRAP(const XDRWRAP&) = delete;
  XDRWRAP& operator=(const XDRWRAP&) = delete;
  XDRWRAP(XDRWRAP&&) noexcept = default;
  XDRWRAP& operator=(XDRWRAP&&) noexcept = default;

  // Allocates the first buffer and switches to the encode direction.
  void BeginEncode();

  void AddLong(int32_t value);
  void AddEnum(int32_t value);
  void AddChar(uint8_t value);  // travels as a long holding 0..255
  // A null text is sent as the empty string; the text is cut at its first NUL,
  // as a C string would be.
  void AddString(std::string_view text);
  void AddString(const char* text);

  // The Get operations raise DecodeFailure; the message is then released.
  int32_t GetLong();
  int32_t GetEnum();
  bool GetBool();
  std::string GetString();

  // Releases every buffer; harmless on an empty message.
  void FreeMessage();

  // --- bounded building (encode direction) ---
  // The end of the message as built so far.
  struct Mark {
    size_t buffers = 0;  // buffers in the chain
    int32_t size = 0;    // bytes used in the last one
    int32_t items = 0;   // fields in the last one
  };
  Mark End() const;
  // Drops every field added after `mark` (taken from this message since its
  // last BeginEncode; the mark of a message not yet begun leaves it empty).
  void TruncateTo(const Mark& mark);
  // True when every reader accepts the message as built and `tail` could
  // still follow.
  bool WithinLimits(MessageTail tail = {}) const;
  // Appends what `add(*this)` writes when the message then stays within the
  // limits with room for `tail`; otherwise leaves the message as it was and
  // returns false.
  template <typename Add>
  bool AddIfFits(Add&& add, MessageTail tail = {}) {
    if (!encoding_) BeginEncode();
    const Mark mark = End();
    add(*this);
    if (WithinLimits(tail)) return true;
    TruncateTo(mark);
    return false;
  }

  // --- used by the transport ---
  int32_t BufferCount() const { return bufferCount_; }
  std::vector<std::unique_ptr<XdrBuffer>>& Buffers() { return buffers_; }
  const std::vector<std::unique_ptr<XdrBuffer>>& Buffers() const { return buffers_; }
  // Starts a decoded message: no buffer yet, announced buffer count.
  void BeginDecode(int32_t announcedCount);
  // Appends a received buffer of `size` bytes with `numItems` fields; the
  // caller fills Data() of the returned buffer before taking fields.
  XdrBuffer& AppendReceivedBuffer(int32_t size, int32_t numItems);
  // Opens the decode streams and makes the head current.
  void FinishReceive();
  // Fields not yet taken from the current buffer and the ones after it.
  int64_t FieldsLeft() const;

 private:
  XdrBuffer& Current();
  void GrowChain(size_t minimumSize);
  void FinishField(XdrBuffer& buffer);
  XdrBuffer& BufferWithRoomFor(size_t fieldSize);
  template <typename Encode>
  void AddField(size_t fieldSize, Encode encode);
  XdrBuffer& BufferForNextField();
  [[noreturn]] void Fail(const char* what);

  std::vector<std::unique_ptr<XdrBuffer>> buffers_;
  size_t current_ = 0;
  int32_t bufferCount_ = 1;
  bool encoding_ = false;
};

// The entries of a list in a message, each appended only while the message
// stays within the limits with room for the list's closing `tail`. From the
// first entry that does not fit on, every entry offered is counted as left
// out, so the list keeps its order and only loses its end.
class BoundedList {
 public:
  BoundedList(XDRWRAP& message, MessageTail tail) : message_(message), tail_(tail) {}
  template <typename Entry>
  void Add(Entry&& add) {
    if (left_ == 0 && message_.AddIfFits(std::forward<Entry>(add), tail_)) return;
    ++left_;
  }
  size_t left() const { return left_; }

 private:
  XDRWRAP& message_;
  MessageTail tail_;
  size_t left_ = 0;
};

}  // namespace kestrun
