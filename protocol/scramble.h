// The keystream that hides message bytes on the wire.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrun {

// MT19937 seeded the older way (state[i] = 69069 * state[i-1]); every message
// buffer is scrambled with a fresh generator seeded with the message's seed.
class KeyStream {
 public:
  explicit KeyStream(uint32_t seed);
  uint32_t Next();
  // The low bytes of the next `count` outputs, a whole state round at a time.
  void NextLowBytes(unsigned char* out, size_t count);

 private:
  void Regenerate();
  std::array<uint32_t, 624> state_{};
  size_t index_;
};

// The low bytes of one seed's keystream, produced as far as needed and kept:
// all buffers of a message are scrambled from the start of the same stream,
// so a message computes it once. One owner at a time.
class ScrambleMask {
 public:
  explicit ScrambleMask(uint32_t seed) : keys_(seed) {}
  // XORs data[i] with the low byte of output i of the stream.
  void Apply(void* data, size_t length);

 private:
  KeyStream keys_;
  std::vector<unsigned char> bytes_;
};

// XORs each byte with the low byte of the next keystream output. Applying it
// twice with the same seed restores the data.
void ScrambleBuffer(uint32_t seed, void* data, size_t length);

}  // namespace kestrun
