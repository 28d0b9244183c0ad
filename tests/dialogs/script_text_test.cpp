#include "dialogs/script_text.h"

#include <gtest/gtest.h>

namespace kestrun::dialogs {
namespace {

struct TextCase {
  const char* text;
  const char* quoted;
  const char* written;
};

// Quoted text reads back as exactly the bytes given; written text keeps Tcl
// substitution but always stays one well-formed double-quoted word.
const TextCase kTextCases[] = {
    {"plain text", "plain text", "plain text"},
    {"[ ] $ \\ \" { }", "\\[ \\] \\$ \\\\ \\\" \\{ \\}", "[ ] $ \\ \\\" { }"},
    {"unmatched [ bracket", "unmatched \\[ bracket", "unmatched \\[ bracket"},
    {"ends in \\", "ends in \\\\", "ends in \\\\"},
    {"say \"hi\"", "say \\\"hi\\\"", "say \\\"hi\\\""},
    {"already \\\" escaped", "already \\\\\\\" escaped", "already \\\" escaped"},
    {"$user [clock seconds]", "\\$user \\[clock seconds\\]", "$user [clock seconds]"},
    {"open ${brace", "open \\$\\{brace", "open \\${brace"},
    {"line\nfeed\x01\x1a", "line\\u000afeed\\u0001\\u001a", "line\\u000afeed\\u0001\\u001a"},
    {"tab\there", "tab\there", "tab\there"},
};

TEST(ScriptText, QuotedAndWrittenForms) {
  for (const TextCase& c : kTextCases) {
    std::string quoted, written;
    AppendQuoted(quoted, c.text);
    AppendWritten(written, c.text);
    EXPECT_EQ(quoted, c.quoted) << c.text;
    EXPECT_EQ(written, c.written) << c.text;
  }
}

}  // namespace
}  // namespace kestrun::dialogs
