#include "protocol/xdrwrap.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/protocol/wire.h"

namespace kestrun {
namespace {

TEST(Strings, EmptyStringIsPieceCountOneAndAnEmptyPiece) {
  XDRWRAP m;
  m.BeginEncode();
  m.AddString("");
  ASSERT_EQ(m.Buffers().size(), 1u);
  EXPECT_EQ(m.Buffers()[0]->Size, 8);
  EXPECT_EQ(m.Buffers()[0]->NumItems, 2);
  const std::string bytes(m.Buffers()[0]->data.data(), 8);
  EXPECT_EQ(bytes, std::string("\0\0\0\1\0\0\0\0", 8));
}

TEST(Strings, NullTextTravelsAsEmpty) {
  XDRWRAP m;
  m.BeginEncode();
  m.AddString(static_cast<const char*>(nullptr));
  XDRWRAP r = testwire::Reencode(m);
  EXPECT_EQ(r.GetString(), "");
}

TEST(Strings, TenThousandCharactersGoAsAFullAndAnEmptyPiece) {
  const std::string text(10000, 'x');
  XDRWRAP m;
  m.BeginEncode();
  m.AddString(text);
  // Piece count (1 field) + full piece + empty piece.
  int items = 0;
  for (auto& b : m.Buffers()) items += b->NumItems;
  EXPECT_EQ(items, 3);
  XDRWRAP r = testwire::Reencode(m);
  EXPECT_EQ(r.GetLong(), 2);  // piece count
}

TEST(Strings, LongTextsReadBackEqual) {
  for (size_t len : {0u, 1u, 9999u, 10000u, 10001u, 25000u, 100000u}) {
    std::string text(len, '\0');
    for (size_t i = 0; i < len; ++i) text[i] = static_cast<char>('a' + i % 26);
    XDRWRAP m;
    m.BeginEncode();
    m.AddLong(7);
    m.AddString(text);
    m.AddLong(8);
    XDRWRAP r = testwire::Reencode(m);
    EXPECT_EQ(r.GetLong(), 7);
    EXPECT_EQ(r.GetString(), text) << len;
    EXPECT_EQ(r.GetLong(), 8);
  }
}

TEST(Strings, CallerTextUnchanged) {
  std::string text(25000, 'q');
  const std::string copy = text;
  XDRWRAP m;
  m.BeginEncode();
  m.AddString(text);
  EXPECT_EQ(text, copy);
}

TEST(Numbers, CharIsZeroExtendedAndBoolIsNonZero) {
  XDRWRAP m;
  m.BeginEncode();
  m.AddChar(200);
  m.AddLong(2);
  m.AddLong(0);
  m.AddEnum(-3);
  m.AddLong(-5);
  XDRWRAP r = testwire::Reencode(m);
  EXPECT_EQ(r.GetLong(), 200);
  EXPECT_TRUE(r.GetBool());
  EXPECT_FALSE(r.GetBool());
  EXPECT_EQ(r.GetEnum(), -3);
  EXPECT_EQ(r.GetLong(), -5);
}

TEST(Chain, FieldThatDoesNotFitStartsANewBuffer) {
  XDRWRAP m;
  m.BeginEncode();
  // 249 longs fill 996 bytes; a 3-character string piece (8 bytes) does not
  // fit in the remaining 4 bytes, but its piece count (4 bytes) does.
  for (int i = 0; i < 249; ++i) m.AddLong(i);
  m.AddString("abc");
  ASSERT_EQ(m.Buffers().size(), 2u);
  EXPECT_EQ(m.BufferCount(), 2);
  EXPECT_EQ(m.Buffers()[0]->Size, 1000);  // 249 longs + the piece count
  EXPECT_EQ(m.Buffers()[0]->NumItems, 250);
  EXPECT_EQ(m.Buffers()[1]->Size, 8);
  EXPECT_EQ(m.Buffers()[1]->NumItems, 1);
  m.AddLong(99);
  XDRWRAP r = testwire::Reencode(m);
  for (int i = 0; i < 249; ++i) ASSERT_EQ(r.GetLong(), i);
  EXPECT_EQ(r.GetString(), "abc");
  EXPECT_EQ(r.GetLong(), 99);
  EXPECT_THROW(r.GetLong(), DecodeFailure);
}

TEST(Chain, EarlierBufferKeepsItsSizeWhenALargePieceMovesOn) {
  XDRWRAP m;
  m.BeginEncode();
  m.AddLong(1);
  m.AddString(std::string(5000, 'z'));
  ASSERT_EQ(m.Buffers().size(), 2u);
  EXPECT_EQ(m.Buffers()[0]->Size, 8);  // the long and the piece count
  EXPECT_EQ(m.Buffers()[1]->data.size(), 5010u);  // piece length + 10
  EXPECT_EQ(m.Buffers()[1]->Size, 5004);
}

TEST(Chain, ReaderCrossesOnlyWhenItemsAreExhausted) {
  // A first buffer announcing 1 item but holding 2 longs: the second long of
  // buffer 1 is never read; the reader moves on to buffer 2.
  std::string b1 = testwire::Long(10) + testwire::Long(11);
  std::string b2 = testwire::Long(20);
  XDRWRAP r = testwire::Decode({{b1, 1}, {b2, 1}});
  EXPECT_EQ(r.GetLong(), 10);
  EXPECT_EQ(r.GetLong(), 20);
}

TEST(Decode, ExhaustedOrEmptyMessagesFail) {
  XDRWRAP empty;
  EXPECT_THROW(empty.GetLong(), DecodeFailure);
  XDRWRAP m;
  m.BeginEncode();
  m.AddLong(1);
  XDRWRAP r = testwire::Reencode(m);
  r.GetLong();
  EXPECT_THROW(r.GetString(), DecodeFailure);
  EXPECT_TRUE(r.Buffers().empty());  // released on failure
}

TEST(Decode, PieceCountBeyondTheFieldsLeftFailsWithoutReserving) {
  XDRWRAP r = testwire::Decode({{testwire::Long(0x7fffffff) + testwire::Str("a"), 2}});
  EXPECT_THROW(r.GetString(), DecodeFailure);
}

TEST(Decode, PieceLongerThan12000Fails) {
  XDRWRAP r = testwire::Decode({{testwire::Long(1) + testwire::Str(std::string(12001, 'a')), 2}});
  EXPECT_THROW(r.GetString(), DecodeFailure);
  XDRWRAP ok = testwire::Decode({{testwire::Long(1) + testwire::Str(std::string(12000, 'a')), 2}});
  EXPECT_EQ(ok.GetString().size(), 12000u);
}

TEST(Decode, ShortPieceEndsTheTextAndLaterPiecesAreSkipped) {
  XDRWRAP r = testwire::Decode(
      {{testwire::Long(3) + testwire::Str("ab") + testwire::Str("cd") + testwire::Str("ef") +
            testwire::Long(5),
        5}});
  EXPECT_EQ(r.GetString(), "ab");
  EXPECT_EQ(r.GetLong(), 5);
}

TEST(Decode, PieceCountBelowOneIsEmpty) {
  XDRWRAP r = testwire::Decode({{testwire::Long(0) + testwire::Long(9), 2}});
  EXPECT_EQ(r.GetString(), "");
  EXPECT_EQ(r.GetLong(), 9);
}

}  // namespace
}  // namespace kestrun
