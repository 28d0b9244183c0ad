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

TEST(Chain, BufferGrowsInPlaceRatherThanStartingANewOne) {
  XDRWRAP m;
  m.BeginEncode();
  // 249 longs and a piece count fill the first 1000 bytes; the 3-character
  // piece (8 bytes) makes the buffer grow (doubling) instead of a new one.
  for (int i = 0; i < 249; ++i) m.AddLong(i);
  m.AddString("abc");
  m.AddString(std::string(5000, 'z'));
  ASSERT_EQ(m.Buffers().size(), 1u);
  EXPECT_EQ(m.BufferCount(), 1);
  EXPECT_EQ(m.Buffers()[0]->Size, 1008 + 4 + 5004);
  EXPECT_EQ(m.Buffers()[0]->NumItems, 253);
  EXPECT_EQ(m.Buffers()[0]->data.size(), 6016u);  // the field's end beats the doubling
  m.AddLong(99);
  XDRWRAP r = testwire::Reencode(m);
  for (int i = 0; i < 249; ++i) ASSERT_EQ(r.GetLong(), i);
  EXPECT_EQ(r.GetString(), "abc");
  EXPECT_EQ(r.GetString(), std::string(5000, 'z'));
  EXPECT_EQ(r.GetLong(), 99);
  EXPECT_THROW(r.GetLong(), DecodeFailure);
}

// A new buffer begins only when the next field would take the current one
// past the byte limit or the field limit a reader accepts; the earlier
// buffer keeps its size at its last field's end.
TEST(Chain, NewBufferOnlyAtTheByteOrFieldLimit) {
  struct Case {
    const char* name;
    int fields;  // what is added: strings of 9999 characters, or longs
    bool strings;
    int32_t firstSize, firstItems, secondItems;
  };
  // 13 strings of 10008 bytes (count + piece) take 130104 bytes; the 14th's
  // count still fits, its piece does not. 10000 longs fill the field limit.
  const Case cases[] = {
      {"ByteLimit", 14, true, 130108, 27, 1},
      {"FieldLimit", 10001, false, 40000, 10000, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    XDRWRAP m;
    m.BeginEncode();
    const std::string text(9999, 'k');
    for (int i = 0; i < c.fields; ++i) c.strings ? m.AddString(text) : m.AddLong(i);
    ASSERT_EQ(m.Buffers().size(), 2u);
    EXPECT_EQ(m.Buffers()[0]->Size, c.firstSize);
    EXPECT_EQ(m.Buffers()[0]->NumItems, c.firstItems);
    EXPECT_LE(m.Buffers()[0]->data.size(), kMaxBufferSize);
    EXPECT_EQ(m.Buffers()[1]->NumItems, c.secondItems);
    XDRWRAP r = testwire::Reencode(m);
    for (int i = 0; i < c.fields; ++i) {
      if (c.strings)
        ASSERT_EQ(r.GetString(), text);
      else
        ASSERT_EQ(r.GetLong(), i);
    }
  }
}

// A reply of 1200 entries of two 255-character names and two longs (650 KB)
// once took 800 buffers of 1000 bytes; packed it is a handful.
TEST(Chain, ManyEntriesPackIntoFewBuffers) {
  const std::string name(255, 'n');
  XDRWRAP m;
  m.BeginEncode();
  for (int i = 0; i < 1200; ++i) {
    m.AddString(name);
    m.AddString(name);
    m.AddLong(i);
    m.AddLong(-i);
  }
  m.AddString("");
  EXPECT_EQ(m.BufferCount(), 5);
  EXPECT_TRUE(m.WithinLimits());
  XDRWRAP r = testwire::Reencode(m);
  for (int i = 0; i < 1200; ++i) {
    ASSERT_EQ(r.GetString(), name);
    ASSERT_EQ(r.GetString(), name);
    ASSERT_EQ(r.GetLong(), i);
    ASSERT_EQ(r.GetLong(), -i);
  }
  EXPECT_EQ(r.GetString(), "");
}

TEST(Bounded, TruncateDropsEverythingAfterTheMark) {
  XDRWRAP m;
  m.BeginEncode();
  m.AddLong(1);
  const XDRWRAP::Mark mark = m.End();
  for (int i = 0; i < 20; ++i) m.AddString(std::string(9999, 'x'));  // two buffers
  ASSERT_EQ(m.BufferCount(), 2);
  m.TruncateTo(mark);
  EXPECT_EQ(m.BufferCount(), 1);
  m.AddLong(2);
  XDRWRAP r = testwire::Reencode(m);
  EXPECT_EQ(r.GetLong(), 1);
  EXPECT_EQ(r.GetLong(), 2);
  EXPECT_THROW(r.GetLong(), DecodeFailure);
}

// Entries are taken while the message, with room for its closing fields,
// stays within kMaxBuffers; the entry that would pass it leaves nothing.
TEST(Bounded, AddIfFitsStopsAtTheBufferLimitWithRoomForTheTail) {
  XDRWRAP m;
  m.BeginEncode();
  const std::string text(9999, 'y');
  int taken = 0;
  while (m.AddIfFits([&](XDRWRAP& out) { out.AddString(text); }, kEmptyStringTail)) ++taken;
  EXPECT_EQ(m.BufferCount(), kMaxBuffers);
  EXPECT_EQ(taken, 13 * kMaxBuffers);
  EXPECT_FALSE(m.AddIfFits([&](XDRWRAP& out) { out.AddString(text); }, kEmptyStringTail));
  m.AddString("");
  EXPECT_TRUE(m.WithinLimits());
  m.AddString(text);
  EXPECT_FALSE(m.WithinLimits());
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
  XDRWRAP r = testwire::Decode({{testwire::Long(3) + testwire::Str("ab") + testwire::Str("cd") +
                                     testwire::Str("ef") + testwire::Long(5),
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
