// The notification datagrams byte for byte, the shortening of texts that do
// not fit, and the decoder's refusal of anything malformed.
#include "protocol/datagram.h"

#include <gtest/gtest.h>

#include "tests/notify/udp_listener.h"

namespace kestrun {
namespace {

using test::Bytes;

std::string Encoded(const Balloon& b) {
  const std::vector<uint8_t> d = EncodeBalloonDatagram(b);
  return std::string(d.begin(), d.end());
}

TEST(Datagram, BalloonHiDoneIsTheDocumented32Bytes) {
  EXPECT_EQ(Encoded({"Hi", "Done", 1, false}),
            Bytes({0, 0, 0x76, 0xFD, 0,   0,   0,   10,  0, 0, 0, 2, 'H', 'i', 0, 0,
                   0, 0, 0,    4,    'D', 'o', 'n', 'e', 0, 0, 0, 1, 0,   0,   0, 0}));
}

TEST(Datagram, JobStatesAreEightBytes) {
  const std::vector<uint8_t> started = EncodeJobStateDatagram(true);
  const std::vector<uint8_t> stopped = EncodeJobStateDatagram(false);
  EXPECT_EQ(std::string(started.begin(), started.end()), Bytes({0, 0, 0x76, 0xFD, 0, 0, 0, 0x0F}));
  EXPECT_EQ(std::string(stopped.begin(), stopped.end()), Bytes({0, 0, 0x76, 0xFD, 0, 0, 0, 0x19}));
}

struct ShortenCase {
  const char* name;
  std::string title;
  std::string text;
  std::string wantTitle;  // what decodes from the datagram
  std::string wantText;
};

// 1400 bytes hold 24 bytes of longs and lengths and 1376 of text.
const std::string kEuro = "\xE2\x82\xAC";  // three bytes
const ShortenCase kShortenCases[] = {
    {"FitsExactly", "", std::string(1376, 'a'), "", std::string(1376, 'a')},
    {"HundredThousandCharacters", "T", std::string(100000, 'x'), "T", std::string(1372, 'x')},
    {"CutBeforeASplitCharacter", "", std::string(1375, 'a') + kEuro, "", std::string(1375, 'a')},
    {"WholeCharactersKept", "", std::string(1373, 'a') + kEuro + "b", "",
     std::string(1373, 'a') + kEuro},
    {"LongTitleLeavesEmptyText", std::string(2000, 't'), "text", std::string(1376, 't'), ""},
    {"TextEndsAtNul", "a", std::string("be\0fore", 7), "a", "be"},
};

class Shortening : public testing::TestWithParam<ShortenCase> {};

TEST_P(Shortening, DatagramStaysCompleteAndWellFormed) {
  const ShortenCase& c = GetParam();
  const std::vector<uint8_t> d = EncodeBalloonDatagram({c.title, c.text, 3, true});
  ASSERT_LE(d.size(), kMaxDatagramSize);
  const std::optional<Datagram> back = DecodeDatagram(d);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->balloon.title, c.wantTitle);
  EXPECT_EQ(back->balloon.text, c.wantText);
  EXPECT_EQ(back->balloon.icon, 3);  // the fields after the texts are there
  EXPECT_TRUE(back->balloon.immediate);
}

INSTANTIATE_TEST_SUITE_P(Texts, Shortening, testing::ValuesIn(kShortenCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct BadDatagram {
  const char* name;
  std::string bytes;
};

const BadDatagram kBadDatagrams[] = {
    {"Empty", ""},
    {"WrongMagic", Bytes({0, 0, 0x76, 0xFE, 0, 0, 0, 0x0F})},
    {"UnknownKind", Bytes({0, 0, 0x76, 0xFD, 0, 0, 0, 0x10})},
    {"BalloonCutShort", Bytes({0, 0, 0x76, 0xFD, 0, 0, 0, 10, 0, 0, 0, 2, 'H', 'i', 0, 0})},
    {"LengthBeyondDatagram",
     Bytes({0, 0, 0x76, 0xFD, 0, 0, 0, 10, 0x7F, 0xFF, 0xFF, 0xFF, 'H', 'i', 0, 0})},
};

class Rejected : public testing::TestWithParam<BadDatagram> {};

TEST_P(Rejected, DecoderGivesNone) {
  const std::string& b = GetParam().bytes;
  EXPECT_FALSE(DecodeDatagram({reinterpret_cast<const uint8_t*>(b.data()), b.size()}));
}

INSTANTIATE_TEST_SUITE_P(Malformed, Rejected, testing::ValuesIn(kBadDatagrams),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrun
