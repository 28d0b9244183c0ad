#include "protocol/scramble.h"

namespace kestrun {

namespace {
constexpr size_t kN = 624;
constexpr size_t kM = 397;
constexpr uint32_t kMatrix = 0x9908B0DFu;
constexpr uint32_t kUpper = 0x80000000u;
constexpr uint32_t kLower = 0x7FFFFFFFu;
}  // namespace

KeyStream::KeyStream(uint32_t seed) : index_(kN) {
  state_[0] = seed;
  for (size_t i = 1; i < kN; ++i) state_[i] = 69069u * state_[i - 1];
}

void KeyStream::Regenerate() {
  for (size_t i = 0; i < kN; ++i) {
    const uint32_t y = (state_[i] & kUpper) | (state_[(i + 1) % kN] & kLower);
    state_[i] = state_[(i + kM) % kN] ^ (y >> 1) ^ ((y & 1u) ? kMatrix : 0u);
  }
  index_ = 0;
}

uint32_t KeyStream::Next() {
  if (index_ >= kN) Regenerate();
  uint32_t y = state_[index_++];
  y ^= y >> 11;
  y ^= (y << 7) & 0x9D2C5680u;
  y ^= (y << 15) & 0xEFC60000u;
  y ^= y >> 18;
  return y;
}

void ScrambleBuffer(uint32_t seed, void* data, size_t length) {
  KeyStream keys(seed);
  auto* bytes = static_cast<unsigned char*>(data);
  for (size_t i = 0; i < length; ++i) bytes[i] ^= static_cast<unsigned char>(keys.Next());
}

}  // namespace kestrun
