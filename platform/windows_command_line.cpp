#include "platform/windows_command_line.h"

namespace kestrun {

std::string QuoteWindowsArgument(const std::string& argument, bool always) {
  if (!always && !argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos)
    return argument;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes count as escapes only before a double quote: there each
    // one is doubled, and the quote gets one of its own.
    if (c == '"') backslashes = backslashes * 2 + 1;
    quoted.append(backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  // Before the closing quote, trailing backslashes are doubled as well.
  quoted.append(backslashes * 2, '\\');
  quoted += '"';
  return quoted;
}

std::string QuoteWindowsProgram(const std::string& program) {
  return "\"" + program + "\"";
}

}  // namespace kestrun
