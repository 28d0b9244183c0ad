// The keystream that hides message bytes on the wire.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrun {

// MT19937 seeded the older way (state[i] = 69069 * state[i-1]); every message
// buffer is scrambled with a fresh generator seeded with the message's seed.
class KeyStream {
 public:
  explicit KeyStream(uint32_t seed);
  uint32_t Next();

 private:
  void Regenerate();
  std::array<uint32_t, 624> state_{};
  size_t index_;
};

// XORs each byte with the low byte of the next keystream output. Applying it
// twice with the same seed restores the data.
void ScrambleBuffer(uint32_t seed, void* data, size_t length);

}  // namespace kestrun
