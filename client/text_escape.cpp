#include "client/text_escape.h"

namespace kestrun::client {

namespace {

void AppendHex(std::string& out, unsigned char c) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += "\\x";
  out += kHex[c >> 4];
  out += kHex[c & 0x0F];
}

void AppendAscii(std::string& out, unsigned char c) {
  switch (c) {
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  if (c < 0x20 || c == 0x7F) {
    AppendHex(out, c);
  } else {
    out += static_cast<char>(c);
  }
}

// The length of the valid UTF-8 sequence (2 to 4 bytes) that starts at
// text[at], or 0 when none starts there.
size_t Utf8Length(std::string_view text, size_t at) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[at + k]); };
  const unsigned char lead = byte(0);
  size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(k) & 0xC0) != 0x80) return 0;
  }
  // No overlong forms, surrogates or code points past U+10FFFF.
  if (lead == 0xE0 && byte(1) < 0xA0) return 0;
  if (lead == 0xED && byte(1) > 0x9F) return 0;
  if (lead == 0xF0 && byte(1) < 0x90) return 0;
  if (lead == 0xF4 && byte(1) > 0x8F) return 0;
  return length;
}

}  // namespace

std::string EscapeControlCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c < 0x80) {
      AppendAscii(out, c);
      ++at;
      continue;
    }
    const size_t length = Utf8Length(text, at);
    if (length == 0) {
      // A byte outside any UTF-8 sequence: a C1 control to an 8-bit terminal.
      if (c <= 0x9F) {
        AppendHex(out, c);
      } else {
        out += static_cast<char>(c);
      }
      ++at;
      continue;
    }
    if (c == 0xC2 && static_cast<unsigned char>(text[at + 1]) <= 0x9F) {
      AppendHex(out, c);  // U+0080 to U+009F: a C1 control to a UTF-8 terminal
      AppendHex(out, static_cast<unsigned char>(text[at + 1]));
    } else {
      out.append(text.substr(at, length));
    }
    at += length;
  }
  return out;
}

}  // namespace kestrun::client
