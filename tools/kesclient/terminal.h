// The user's terminal, for a question a run cannot go on without. The
// operating-system side lives in terminal_posix.cpp.
#pragma once

#include <string>

namespace kestrun::client {

enum class TerminalAnswer { Yes, No, NoTerminal };

// Writes `question` and " [y/N] " to the controlling terminal and reads one
// line of answer from it: Yes for "y" or "yes" (any case), No for anything
// else, an empty line or end of input. NoTerminal, without asking, when
// kesclient's standard input is not a terminal (a pipeline, a launcher, a
// scheduled run: such runs say -y beforehand) or the controlling terminal
// cannot be opened. Blocks until the user answers; main thread only.
TerminalAnswer AskOnTerminal(const std::string& question);

}  // namespace kestrun::client
