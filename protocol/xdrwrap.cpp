#include "protocol/xdrwrap.h"

#include "protocol/xdr.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <optional>
#include <span>

namespace kestrun {

void XdrBuffer::Grow(size_t capacity) {
  if (capacity > data.size()) data.resize(capacity);
}

namespace {

constexpr size_t kNumberSize = xdr::kWordSize;
using xdr::StringSize;

// A reader of the received bytes of `buffer`, at its next field.
xdr::Reader ReaderAt(const XdrBuffer& buffer) {
  return xdr::Reader(std::span<const char>(buffer.data.data(), static_cast<size_t>(buffer.Size)),
                     buffer.position);
}

// Takes the next field of `buffer` as a number; nothing when it is not there.
std::optional<int32_t> TakeNumber(XdrBuffer& buffer) {
  xdr::Reader reader = ReaderAt(buffer);
  const std::optional<int32_t> value = reader.GetInt32();
  if (value) {
    buffer.position = reader.position();
    --buffer.NumItems;
  }
  return value;
}

// Takes the next field of `buffer` as a string piece (a view into the
// buffer); nothing when it is malformed or longer than a reader accepts.
std::optional<std::string_view> TakePiece(XdrBuffer& buffer) {
  xdr::Reader reader = ReaderAt(buffer);
  const std::optional<std::string_view> piece = reader.GetString(kMaxPieceLength);
  if (piece) {
    buffer.position = reader.position();
    --buffer.NumItems;
  }
  return piece;
}

}  // namespace

void XDRWRAP::BeginEncode() {
  FreeMessage();
  buffers_.push_back(std::make_unique<XdrBuffer>(kDefaultCapacity));
  current_ = 0;
  bufferCount_ = 1;
  encoding_ = true;
}

XdrBuffer& XDRWRAP::Current() {
  return *buffers_[current_];
}

void XDRWRAP::GrowChain(size_t minimumSize) {
  assert(minimumSize <= kMaxBufferSize);
  XdrBuffer& old = Current();
  old.Size = static_cast<int32_t>(old.position);
  const size_t capacity = std::max(static_cast<size_t>(kDefaultCapacity), minimumSize);
  buffers_.push_back(std::make_unique<XdrBuffer>(capacity));
  current_ = buffers_.size() - 1;
  ++bufferCount_;
}

void XDRWRAP::FinishField(XdrBuffer& buffer) {
  ++buffer.NumItems;
  buffer.Size = static_cast<int32_t>(buffer.position);
}

// The current buffer, grown in place (doubling, up to kMaxBufferSize) when
// the field fits under the limits there; otherwise a new buffer. So no field
// straddles two buffers and no buffer passes what a reader accepts.
XdrBuffer& XDRWRAP::BufferWithRoomFor(size_t fieldSize) {
  XdrBuffer& buffer = Current();
  const size_t used = buffer.position;
  if (buffer.NumItems < kMaxItems && used + fieldSize <= kMaxBufferSize) {
    if (used + fieldSize > buffer.data.size()) {
      const size_t doubled = std::min(buffer.data.size() * 2, static_cast<size_t>(kMaxBufferSize));
      buffer.Grow(std::max(used + fieldSize, doubled));
    }
    return buffer;
  }
  GrowChain(fieldSize);
  return Current();
}

// Encodes one field of exactly `fieldSize` bytes into a buffer that has room
// for it, so the encoder cannot run out of space.
template <typename Encode>
void XDRWRAP::AddField(size_t fieldSize, Encode encode) {
  if (!encoding_) BeginEncode();
  XdrBuffer& buffer = BufferWithRoomFor(fieldSize);
  xdr::Writer writer(buffer.data, buffer.position);
  if (!encode(writer)) std::abort();  // room was made for exactly this field
  assert(writer.position() == buffer.position + fieldSize);
  buffer.position = writer.position();
  FinishField(buffer);
}

void XDRWRAP::AddLong(int32_t value) {
  AddField(kNumberSize, [&](xdr::Writer& w) { return w.PutInt32(value); });
}

// An enum travels exactly as a long does.
void XDRWRAP::AddEnum(int32_t value) {
  AddLong(value);
}

void XDRWRAP::AddChar(uint8_t value) {
  AddLong(value);
}

void XDRWRAP::AddString(const char* text) {
  AddString(text ? std::string_view(text) : std::string_view());
}

void XDRWRAP::AddString(std::string_view text) {
  text = text.substr(0, std::min(text.size(), text.find('\0')));
  const size_t pieces = text.size() / kStringPieceLength + 1;
  AddLong(static_cast<int32_t>(pieces));
  for (size_t i = 0; i < pieces; ++i) {
    const std::string_view part = text.substr(i * kStringPieceLength, kStringPieceLength);
    AddField(StringSize(part.size()),
             [&](xdr::Writer& w) { return w.PutString(part, kStringPieceLength); });
  }
}

void XDRWRAP::Fail(const char* what) {
  FreeMessage();
  throw DecodeFailure(what);
}

XdrBuffer& XDRWRAP::BufferForNextField() {
  if (buffers_.empty() || encoding_) Fail("no buffer to decode from");
  if (Current().NumItems == 0 && current_ + 1 < buffers_.size()) ++current_;
  return Current();
}

int32_t XDRWRAP::GetLong() {
  const std::optional<int32_t> value = TakeNumber(BufferForNextField());
  if (!value) Fail("cannot decode a long");
  return *value;
}

int32_t XDRWRAP::GetEnum() {
  const std::optional<int32_t> value = TakeNumber(BufferForNextField());
  if (!value) Fail("cannot decode an enum");
  return *value;
}

bool XDRWRAP::GetBool() {
  return GetLong() != 0;
}

// Each piece lands at offset i * 10000 of the result and is terminated there,
// so full pieces join and a short piece ends the text; pieces after a short
// one are still taken off the wire but cannot change the result. The result
// grows only with bytes actually received, and a piece count larger than the
// fields left is refused before anything is reserved.
std::string XDRWRAP::GetString() {
  BufferForNextField();
  const int32_t pieces = GetLong();
  std::string result;
  if (pieces < 1) return result;
  if (pieces > FieldsLeft()) Fail("string piece count exceeds the fields left");
  // A text of several pieces gets room for all of them at once, bounded by
  // the bytes not yet read (a piece of k characters takes more than k bytes),
  // so a long text is not copied again at every growth and a false count
  // reserves nothing. A one-piece text is sized by its piece alone: a reply
  // holds thousands of short texts, and each must not take a piece's room.
  if (pieces > 1) {
    size_t unread = 0;
    for (size_t i = current_; i < buffers_.size(); ++i)
      unread += static_cast<size_t>(buffers_[i]->Size) - buffers_[i]->position;
    result.reserve(std::min(static_cast<size_t>(pieces) * kStringPieceLength, unread));
  }
  bool ended = false;
  for (int32_t i = 0; i < pieces; ++i) {
    const std::optional<std::string_view> piece = TakePiece(BufferForNextField());
    if (!piece) Fail("cannot decode a string piece");
    if (ended) continue;
    const size_t offset = static_cast<size_t>(i) * kStringPieceLength;
    if (result.size() < offset) {
      ended = true;
      continue;
    }
    // A piece ends at its first NUL, as the C string it was sent from did.
    result.resize(offset);
    result.append(piece->substr(0, piece->find('\0')));
  }
  return result;
}

void XDRWRAP::FreeMessage() {
  buffers_.clear();
  current_ = 0;
  bufferCount_ = 1;
  encoding_ = false;
}

XDRWRAP::Mark XDRWRAP::End() const {
  if (buffers_.empty()) return {};
  const XdrBuffer& last = *buffers_.back();
  return {buffers_.size(), last.Size, last.NumItems};
}

void XDRWRAP::TruncateTo(const Mark& mark) {
  if (mark.buffers == 0) return BeginEncode();  // marked before anything was built
  assert(encoding_ && mark.buffers <= buffers_.size());
  buffers_.resize(mark.buffers);
  current_ = buffers_.size() - 1;
  bufferCount_ = static_cast<int32_t>(buffers_.size());
  XdrBuffer& last = Current();
  last.position = static_cast<size_t>(mark.size);
  last.Size = mark.size;
  last.NumItems = mark.items;
}

bool XDRWRAP::WithinLimits(MessageTail tail) const {
  if (bufferCount_ > kMaxBuffers) return false;
  if (buffers_.empty() || bufferCount_ < kMaxBuffers) return true;  // the tail may open a buffer
  const XdrBuffer& last = *buffers_.back();
  return static_cast<size_t>(last.Size) + tail.bytes <= kMaxBufferSize &&
         last.NumItems + tail.items <= kMaxItems;
}

void XDRWRAP::BeginDecode(int32_t announcedCount) {
  FreeMessage();
  bufferCount_ = announcedCount;
}

XdrBuffer& XDRWRAP::AppendReceivedBuffer(int32_t size, int32_t numItems) {
  buffers_.push_back(std::make_unique<XdrBuffer>(static_cast<size_t>(size)));
  XdrBuffer& buffer = *buffers_.back();
  buffer.Size = size;
  buffer.NumItems = numItems;
  return buffer;
}

void XDRWRAP::FinishReceive() {
  current_ = 0;
}

int64_t XDRWRAP::FieldsLeft() const {
  int64_t left = 0;
  for (size_t i = current_; i < buffers_.size(); ++i) left += buffers_[i]->NumItems;
  return left;
}

}  // namespace kestrun
