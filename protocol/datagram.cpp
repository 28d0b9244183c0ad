#include "protocol/datagram.h"

#include <cstdlib>
#include <cstring>

#include "protocol/xdr.h"

namespace kestrun {

namespace {

constexpr size_t kFixedBalloonBytes = 6 * 4;  // four longs and two string lengths

size_t Padded(size_t n) {
  return (n + 3) & ~size_t{3};
}

std::string_view UpToNul(const std::string& text) {
  return std::string_view(text.c_str(), std::strlen(text.c_str()));
}

}  // namespace

std::string_view CutAtCharacter(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t n = maxBytes;
  // Back off over continuation bytes (10xxxxxx) to the start of the character
  // that would be split.
  while (n > 0 && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80) --n;
  return text.substr(0, n);
}

std::vector<uint8_t> EncodeBalloonDatagram(const Balloon& balloon) {
  const size_t room = kMaxDatagramSize - kFixedBalloonBytes;  // a multiple of 4
  const std::string_view title = CutAtCharacter(UpToNul(balloon.title), room);
  const std::string_view text = CutAtCharacter(UpToNul(balloon.text), room - Padded(title.size()));

  std::vector<uint8_t> area(kMaxDatagramSize, 0);
  xdr::Writer w(std::span(reinterpret_cast<char*>(area.data()), area.size()));
  const bool ok = w.PutInt32(DatagramMagic) && w.PutInt32(kBalloonDatagram) &&
                  w.PutString(title, kMaxDatagramSize) && w.PutString(text, kMaxDatagramSize) &&
                  w.PutInt32(balloon.icon) && w.PutInt32(balloon.immediate ? 1 : 0);
  // The shortening above makes every field fit; a failure is a broken sum.
  if (!ok) std::abort();
  area.resize(w.position());
  return area;
}

std::vector<uint8_t> EncodeJobStateDatagram(bool started) {
  std::vector<uint8_t> area(8, 0);
  xdr::Writer w(std::span(reinterpret_cast<char*>(area.data()), area.size()));
  w.PutInt32(DatagramMagic);
  w.PutInt32(started ? kJobStartedDatagram : kJobStoppedDatagram);
  return area;
}

std::optional<Datagram> DecodeDatagram(std::span<const uint8_t> bytes) {
  if (bytes.size() > kMaxDatagramSize) return std::nullopt;
  xdr::Reader r(std::span(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  Datagram d;
  const std::optional<int32_t> magic = r.GetInt32();
  const std::optional<int32_t> kind = r.GetInt32();
  bool ok = magic == DatagramMagic && kind;
  if (ok) d.kind = *kind;
  if (ok && d.kind == kBalloonDatagram) {
    const std::optional<std::string_view> title = r.GetString(kMaxDatagramSize);
    const std::optional<std::string_view> text =
        title ? r.GetString(kMaxDatagramSize) : std::nullopt;
    const std::optional<int32_t> icon = text ? r.GetInt32() : std::nullopt;
    const std::optional<int32_t> immediate = icon ? r.GetInt32() : std::nullopt;
    ok = immediate.has_value();
    if (ok) {
      // A text ends at its first NUL, as the C string it was sent from did.
      d.balloon.title = std::string(title->substr(0, title->find('\0')));
      d.balloon.text = std::string(text->substr(0, text->find('\0')));
      d.balloon.icon = *icon;
      d.balloon.immediate = *immediate != 0;
    }
  } else if (ok) {
    ok = d.kind == kJobStartedDatagram || d.kind == kJobStoppedDatagram;
  }
  if (!ok) return std::nullopt;
  return d;
}

}  // namespace kestrun
