// Texts a tool shows that came from a server or over the network: control
// characters are escaped, so that no job name, user name or balloon text can
// move the cursor, clear the screen, retitle the terminal or forge a line of
// its own.
#pragma once

#include <string>
#include <string_view>

namespace kestrun::client {

// `text` with its control characters escaped in the style of the server's own
// console and log lines: "\n", "\r", "\t", and "\xNN" for the other bytes
// below 0x20 and for 0x7F. The C1 controls (0x80 to 0x9F) that terminals act
// on are escaped too: as a UTF-8 character (U+0080 to U+009F, both bytes as
// "\xNN") and as a lone byte outside a UTF-8 sequence. Everything else,
// including valid UTF-8 and other bytes, is kept as it is. Pure; any thread.
std::string EscapeControlCharacters(std::string_view text);

}  // namespace kestrun::client
