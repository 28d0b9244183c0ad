#include "protocol/scramble.h"

#include <algorithm>
#include <cstring>

namespace kestrun {

namespace {
constexpr size_t kN = 624;
constexpr size_t kM = 397;
constexpr uint32_t kMatrix = 0x9908B0DFu;
constexpr uint32_t kUpper = 0x80000000u;
constexpr uint32_t kLower = 0x7FFFFFFFu;

inline uint32_t Twist(uint32_t current, uint32_t next, uint32_t far) {
  const uint32_t y = (current & kUpper) | (next & kLower);
  return far ^ (y >> 1) ^ ((y & 1u) ? kMatrix : 0u);
}

inline uint32_t Temper(uint32_t y) {
  y ^= y >> 11;
  y ^= (y << 7) & 0x9D2C5680u;
  y ^= (y << 15) & 0xEFC60000u;
  y ^= y >> 18;
  return y;
}
}  // namespace

KeyStream::KeyStream(uint32_t seed) : index_(kN) {
  state_[0] = seed;
  for (size_t i = 1; i < kN; ++i) state_[i] = 69069u * state_[i - 1];
}

void KeyStream::Regenerate() {
  // The usual three runs of the twist, without a modulo per element.
  size_t i = 0;
  for (; i < kN - kM; ++i) state_[i] = Twist(state_[i], state_[i + 1], state_[i + kM]);
  for (; i < kN - 1; ++i) state_[i] = Twist(state_[i], state_[i + 1], state_[i + kM - kN]);
  state_[kN - 1] = Twist(state_[kN - 1], state_[0], state_[kM - 1]);
  index_ = 0;
}

uint32_t KeyStream::Next() {
  if (index_ >= kN) Regenerate();
  return Temper(state_[index_++]);
}

void KeyStream::NextLowBytes(unsigned char* out, size_t count) {
  while (count > 0) {
    if (index_ >= kN) Regenerate();
    const size_t n = std::min(count, kN - index_);
    const uint32_t* from = state_.data() + index_;
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(Temper(from[i]));
    index_ += n;
    out += n;
    count -= n;
  }
}

void ScrambleMask::Apply(void* data, size_t length) {
  if (bytes_.size() < length) {
    const size_t have = bytes_.size();
    bytes_.resize(length);
    keys_.NextLowBytes(bytes_.data() + have, length - have);
  }
  auto* p = static_cast<unsigned char*>(data);
  const unsigned char* mask = bytes_.data();
  // Eight bytes at a time (the copies compile to plain loads and stores).
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t word, key;
    std::memcpy(&word, p + i, 8);
    std::memcpy(&key, mask + i, 8);
    word ^= key;
    std::memcpy(p + i, &word, 8);
  }
  for (; i < length; ++i) p[i] ^= mask[i];
}

void ScrambleBuffer(uint32_t seed, void* data, size_t length) {
  ScrambleMask(seed).Apply(data, length);
}

}  // namespace kestrun
