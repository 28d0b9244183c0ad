#include "protocol/datagram.h"

#include <rpc/xdr.h>

#include <cstdlib>
#include <cstring>

namespace kestrun {

namespace {

constexpr size_t kFixedBalloonBytes = 6 * 4;  // four longs and two string lengths

size_t Padded(size_t n) {
  return (n + 3) & ~size_t{3};
}

bool PutLong(XDR& xdr, int32_t value) {
  return xdr_int32_t(&xdr, &value);
}

bool PutString(XDR& xdr, std::string_view text) {
  std::string copy(text);
  char* p = copy.data();
  return xdr_string(&xdr, &p, static_cast<u_int>(kMaxDatagramSize));
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
  XDR xdr;
  xdrmem_create(&xdr, reinterpret_cast<char*>(area.data()), static_cast<u_int>(area.size()),
                XDR_ENCODE);
  const bool ok = PutLong(xdr, DatagramMagic) && PutLong(xdr, kBalloonDatagram) &&
                  PutString(xdr, title) && PutString(xdr, text) && PutLong(xdr, balloon.icon) &&
                  PutLong(xdr, balloon.immediate ? 1 : 0);
  // The shortening above makes every field fit; a failure is a broken sum.
  if (!ok) std::abort();
  area.resize(xdr_getpos(&xdr));
  xdr_destroy(&xdr);
  return area;
}

std::vector<uint8_t> EncodeJobStateDatagram(bool started) {
  std::vector<uint8_t> area(8, 0);
  XDR xdr;
  xdrmem_create(&xdr, reinterpret_cast<char*>(area.data()), 8, XDR_ENCODE);
  PutLong(xdr, DatagramMagic);
  PutLong(xdr, started ? kJobStartedDatagram : kJobStoppedDatagram);
  xdr_destroy(&xdr);
  return area;
}

std::optional<Datagram> DecodeDatagram(std::span<const uint8_t> bytes) {
  if (bytes.size() > kMaxDatagramSize) return std::nullopt;
  std::vector<char> copy(bytes.begin(), bytes.end());
  XDR xdr;
  xdrmem_create(&xdr, copy.data(), static_cast<u_int>(copy.size()), XDR_DECODE);
  Datagram d;
  int32_t magic = 0;
  bool ok = xdr_int32_t(&xdr, &magic) && magic == DatagramMagic && xdr_int32_t(&xdr, &d.kind);
  if (ok && d.kind == kBalloonDatagram) {
    // Decoding into our own areas: each text is at most the datagram's size.
    std::vector<char> title(kMaxDatagramSize + 1), text(kMaxDatagramSize + 1);
    char* t = title.data();
    char* x = text.data();
    int32_t immediate = 0;
    ok = xdr_string(&xdr, &t, kMaxDatagramSize) && xdr_string(&xdr, &x, kMaxDatagramSize) &&
         xdr_int32_t(&xdr, &d.balloon.icon) && xdr_int32_t(&xdr, &immediate);
    if (ok) {
      d.balloon.title = t;
      d.balloon.text = x;
      d.balloon.immediate = immediate != 0;
    }
  } else if (ok) {
    ok = d.kind == kJobStartedDatagram || d.kind == kJobStoppedDatagram;
  }
  xdr_destroy(&xdr);
  if (!ok) return std::nullopt;
  return d;
}

}  // namespace kestrun
