#include "protocol/request_framer.h"

#include <algorithm>

#include "protocol/run_stream.h"
#include "protocol/transport.h"

namespace kestrun {

BufferHeader ParseBufferHeader(const unsigned char* bytes, bool first) {
  using runstream::LoadWord;
  BufferHeader h;
  const unsigned char* sizes = bytes;
  if (first) {
    h.count = static_cast<int32_t>(LoadWord(bytes));
    h.seed = LoadWord(bytes + 4);
    sizes = bytes + 8;
  }
  h.size = LoadWord(sizes);
  h.items = static_cast<int32_t>(LoadWord(sizes + 4));
  return h;
}

const char* HeaderLimitFault(const BufferHeader& header, int32_t count) {
  if (header.items < 0 || header.items > kMaxItems) return "too many items in a buffer";
  if (count > kMaxBuffers) return "too many buffers in a message";
  if (header.size > kMaxBufferSize) return "buffer too large";
  return nullptr;
}

std::span<char> RequestFramer::Room(size_t most) {
  if (status_ != Status::NeedMore || most == 0) return {};
  if (magicHave_ < sizeof magic_) {
    const size_t n = std::min(most, sizeof magic_ - magicHave_);
    return {reinterpret_cast<char*>(magic_) + magicHave_, n};
  }
  const size_t start = message_.size();
  const size_t n = std::min(most, pieceEnd_ - start);
  // Grows only by what the client is about to send: an announced size is
  // never allocated ahead of its bytes.
  message_.resize(start + n);
  roomStart_ = start;
  return {message_.data() + start, n};
}

RequestFramer::Status RequestFramer::Commit(size_t n) {
  if (status_ != Status::NeedMore) return status_;
  if (magicHave_ < sizeof magic_) {
    magicHave_ += n;
    if (magicHave_ == sizeof magic_) {
      if (!IsConnectionMagic(runstream::LoadWord(magic_))) status_ = Status::BadMagic;
      pieceEnd_ = kHeaderSize;
    }
    return status_;
  }
  message_.resize(roomStart_ + n);
  committed_ = message_.size();
  if (committed_ == pieceEnd_) PieceDone();
  return status_;
}

void RequestFramer::PieceDone() {
  if (!inHeader_) {
    BufferDone();
    return;
  }
  const auto* bytes =
      reinterpret_cast<const unsigned char*>(message_.data()) + pieceEnd_ - kHeaderSize;
  const bool first = !headerDone_;
  const BufferHeader h = ParseBufferHeader(bytes, first);
  if (first) {
    headerDone_ = true;
    count_ = h.count;
    if (count_ <= 0) {
      status_ = Status::Complete;
      return;
    }
  }
  if ((fault_ = HeaderLimitFault(h, count_)) != nullptr) {
    status_ = Status::OverLimit;
    return;
  }
  if (h.size == 0) {
    BufferDone();
    return;
  }
  inHeader_ = false;
  pieceEnd_ += h.size;
}

void RequestFramer::BufferDone() {
  if (++buffersDone_ == count_) {
    status_ = Status::Complete;
    return;
  }
  inHeader_ = true;
  pieceEnd_ += kHeaderSize;
}

}  // namespace kestrun
