// The Windows command-line text, the lock value and the child's environment
// order: pure functions, checked with the examples of their rules.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "launch/command_line.h"
#include "launch/execute.h"
#include "platform/windows_command_line.h"

namespace kestrun {
namespace {

TEST(WindowsCommandLine, ArgumentWithABlankIsQuoted) {
  EXPECT_EQ(BuildWindowsCommandLine({"C:\\jobs\\run.bat", "a", "two words"}, {}),
            "\"C:\\jobs\\run.bat\" a \"two words\"");
}

TEST(WindowsCommandLine, TerminalWrapperComesFirst) {
  CommandLineOptions options;
  options.terminalHome = "C:\\kes";
  EXPECT_EQ(BuildWindowsCommandLine({"C:\\jobs\\run.bat", "a", "two words"}, options),
            "\"C:\\kes\\kestrunTTY.exe\" \"C:\\jobs\\run.bat\" a \"two words\"");
  options.terminalHome = "";  // KESTRUNHOME unset: an empty directory
  EXPECT_EQ(BuildWindowsCommandLine({"p"}, options), "\"\\kestrunTTY.exe\" \"p\"");
}

TEST(WindowsCommandLine, ScriptsRunThroughTheScriptHost) {
  CommandLineOptions options;
  options.systemDirectory = "C:\\Windows\\system32";
  EXPECT_EQ(BuildWindowsCommandLine({"C:\\jobs\\tidy.VBS"}, options),
            "C:\\Windows\\system32\\cscript.exe /nologo \"C:\\jobs\\tidy.VBS\"");
  EXPECT_EQ(BuildWindowsCommandLine({"x.Js", "a"}, options),
            "C:\\Windows\\system32\\cscript.exe /nologo \"x.Js\" a");
  options.allowScriptHost = false;  // capture mode, file missing
  EXPECT_EQ(BuildWindowsCommandLine({"C:\\jobs\\tidy.vbs"}, options), "\"C:\\jobs\\tidy.vbs\"");
}

TEST(WindowsCommandLine, TheLastDotDecides) {
  EXPECT_TRUE(IsScriptHostProgram("C:\\dir.vbs\\prog"));  // even in a directory name
  EXPECT_FALSE(IsScriptHostProgram("C:\\dir\\prog"));
  EXPECT_FALSE(IsScriptHostProgram("C:\\dir\\prog.exe"));
  EXPECT_FALSE(IsScriptHostProgram("C:\\a.vbs\\prog.exe"));
  EXPECT_TRUE(IsScriptHostProgram(".JS"));
}

// Each argument reads back unchanged through CommandLineToArgvW: tabs and
// empty arguments are quoted, quotes escaped, and backslashes doubled only
// where they precede a quote.
TEST(WindowsCommandLine, ArgumentsFollowTheCommandLineToArgvWRules) {
  EXPECT_EQ(BuildWindowsCommandLine({"p", "a\tb", "say\"hi\"", ""}, {}),
            "\"p\" \"a\tb\" \"say\\\"hi\\\"\" \"\"");
  const struct {
    const char* argument;
    const char* quoted;
  } cases[] = {
      {"plain", "plain"},
      {"C:\\dir\\file", "C:\\dir\\file"},
      {"C:\\dir with blank\\", "\"C:\\dir with blank\\\\\""},
      {"a\\\"b", "\"a\\\\\\\"b\""},
      {"\\\\server\\share", "\\\\server\\share"},
      {"new\nline", "\"new\nline\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QuoteWindowsArgument(c.argument), c.quoted) << c.argument;
    EXPECT_EQ(BuildWindowsCommandLine({"p", c.argument}, {}), std::string("\"p\" ") + c.quoted);
  }
}

TEST(WindowsCommandLine, CaptureModeQuotesEveryArgument) {
  CommandLineOptions options;
  options.quoteEveryArgument = true;
  EXPECT_EQ(BuildWindowsCommandLine({"C:\\s\\list.bat", "a", "b c", "d\\"}, options),
            "\"C:\\s\\list.bat\" \"a\" \"b c\" \"d\\\\\"");
  // The program alone: only the quoted path.
  EXPECT_EQ(BuildWindowsCommandLine({"C:\\s\\list.bat"}, options), "\"C:\\s\\list.bat\"");
}

TEST(LockValue, ArgumentNAfterTheProgramPath) {
  const std::vector<std::string> args = {"/bin/job", "first", "second"};
  EXPECT_EQ(LockValueOf(1, args), "first");
  EXPECT_EQ(LockValueOf(2, args), "second");
  EXPECT_EQ(LockValueOf(0, args), std::nullopt);
  EXPECT_EQ(LockValueOf(3, args), std::nullopt);  // beyond the last argument
  EXPECT_EQ(LockValueOf(-1, args), std::nullopt);
}

TEST(SortedEnvironment, WholeStringsInUnsignedByteOrder) {
  EXPECT_EQ(SortedEnvironment({"b=1", "\xC3X=1", "B=2", "A_B=1", "AB=1", "A=9"}),
            (std::vector<std::string>{"A=9", "AB=1", "A_B=1", "B=2", "b=1", "\xC3X=1"}));
  EXPECT_EQ(SortedEnvironment({}), std::vector<std::string>{});
}

// Space of the strings as the kernel counts them: text, NUL and pointer.
size_t Space(std::initializer_list<size_t> sizes) {
  size_t space = 0;
  for (size_t size : sizes) space += size + 1 + sizeof(char*);
  return space;
}

TEST(ExpandArguments, EachArgumentIsExpandedOnItsOwnAgainstTheEnvironment) {
  const std::vector<std::string> env = {"A=one two", "B=", "A=shadowed"};
  EXPECT_EQ(ExpandArguments({"$A", "x${B}y", "$C", "$$A"}, env, 1 << 20),
            (std::vector<std::string>{"one two", "xy", "", "one two"}));
}

TEST(ExpandArguments, TheArgumentsAndTheEnvironmentTogetherStayWithinTheLimit) {
  const std::vector<std::string> env = {"X=" + std::string(100, 'x')};  // 102 bytes
  const std::vector<std::string> arguments = {"$X", "$X$X"};
  const size_t exact = Space({102, 100, 200});
  EXPECT_EQ(ExpandArguments(arguments, env, exact)->size(), 2u);
  EXPECT_EQ(ExpandArguments(arguments, env, exact - 1), std::nullopt);
  // The environment alone may already be too much.
  EXPECT_EQ(ExpandArguments({}, env, Space({101})), std::nullopt);
}

TEST(ExpandArguments, AManyTimesRepeatedLongVariableIsRefusedWithoutBuildingIt) {
  // 200,000 references to a megabyte: 200 GB if built.
  const std::vector<std::string> env = {"X=" + std::string(1 << 20, 'x')};
  std::string reference;
  for (int k = 0; k < 200000; ++k) reference += "$X";
  EXPECT_EQ(ExpandArguments({reference}, env, 4 << 20), std::nullopt);
  EXPECT_EQ(ExpandArguments(std::vector<std::string>(200000, "$X"), env, 4 << 20), std::nullopt);
}

}  // namespace
}  // namespace kestrun
