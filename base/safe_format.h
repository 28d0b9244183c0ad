// printf for texts that may come from a client: every "%s" argument is
// written with its control characters escaped ("\n", "\r", "\t", other
// bytes below 0x20 and 0x7F as "\xNN") and cut after kMaxLoggedText bytes
// with "...", so that no name a client sends can start a line of its own or
// flood a log. The log writer and the console lines of requests use it.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace kestrun {

inline constexpr size_t kMaxLoggedText = 1024;

// `text` with its control characters escaped; when the escaped text would be
// longer than `limit` bytes it is cut there (never inside an escape) and
// "..." is appended.
std::string EscapeControlCharacters(std::string_view text, size_t limit = kMaxLoggedText);

// vsnprintf into a std::string, with every "%s" argument passed through
// EscapeControlCharacters (a precision applies to the argument before it is
// escaped; a width to the escaped text). The other conversions are those of
// printf; "%n" is not supported and writes nothing.
std::string SafeStringPrintfV(const char* format, va_list args)
    __attribute__((format(printf, 1, 0)));
std::string SafeStringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kestrun
