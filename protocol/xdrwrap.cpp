#include "protocol/xdrwrap.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>

namespace kestrun {

XdrBuffer::XdrBuffer(size_t capacity, xdr_op op) : data(capacity) {
  xdrmem_create(&xdr, data.data(), static_cast<u_int>(data.size()), op);
}

XdrBuffer::~XdrBuffer() {
  xdr_destroy(&xdr);
}

void XdrBuffer::Grow(size_t capacity) {
  if (capacity <= data.size()) return;
  const u_int position = xdr_getpos(&xdr);
  xdr_destroy(&xdr);
  data.resize(capacity);
  xdrmem_create(&xdr, data.data(), static_cast<u_int>(data.size()), XDR_ENCODE);
  xdr_setpos(&xdr, position);
}

namespace {

// Position of the stream after its last field; the default capacity stands in
// for a position the stream cannot report.
int32_t StreamPosition(XDR& xdr) {
  const int pos = static_cast<int>(xdr_getpos(&xdr));
  return pos < 0 ? kDefaultCapacity : pos;
}

// Bytes an XDR number takes, and an XDR string of `length` characters: its
// length word and the characters padded to a multiple of 4.
constexpr size_t kNumberSize = 4;
constexpr size_t StringSize(size_t length) {
  return 4 + (length + 3) / 4 * 4;
}

}  // namespace

void XDRWRAP::BeginEncode() {
  FreeMessage();
  buffers_.push_back(std::make_unique<XdrBuffer>(kDefaultCapacity, XDR_ENCODE));
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
  old.Size = StreamPosition(old.xdr);
  const size_t capacity = std::max(static_cast<size_t>(kDefaultCapacity), minimumSize);
  buffers_.push_back(std::make_unique<XdrBuffer>(capacity, XDR_ENCODE));
  current_ = buffers_.size() - 1;
  ++bufferCount_;
}

void XDRWRAP::FinishField(XdrBuffer& buffer) {
  ++buffer.NumItems;
  buffer.Size = StreamPosition(buffer.xdr);
}

// The current buffer, grown in place (doubling, up to kMaxBufferSize) when
// the field fits under the limits there; otherwise a new buffer. So no field
// straddles two buffers and no buffer passes what a reader accepts.
XdrBuffer& XDRWRAP::BufferWithRoomFor(size_t fieldSize) {
  XdrBuffer& buffer = Current();
  const size_t used = static_cast<size_t>(StreamPosition(buffer.xdr));
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
  if (!encode(buffer.xdr)) std::abort();  // room was made for exactly this field
  FinishField(buffer);
}

void XDRWRAP::AddLong(int32_t value) {
  long wide = value;
  AddField(kNumberSize, [&](XDR& xdr) { return xdr_long(&xdr, &wide) != 0; });
}

void XDRWRAP::AddEnum(int32_t value) {
  enum_t e = value;
  AddField(kNumberSize, [&](XDR& xdr) { return xdr_enum(&xdr, &e) != 0; });
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
  // xdr_string measures its input with strlen, so each piece is handed over
  // as a terminated copy; the caller's text stays untouched.
  char piece[kStringPieceLength + 1];
  for (size_t i = 0; i < pieces; ++i) {
    const std::string_view part = text.substr(i * kStringPieceLength, kStringPieceLength);
    if (!part.empty()) std::memcpy(piece, part.data(), part.size());
    piece[part.size()] = '\0';
    char* p = piece;
    const u_int max = static_cast<u_int>(part.size());
    AddField(StringSize(part.size()), [&](XDR& xdr) { return xdr_string(&xdr, &p, max) != 0; });
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
  XdrBuffer& buffer = BufferForNextField();
  long value = 0;
  if (!xdr_long(&buffer.xdr, &value)) Fail("cannot decode a long");
  --buffer.NumItems;
  return static_cast<int32_t>(value);
}

int32_t XDRWRAP::GetEnum() {
  XdrBuffer& buffer = BufferForNextField();
  enum_t value = 0;
  if (!xdr_enum(&buffer.xdr, &value)) Fail("cannot decode an enum");
  --buffer.NumItems;
  return value;
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
  // Room for the whole text at once, bounded by the bytes actually received
  // (a piece of k characters takes more than k bytes), so a long text is not
  // copied again at every growth and a false count reserves nothing.
  size_t received = 0;
  for (size_t i = current_; i < buffers_.size(); ++i)
    received += static_cast<size_t>(buffers_[i]->Size);
  result.reserve(std::min(static_cast<size_t>(pieces) * kStringPieceLength, received));
  char piece[kMaxPieceLength + 1];
  bool ended = false;
  for (int32_t i = 0; i < pieces; ++i) {
    XdrBuffer& buffer = BufferForNextField();
    char* p = piece;
    if (!xdr_string(&buffer.xdr, &p, kMaxPieceLength)) Fail("cannot decode a string piece");
    --buffer.NumItems;
    if (ended) continue;
    const size_t offset = static_cast<size_t>(i) * kStringPieceLength;
    if (result.size() < offset) {
      ended = true;
      continue;
    }
    result.resize(offset);
    result.append(piece, std::strlen(piece));
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
  xdr_setpos(&last.xdr, static_cast<u_int>(mark.size));
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
  buffers_.push_back(std::make_unique<XdrBuffer>(static_cast<size_t>(size), XDR_DECODE));
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
