#include <algorithm>
#include <cctype>
#include <cstring>

#include "launch/command_line.h"

#include "base/environment.h"
#include "platform/windows_command_line.h"

namespace kestrun {

static bool StartsIgnoringCase(const std::string& a, const char* b) {
  if (a.size() < std::strlen(b)) return false;
  for (size_t i = 0; b[i]; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != static_cast<unsigned char>(b[i])) {
      return false;
    }
  }
  return true;
}

bool IsScriptHostProgram(const std::string& programPath) {
  const size_t dot = programPath.rfind('.');
  if (dot == std::string::npos) return false;
  // Only the start of the text after the last dot is compared, so a dot in a
  // directory name ("C:\dir.vbs\prog") decides as well.
  const std::string suffix = programPath.substr(dot);
  return StartsIgnoringCase(suffix, ".vbs") || StartsIgnoringCase(suffix, ".js");
}

std::string BuildWindowsCommandLine(const std::vector<std::string>& arguments,
                                    const CommandLineOptions& options) {
  if (arguments.empty()) return {};
  std::string line;
  if (options.terminalHome) line += "\"" + *options.terminalHome + "\\kestrunTTY.exe\" ";
  const std::string& program = arguments[0];
  if (options.allowScriptHost && IsScriptHostProgram(program)) {
    line += options.systemDirectory + "\\cscript.exe /nologo ";
  }
  line += QuoteWindowsProgram(program);
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    line += ' ' + QuoteWindowsArgument(arg, options.quoteEveryArgument);
  }
  return line;
}

size_t ArgumentSpaceOf(const std::vector<std::string>& strings) {
  size_t space = 0;
  for (const std::string& s : strings) space += s.size() + 1 + sizeof(char*);
  return space;
}

std::optional<std::vector<std::string>> ExpandArguments(const std::vector<std::string>& arguments,
                                                        const std::vector<std::string>& environment,
                                                        size_t limit) {
  size_t used = ArgumentSpaceOf(environment);
  if (used > limit) return std::nullopt;
  const EnvironmentBlock block(environment);
  const VariableLookup lookup = [&block](std::string_view name) { return block.Get(name); };
  constexpr size_t kOverhead = 1 + sizeof(char*);
  std::vector<std::string> expanded;
  expanded.reserve(arguments.size());
  for (const std::string& argument : arguments) {
    if (limit - used < kOverhead) return std::nullopt;
    std::optional<std::string> text = ExpandVariables(argument, lookup, limit - used - kOverhead);
    if (!text) return std::nullopt;
    used += text->size() + kOverhead;
    expanded.push_back(std::move(*text));
  }
  return expanded;
}

std::vector<std::string> SortedEnvironment(std::vector<std::string> environment) {
  // std::string compares through char_traits<char>, which orders bytes as
  // unsigned char: the plain byte order.
  std::sort(environment.begin(), environment.end());
  return environment;
}

}  // namespace kestrun
