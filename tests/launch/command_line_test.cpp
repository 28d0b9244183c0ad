// The Windows command-line text, the lock value and the child's environment
// order: pure functions, checked with the examples of their rules.
#include <gtest/gtest.h>

#include "launch/command_line.h"
#include "launch/execute.h"

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

TEST(WindowsCommandLine, TabsAndQuotesAreNotSpecial) {
  EXPECT_EQ(BuildWindowsCommandLine({"p", "a\tb", "say\"hi\"", ""}, {}), "\"p\" a\tb say\"hi\" ");
}

TEST(WindowsCommandLine, CaptureModeQuotesEveryArgument) {
  CommandLineOptions options;
  options.quoteEveryArgument = true;
  EXPECT_EQ(BuildWindowsCommandLine({"C:\\s\\list.bat", "a", "b c"}, options),
            "\"C:\\s\\list.bat\" \"a\" \"b c\"");
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

}  // namespace
}  // namespace kestrun
