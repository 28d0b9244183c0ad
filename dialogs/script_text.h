// Writing Tcl text: the growing script, and the two ways a text is placed
// inside a double-quoted Tcl word.
//
// Quoted(text) is for values that must show exactly as written (field values,
// choices, list-box cells and headings, environment values): a backslash goes
// before every `"`, `$`, `[`, `\`, `]`, `{` and `}`, and control characters
// become \uXXXX escapes, so the word is read back as the very bytes given.
//
// Written(text) is for texts that the administrator writes for the dialog
// (titles, labels, captions, banner texts): Tcl substitution stays in force,
// so `$var` and `[cmd]` work as the administrator meant them, but the word is
// kept closed and well formed whatever the text holds: a `"` not already
// escaped gets a backslash, a `[` without its `]` is escaped, a trailing lone
// backslash is doubled and control characters become \uXXXX escapes.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrun::dialogs {

struct Quoted {
  std::string_view text;
};
struct Written {
  std::string_view text;
};

void AppendQuoted(std::string& out, std::string_view text);
void AppendWritten(std::string& out, std::string_view text);

inline void Put(std::string& out, std::string_view s) {
  out.append(s);
}
inline void Put(std::string& out, const char* s) {
  out.append(s);
}
inline void Put(std::string& out, const std::string& s) {
  out.append(s);
}
inline void Put(std::string& out, char c) {
  out.push_back(c);
}
inline void Put(std::string& out, int64_t n) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, r.ptr);
}
inline void Put(std::string& out, int32_t n) {
  Put(out, static_cast<int64_t>(n));
}
inline void Put(std::string& out, Quoted q) {
  AppendQuoted(out, q.text);
}
inline void Put(std::string& out, Written w) {
  AppendWritten(out, w.text);
}

// Appends the pieces.
template <class... Pieces>
void Append(std::string& out, const Pieces&... pieces) {
  (Put(out, pieces), ...);
}

// Appends the pieces and a line feed.
template <class... Pieces>
void Line(std::string& out, const Pieces&... pieces) {
  (Put(out, pieces), ...);
  out.push_back('\n');
}

}  // namespace kestrun::dialogs
