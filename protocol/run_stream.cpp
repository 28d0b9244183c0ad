#include "protocol/run_stream.h"

#include <algorithm>
#include <cstring>

namespace kestrun::runstream {

void StoreWord(unsigned char* p, uint32_t value) {
  p[0] = static_cast<unsigned char>(value >> 24);
  p[1] = static_cast<unsigned char>(value >> 16);
  p[2] = static_cast<unsigned char>(value >> 8);
  p[3] = static_cast<unsigned char>(value);
}

uint32_t LoadWord(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

Word EncodeWord(uint32_t value) {
  Word w;
  StoreWord(w.data(), value);
  return w;
}

std::array<unsigned char, kStartHeaderSize> EncodeStartHeader(const StartHeader& h) {
  std::array<unsigned char, kStartHeaderSize> bytes;
  const uint32_t words[] = {h.stdoutMode, h.stderrMode, h.stopId, h.systemTray, h.trayHold};
  for (size_t i = 0; i < 5; ++i) StoreWord(bytes.data() + 4 * i, words[i]);
  return bytes;
}

StartHeader DecodeStartHeader(const unsigned char* b) {
  return {LoadWord(b), LoadWord(b + 4), LoadWord(b + 8), LoadWord(b + 12), LoadWord(b + 16)};
}

std::array<unsigned char, kStartHeaderSize + kWordSize> RefusalBytes() {
  return {};
}

size_t FramesFor(size_t size) {
  return (size + kMaxFrameData - 1) / kMaxFrameData;
}

size_t FramePieces(uint32_t stream, const char* data, size_t size, std::span<FrameHeader> headers,
                   std::span<SendPiece> pieces) {
  size_t frames = 0;
  for (size_t offset = 0; offset < size; offset += kMaxFrameData, ++frames) {
    const size_t length = std::min(kMaxFrameData, size - offset);
    StoreWord(headers[frames].data(), static_cast<uint32_t>(length));
    StoreWord(headers[frames].data() + 4, stream);
    pieces[2 * frames] = {headers[frames].data(), kFrameHeaderSize};
    pieces[2 * frames + 1] = {data + offset, length};
  }
  return 2 * frames;
}

std::string EncodeFrames(uint32_t stream, std::string_view data) {
  std::vector<FrameHeader> headers(FramesFor(data.size()));
  std::vector<SendPiece> pieces(2 * headers.size());
  const size_t count = FramePieces(stream, data.data(), data.size(), headers, pieces);
  std::string out;
  for (size_t i = 0; i < count; ++i)
    out.append(static_cast<const char*>(pieces[i].data), pieces[i].size);
  return out;
}

std::string EncodeChunk(std::string_view data) {
  const Word length = EncodeWord(static_cast<uint32_t>(data.size()));
  std::string out(length.begin(), length.end());
  out.append(data);
  return out;
}

std::span<char> ByteQueue::Area(size_t atLeast) {
  if (bytes_.size() - end_ < atLeast) {
    // Move what is left to the front; grow only when that is not enough.
    std::memmove(bytes_.data(), bytes_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    if (bytes_.size() - end_ < atLeast) bytes_.resize(end_ + atLeast);
  }
  return {bytes_.data() + end_, bytes_.size() - end_};
}

void ByteQueue::Append(const void* data, size_t size) {
  std::memcpy(Area(size).data(), data, size);
  Commit(size);
}

std::string_view ByteQueue::Take(size_t count) {
  const std::string_view out(bytes_.data() + begin_, count);
  begin_ += count;
  if (begin_ == end_) begin_ = end_ = 0;  // empty: the next receive starts at the front
  return out;
}

OutputEvent OutputDecoder::Next() {
  OutputEvent event;
  switch (state_) {
    case State::Header:
      if (queue_.size() < kStartHeaderSize) return event;
      event.kind = OutputEvent::Kind::Start;
      event.start = DecodeStartHeader(queue_.data());
      queue_.Take(kStartHeaderSize);
      state_ = State::FrameStart;
      return event;
    case State::FrameStart: {
      if (queue_.size() < kWordSize) return event;
      const uint32_t length = LoadWord(queue_.data());
      if (length == 0) {
        queue_.Take(kWordSize);
        state_ = State::Ended;
        return Next();
      }
      if (queue_.size() < kFrameHeaderSize) return event;
      const uint32_t stream = LoadWord(queue_.data() + 4);
      if (length > kMaxFrameData || stream > kStderrStream) {
        state_ = State::Broken;
        return Next();
      }
      queue_.Take(kFrameHeaderSize);
      stream_ = stream;
      frameLeft_ = length;
      state_ = State::FrameData;
      [[fallthrough]];
    }
    case State::FrameData: {
      const size_t n = std::min(frameLeft_, queue_.size());
      if (n == 0) return event;
      event.kind = OutputEvent::Kind::Data;
      event.stream = stream_;
      event.data = queue_.Take(n);
      frameLeft_ -= n;
      if (frameLeft_ == 0) state_ = State::FrameStart;
      return event;
    }
    case State::Ended:
      event.kind = OutputEvent::Kind::End;
      return event;
    case State::Broken:
      event.kind = OutputEvent::Kind::Malformed;
      return event;
  }
  return event;
}

InputEvent InputDecoder::Next() {
  InputEvent event;
  if (ended_) {
    event.kind = InputEvent::Kind::End;
    return event;
  }
  if (chunkLeft_ == 0) {
    if (queue_.size() < kWordSize) return event;
    chunkLeft_ = LoadWord(queue_.data());
    queue_.Take(kWordSize);
    if (chunkLeft_ == 0) {
      ended_ = true;
      event.kind = InputEvent::Kind::End;
      return event;
    }
  }
  const size_t n = std::min(chunkLeft_, queue_.size());
  if (n == 0) return event;
  event.kind = InputEvent::Kind::Data;
  event.data = queue_.Take(n);
  chunkLeft_ -= n;
  return event;
}

}  // namespace kestrun::runstream
