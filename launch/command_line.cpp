#include <algorithm>
#include <cctype>
#include <cstring>

#include "launch/command_line.h"

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
  line += "\"" + program + "\"";
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    if (options.quoteEveryArgument || arg.find(' ') != std::string::npos) {
      line += " \"" + arg + "\"";
    } else {
      line += " " + arg;
    }
  }
  return line;
}

std::vector<std::string> SortedEnvironment(std::vector<std::string> environment) {
  // std::string compares through char_traits<char>, which orders bytes as
  // unsigned char: the plain byte order.
  std::sort(environment.begin(), environment.end());
  return environment;
}

}  // namespace kestrun
