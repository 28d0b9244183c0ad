// Notification datagrams: what a server sends to a docked client's UDP port.
// Each is XDR-encoded (32-bit big-endian longs, strings as a length and the
// bytes padded to four), not scrambled, and opens with DatagramMagic.
//
//   balloon:   magic, 10, title, text, icon (0 none, 1 info, 2 warning,
//              3 error), immediate (1 or 0); at most kMaxDatagramSize bytes
//   job state: magic, 15 (job started) or 25 (job stopped); 8 bytes
//
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

inline constexpr int32_t DatagramMagic = 30461;
inline constexpr size_t kMaxDatagramSize = 1400;
inline constexpr int32_t kBalloonDatagram = 10;
inline constexpr int32_t kJobStartedDatagram = 15;
inline constexpr int32_t kJobStoppedDatagram = 25;

struct Balloon {
  std::string title;
  std::string text;
  int32_t icon = 0;
  bool immediate = false;
};

// The balloon datagram. A title or text that would not fit is shortened at a
// UTF-8 character boundary (the title keeps its room first), so the datagram
// is always complete and at most kMaxDatagramSize bytes. Texts end at their
// first NUL, as C strings would.
std::vector<uint8_t> EncodeBalloonDatagram(const Balloon& balloon);
std::vector<uint8_t> EncodeJobStateDatagram(bool started);

// The longest start of `text` of at most `maxBytes` bytes that does not end in
// the middle of a UTF-8 sequence.
std::string_view CutAtCharacter(std::string_view text, size_t maxBytes);

struct Datagram {
  int32_t kind = 0;  // kBalloonDatagram, kJobStartedDatagram or kJobStoppedDatagram
  Balloon balloon;   // for a balloon
};

// Decodes a received datagram; none when the magic, the kind or the layout is
// wrong (a datagram is never trusted beyond its own length).
std::optional<Datagram> DecodeDatagram(std::span<const uint8_t> bytes);

}  // namespace kestrun
