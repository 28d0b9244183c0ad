// The escaping of texts that tools show from the network: terminal controls
// become visible escapes in the server's style, other text is kept.
#include "client/text_escape.h"

#include <gtest/gtest.h>

namespace kestrun::client {
namespace {

struct EscapeCase {
  const char* name;
  std::string in;
  std::string out;
};

const EscapeCase kCases[] = {
    {"PlainTextKept", "backup of /home (nightly)", "backup of /home (nightly)"},
    {"LineBreaksAndTab", "a\nb\rc\td", "a\\nb\\rc\\td"},
    {"TitleChangeAndClear", "\x1B]0;owned\x07\x1B[2J", "\\x1B]0;owned\\x07\\x1B[2J"},
    {"NulAndDelete", std::string("a\0b\x7F", 4), "a\\x00b\\x7F"},
    {"Utf8Kept", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
     "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
    {"Utf8C1ControlEscaped",
     "a\xC2\x9B"
     "31mb",
     "a\\xC2\\x9B31mb"},
    {"LoneC1ByteEscaped",
     "a\x9B"
     "2Jb",
     "a\\x9B2Jb"},
    {"OtherLoneByteKept", "Ren\xE9", "Ren\xE9"},
    {"CutSequenceAtEnd", "x\xC2", "x\xC2"},
};

class Escape : public testing::TestWithParam<EscapeCase> {};

TEST_P(Escape, AsTheServerShowsIt) {
  EXPECT_EQ(EscapeControlCharacters(GetParam().in), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(Texts, Escape, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrun::client
