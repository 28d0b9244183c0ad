#include "protocol/xdr.h"

#include <algorithm>
#include <cstring>

namespace kestrun::xdr {

namespace {

void StoreBigEndian(char* p, uint32_t value) {
  p[0] = static_cast<char>(value >> 24);
  p[1] = static_cast<char>(value >> 16);
  p[2] = static_cast<char>(value >> 8);
  p[3] = static_cast<char>(value);
}

uint32_t LoadBigEndian(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return uint32_t{u[0]} << 24 | uint32_t{u[1]} << 16 | uint32_t{u[2]} << 8 | uint32_t{u[3]};
}

}  // namespace

bool Writer::PutInt32(int32_t value) {
  if (area_.size() - position_ < kWordSize) return false;
  StoreBigEndian(area_.data() + position_, static_cast<uint32_t>(value));
  position_ += kWordSize;
  return true;
}

bool Writer::PutString(std::string_view text, size_t maxLength) {
  const size_t size = StringSize(text.size());
  if (text.size() > maxLength || text.size() > UINT32_MAX || area_.size() - position_ < size)
    return false;
  char* p = area_.data() + position_;
  StoreBigEndian(p, static_cast<uint32_t>(text.size()));
  if (!text.empty()) std::memcpy(p + kWordSize, text.data(), text.size());
  std::memset(p + kWordSize + text.size(), 0, size - kWordSize - text.size());
  position_ += size;
  return true;
}

void Writer::SetPosition(size_t position) {
  position_ = std::min(position, area_.size());
}

std::optional<int32_t> Reader::GetInt32() {
  if (left() < kWordSize) return std::nullopt;
  const uint32_t word = LoadBigEndian(bytes_.data() + position_);
  position_ += kWordSize;
  return static_cast<int32_t>(word);
}

std::optional<std::string_view> Reader::GetString(size_t maxLength) {
  if (left() < kWordSize) return std::nullopt;
  const uint32_t length = LoadBigEndian(bytes_.data() + position_);
  // The length is checked before it is used in any sum, so a hostile length
  // cannot wrap the padding arithmetic.
  if (length > maxLength || length > left() - kWordSize) return std::nullopt;
  const size_t size = StringSize(length);
  if (size > left()) return std::nullopt;
  const std::string_view text(bytes_.data() + position_ + kWordSize, length);
  position_ += size;
  return text;
}

}  // namespace kestrun::xdr
