#include "protocol/xdr.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>

namespace kestrun::xdr {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

TEST(XdrWriter, NumbersAreBigEndianTwosComplement) {
  const struct {
    int32_t value;
    std::string bytes;
  } cases[] = {
      {0, Bytes({0, 0, 0, 0})},
      {1, Bytes({0, 0, 0, 1})},
      {-1, Bytes({0xff, 0xff, 0xff, 0xff})},
      {0x12345678, Bytes({0x12, 0x34, 0x56, 0x78})},
      {INT32_MIN, Bytes({0x80, 0, 0, 0})},
  };
  for (const auto& c : cases) {
    std::array<char, 4> area{};
    Writer w(area);
    ASSERT_TRUE(w.PutInt32(c.value));
    EXPECT_EQ(std::string(area.data(), 4), c.bytes) << c.value;
    Reader r(area);
    EXPECT_EQ(r.GetInt32(), c.value);
  }
}

TEST(XdrWriter, StringsAreLengthCharactersAndZeroPadding) {
  const struct {
    std::string_view text;
    std::string bytes;
  } cases[] = {
      {"", Bytes({0, 0, 0, 0})},
      {"a", Bytes({0, 0, 0, 1, 'a', 0, 0, 0})},
      {"abcd", Bytes({0, 0, 0, 4, 'a', 'b', 'c', 'd'})},
      {"abcde", Bytes({0, 0, 0, 5, 'a', 'b', 'c', 'd', 'e', 0, 0, 0})},
  };
  for (const auto& c : cases) {
    std::array<char, 16> area;
    area.fill('\x55');  // padding must be written, not left
    Writer w(area);
    ASSERT_TRUE(w.PutString(c.text, 100));
    ASSERT_EQ(w.position(), c.bytes.size());
    EXPECT_EQ(std::string(area.data(), w.position()), c.bytes);
    EXPECT_EQ(StringSize(c.text.size()), c.bytes.size());
  }
}

TEST(XdrWriter, AFieldThatDoesNotFitWritesNothing) {
  std::array<char, 7> area{};
  Writer w(area);
  ASSERT_TRUE(w.PutInt32(7));
  EXPECT_FALSE(w.PutInt32(8));
  EXPECT_FALSE(w.PutString("", 10));
  EXPECT_EQ(w.position(), 4u);
  Writer longText(area);
  EXPECT_FALSE(longText.PutString("abc", 2));  // longer than the maximum
  EXPECT_EQ(longText.position(), 0u);
}

TEST(XdrReader, MalformedFieldsAreRefusedAndLeaveTheCursor) {
  const struct {
    const char* name;
    std::string bytes;
    size_t maxLength;
  } cases[] = {
      {"length beyond the maximum", Bytes({0, 0, 0, 5, 'a', 'b', 'c', 'd', 'e', 0, 0, 0}), 4},
      {"characters missing", Bytes({0, 0, 0, 5, 'a', 'b'}), 100},
      {"padding missing", Bytes({0, 0, 0, 5, 'a', 'b', 'c', 'd', 'e'}), 100},
      {"length word cut", Bytes({0, 0, 0}), 100},
      {"hostile length", Bytes({0xff, 0xff, 0xff, 0xff, 'a', 0, 0, 0}), SIZE_MAX},
  };
  for (const auto& c : cases) {
    Reader r(c.bytes);
    EXPECT_FALSE(r.GetString(c.maxLength)) << c.name;
    EXPECT_EQ(r.position(), 0u) << c.name;
  }
  Reader shortNumber(std::string_view("\0\0\0", 3));
  EXPECT_FALSE(shortNumber.GetInt32());
}

TEST(XdrReader, StringKeepsNulAndIgnoresThePaddingsContents) {
  const std::string bytes = Bytes({0, 0, 0, 3, 'a', 0, 'b', 'x', 0, 0, 0, 9});
  Reader r(bytes);
  EXPECT_EQ(r.GetString(3), std::string_view("a\0b", 3));
  EXPECT_EQ(r.GetInt32(), 9);
  EXPECT_EQ(r.left(), 0u);
}

}  // namespace
}  // namespace kestrun::xdr
