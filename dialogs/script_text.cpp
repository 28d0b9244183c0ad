#include "dialogs/script_text.h"

namespace kestrun::dialogs {
namespace {

bool IsControl(unsigned char c) {
  return (c < 0x20 && c != '\t') || c == 0x7f;
}

// \uXXXX rather than \xXX: Tcl 8.6 lets \x swallow every hex digit that
// follows, so "\x0aB" would not read back as a line feed and a "B".
void AppendControl(std::string& out, unsigned char c) {
  static const char kHex[] = "0123456789abcdef";
  out += "\\u00";
  out.push_back(kHex[c >> 4]);
  out.push_back(kHex[c & 15]);
}

// True when the `[` at `open` has a matching `]` later in `text`.
bool HasClosingBracket(std::string_view text, size_t open) {
  int depth = 0;
  for (size_t i = open; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '[') {
      ++depth;
    } else if (text[i] == ']' && --depth == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

void AppendQuoted(std::string& out, std::string_view text) {
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"':
      case '$':
      case '[':
      case '\\':
      case ']':
      case '{':
      case '}':
        out.push_back('\\');
        out.push_back(ch);
        break;
      default:
        if (IsControl(c)) {
          AppendControl(out, c);
        } else {
          out.push_back(ch);
        }
    }
  }
}

void AppendWritten(std::string& out, std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    const auto c = static_cast<unsigned char>(ch);
    if (ch == '\\') {
      if (i + 1 == text.size()) {
        out += "\\\\";  // would escape the closing quote
      } else if (IsControl(static_cast<unsigned char>(text[i + 1]))) {
        out += "\\\\";
      } else {
        out.push_back(ch);
        out.push_back(text[++i]);  // the administrator's own escape
      }
    } else if (ch == '"') {
      out += "\\\"";
    } else if (ch == '$' && i + 1 < text.size() && text[i + 1] == '{' &&
               text.find('}', i) == std::string_view::npos) {
      out += "\\$";  // "${" without its "}" is a Tcl syntax error
    } else if (ch == '[' && !HasClosingBracket(text, i)) {
      out += "\\[";
    } else if (IsControl(c)) {
      AppendControl(out, c);
    } else {
      out.push_back(ch);
    }
  }
}

}  // namespace kestrun::dialogs
