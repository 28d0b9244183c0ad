#include "protocol/scramble.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrun {
namespace {

TEST(KeyStream, SeedOneScramblesZerosToTheKnownBytes) {
  unsigned char data[8] = {};
  ScrambleBuffer(1, data, sizeof data);
  const unsigned char expected[8] = {0x86, 0xFA, 0xAF, 0x78, 0x3C, 0x4E, 0xC4, 0xFF};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(data[i], expected[i]) << i;
}

TEST(KeyStream, SeedZeroLeavesDataUnchanged) {
  std::string data(5000, 'k');
  ScrambleBuffer(0, data.data(), data.size());
  EXPECT_EQ(data, std::string(5000, 'k'));
}

TEST(KeyStream, TwiceWithTheSameSeedRestoresAcrossRegenerations) {
  std::string data(3000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  const std::string original = data;
  ScrambleBuffer(0x5F3759DF, data.data(), data.size());
  EXPECT_NE(data, original);
  ScrambleBuffer(0x5F3759DF, data.data(), data.size());
  EXPECT_EQ(data, original);
}

}  // namespace
}  // namespace kestrun
