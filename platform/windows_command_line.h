// Quoting one argument of a Windows command line so that the program gets it
// back unchanged: Windows passes a program one command line, which the C
// runtime of the program (CommandLineToArgvW and its kin) splits again.
// Pure text work, the same on every system, so that it is tested on Linux too.
#pragma once

#include <string>

namespace kestrun {

// `argument` as CommandLineToArgvW reads it back: unchanged when it is not
// empty and holds no blank, tab, newline or double quote; otherwise in
// double quotes, with each double quote preceded by a backslash and the
// backslashes that precede a double quote (or the closing quote) doubled.
// Backslashes elsewhere stay as they are. `always` puts every argument in
// double quotes (with the same escapes).
std::string QuoteWindowsArgument(const std::string& argument, bool always = false);

// The program path as the first element of a command line: in double
// quotes. The first element is read up to the next double quote, without
// backslash escapes, so a path cannot hold one (Windows file names cannot).
std::string QuoteWindowsProgram(const std::string& program);

}  // namespace kestrun
