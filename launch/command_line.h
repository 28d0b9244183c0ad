// The texts a launch is made of, as pure functions: the command line a
// Windows launch passes to the system, and the environment a child gets.
//
// On Linux the program is started from its argument vector (see execute.h),
// so BuildWindowsCommandLine serves the Windows layer only; it lives here so
// that both layers share one tested definition of the quoting rules.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestrun {

struct CommandLineOptions {
  // Set for a use-terminal run: the home directory that holds the terminal
  // wrapper (the server's KESTRUNHOME).
  std::optional<std::string> terminalHome;
  // The system directory that holds the script host.
  std::string systemDirectory;
  // False skips the script host even for a script (a capture-mode launch
  // uses it only when the program file exists).
  bool allowScriptHost = true;
  // Quote every argument, not only those holding a blank (capture mode).
  bool quoteEveryArgument = false;
};

// True when the text from the last "." of `programPath` begins with ".vbs"
// or ".js" without regard to case, wherever that dot is: "C:\dir.vbs\prog"
// counts as a script.
bool IsScriptHostProgram(const std::string& programPath);

// The Windows command line of `arguments` (element 0 the program path):
// the terminal prefix "\"<home>\kestrunTTY.exe\" ", the script host
// "<system directory>\cscript.exe /nologo " for scripts, the program path in
// double quotes, then each argument after a blank, in double quotes when it
// holds a blank (or always, with quoteEveryArgument). Tabs and double quotes
// inside arguments are not treated specially. An empty vector gives "".
std::string BuildWindowsCommandLine(const std::vector<std::string>& arguments,
                                    const CommandLineOptions& options);

// The environment a child is given: the run's NAME=value strings sorted by
// plain byte-wise comparison (unsigned bytes) of the whole strings.
std::vector<std::string> SortedEnvironment(std::vector<std::string> environment);

}  // namespace kestrun
