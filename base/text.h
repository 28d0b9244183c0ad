// Small text rules shared by every layer of the server: case-insensitive
// comparison, trimming, list splitting, numbers and printf-style formatting.
//
// All functions work on bytes; letters are the ASCII letters (C locale).
#pragma once

#include <cstdarg>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool EndsWithNoCase(std::string_view text, std::string_view suffix);
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);

// Spaces and tabs removed at both ends.
std::string_view TrimBlanks(std::string_view text);

// Every leading "{" and every trailing "}" removed.
std::string_view RemoveOuterBraces(std::string_view text);
// Exactly one character removed at each end, whatever it is ("" when the text
// is shorter than two characters).
std::string_view RemoveFirstAndLast(std::string_view text);

// Splits at `separator`. Items keep their blanks; an empty item between two
// separators counts; a trailing separator adds no item, so "" gives no items.
std::vector<std::string> SplitList(std::string_view text, char separator = ',');

// The leading decimal integer of `text` (after white space, optional sign);
// 0 when the text does not start with a number. Saturates at the 32-bit limits.
int ParseNumber(std::string_view text);

// printf into a std::string: the one formatting helper of the server.
std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string StringPrintfV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
// (Texts from clients go through SafeStringPrintf of base/safe_format.h.)

// "on"/"yes" give true, "off"/"no" false (any case); other words nullopt.
std::optional<bool> ParseOnOff(std::string_view word);

}  // namespace kestrun
