#include "base/safe_format.h"

#include <cstdint>
#include <cstdio>

namespace kestrun {

namespace {

void AppendEscaped(std::string& out, unsigned char c) {
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
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0x0F];
    return;
  }
  out += static_cast<char>(c);
}

// Formats one conversion `directive` (its "*" already replaced by numbers) with a
// value of type T.
template <typename T>
void AppendOne(std::string& out, const std::string& directive, T value) {
  char small[128];
  const int n = std::snprintf(small, sizeof small, directive.c_str(), value);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    out.append(small, static_cast<size_t>(n));
    return;
  }
  std::string large(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(large.data(), large.size(), directive.c_str(), value);
  out.append(large.data(), static_cast<size_t>(n));
}

bool IsFlag(char c) {
  return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::string EscapeControlCharacters(std::string_view text, size_t limit) {
  std::string out;
  out.reserve(text.size() < limit ? text.size() : limit);
  for (size_t i = 0; i < text.size(); ++i) {
    const size_t before = out.size();
    AppendEscaped(out, static_cast<unsigned char>(text[i]));
    if (out.size() > limit) {
      out.resize(before);
      out += "...";
      break;
    }
  }
  return out;
}

std::string SafeStringPrintfV(const char* format, va_list args) {
  va_list ap;
  va_copy(ap, args);
  std::string out;
  const char* p = format;
  while (*p) {
    if (*p != '%') {
      out += *p++;
      continue;
    }
    if (p[1] == '%') {
      out += '%';
      p += 2;
      continue;
    }
    // %[flags][width][.precision][length]conversion
    std::string directive = "%";
    ++p;
    while (IsFlag(*p)) directive += *p++;
    if (*p == '*') {
      directive += std::to_string(va_arg(ap, int));
      ++p;
    } else {
      while (IsDigit(*p)) directive += *p++;
    }
    int precision = -1;
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        precision = va_arg(ap, int);
        ++p;
      } else {
        precision = 0;
        while (IsDigit(*p)) precision = precision * 10 + (*p++ - '0');
      }
    }
    std::string length;
    while (*p == 'h' || *p == 'l' || *p == 'z' || *p == 'j' || *p == 't' || *p == 'L')
      length += *p++;
    const char conversion = *p;
    if (conversion == '\0') break;
    ++p;
    const std::string precise = precision >= 0 ? "." + std::to_string(precision) : "";
    switch (conversion) {
      case 's': {
        const char* text = va_arg(ap, const char*);
        std::string_view view = text ? text : "(null)";
        if (precision >= 0 && static_cast<size_t>(precision) < view.size())
          view = view.substr(0, static_cast<size_t>(precision));
        const std::string escaped = EscapeControlCharacters(view);
        AppendOne(out, directive + "s", escaped.c_str());
        break;
      }
      case 'c':
        AppendOne(out, directive + "c", va_arg(ap, int));
        break;
      case 'd':
      case 'i':
        if (length == "ll" || length == "j")
          AppendOne(out, directive + precise + "lld", va_arg(ap, long long));
        else if (length == "l" || length == "z" || length == "t")
          AppendOne(out, directive + precise + "ld", va_arg(ap, long));
        else
          AppendOne(out, directive + precise + "d", va_arg(ap, int));
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        const std::string tail = precise + conversion;
        if (length == "ll" || length == "j")
          AppendOne(out, directive + "ll" + tail, va_arg(ap, unsigned long long));
        else if (length == "l" || length == "z" || length == "t")
          AppendOne(out, directive + "l" + tail, va_arg(ap, unsigned long));
        else
          AppendOne(out, directive + tail, va_arg(ap, unsigned));
        break;
      }
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        if (length == "L")
          AppendOne(out, directive + precise + "L" + conversion, va_arg(ap, long double));
        else
          AppendOne(out, directive + precise + conversion, va_arg(ap, double));
        break;
      case 'p':
        AppendOne(out, directive + "p", va_arg(ap, void*));
        break;
      case 'n':
        (void)va_arg(ap, void*);
        break;
      default:
        out += directive + length + conversion;
        break;
    }
  }
  va_end(ap);
  return out;
}

std::string SafeStringPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = SafeStringPrintfV(format, args);
  va_end(args);
  return text;
}

}  // namespace kestrun
