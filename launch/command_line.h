// The texts a launch is made of, as pure functions: the expanded arguments,
// the command line a Windows launch passes to the system, and the
// environment a child gets.
//
// On Linux the program is started from its argument vector (see execute.h),
// so BuildWindowsCommandLine serves the Windows layer only; it lives here so
// that both layers share one tested definition of the quoting rules.
#pragma once

#include <cstddef>
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
// double quotes, then each argument after a blank, quoted by the rules of
// CommandLineToArgvW (QuoteWindowsArgument: in double quotes when it is empty
// or holds a blank, tab or double quote, with backslash escapes), so that the
// program reads back exactly the arguments given; with quoteEveryArgument
// every argument is in double quotes. An empty vector gives "".
std::string BuildWindowsCommandLine(const std::vector<std::string>& arguments,
                                    const CommandLineOptions& options);

// The bytes `strings` take in a new program's argument and environment space,
// counted as the kernel counts them: each string with its terminating NUL
// and its pointer.
size_t ArgumentSpaceOf(const std::vector<std::string>& strings);

// Each of `arguments` expanded against `environment` ($NAME and ${NAME}, see
// ExpandVariables), in order, while the space they take is counted: nullopt
// as soon as the environment and the arguments expanded so far would take
// more than `limit` bytes (ArgumentSpaceOf), before the text that passes the
// limit is built. A program could not be started with them anyway (E2BIG),
// and a client's "$X$X$X..." against a long X must not take the server's
// memory. Lookups go through an index of the environment built once, so the
// work is linear in the texts.
std::optional<std::vector<std::string>> ExpandArguments(const std::vector<std::string>& arguments,
                                                        const std::vector<std::string>& environment,
                                                        size_t limit);

// The environment a child is given: the run's NAME=value strings sorted by
// plain byte-wise comparison (unsigned bytes) of the whole strings.
std::vector<std::string> SortedEnvironment(std::vector<std::string> environment);

}  // namespace kestrun
