#include "protocol/xdrwrap.h"

#include <algorithm>
#include <cstring>

namespace kestrun {

XdrBuffer::XdrBuffer(size_t capacity, xdr_op op) : data(capacity) {
  xdrmem_create(&xdr, data.data(), static_cast<u_int>(data.size()), op);
}

XdrBuffer::~XdrBuffer() {
  xdr_destroy(&xdr);
}

namespace {

// Position of the stream after its last field; the default capacity stands in
// for a position the stream cannot report.
int32_t StreamPosition(XDR& xdr) {
  const int pos = static_cast<int>(xdr_getpos(&xdr));
  return pos < 0 ? kDefaultCapacity : pos;
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

// Encodes one field, moving to a new buffer when it does not fit so that no
// field ever straddles two buffers. xdr_string writes the length word before
// it finds that the characters do not fit, so a failed attempt is rolled back
// to the end of the last whole field before the buffer is closed.
template <typename Encode>
void XDRWRAP::AddField(size_t minimumSize, Encode encode) {
  if (!encoding_) BeginEncode();
  for (;;) {
    XDR& xdr = Current().xdr;
    const u_int before = xdr_getpos(&xdr);
    if (encode(xdr)) break;
    xdr_setpos(&xdr, before);
    GrowChain(minimumSize);
  }
  FinishField(Current());
}

void XDRWRAP::AddLong(int32_t value) {
  long wide = value;
  AddField(0, [&](XDR& xdr) { return xdr_long(&xdr, &wide) != 0; });
}

void XDRWRAP::AddEnum(int32_t value) {
  enum_t e = value;
  AddField(0, [&](XDR& xdr) { return xdr_enum(&xdr, &e) != 0; });
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
    AddField(part.size() + 10, [&](XDR& xdr) { return xdr_string(&xdr, &p, max) != 0; });
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
