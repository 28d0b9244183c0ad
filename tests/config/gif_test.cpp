#include "config/gif.h"

#include <gtest/gtest.h>

#include <sstream>

#include "config/server_config.h"
#include "tests/config/conf_fixture.h"

namespace kestrun {
namespace {

std::string GifHeader(const char* version, int width, int height) {
  std::string h(version, 6);
  h.push_back(static_cast<char>(width & 0xFF));
  h.push_back(static_cast<char>(width >> 8));
  h.push_back(static_cast<char>(height & 0xFF));
  h.push_back(static_cast<char>(height >> 8));
  return h + "body";
}

struct GifCheckTest : testing::Test {
  GifCheckTest() : config(home.ConfPath()) { config.SetLogFile(home.File("k.log")); }
  std::string Logged() const {
    std::string log;
    std::istringstream in(home.Read("k.log"));
    for (std::string line; std::getline(in, line);) log += line.substr(20) + "\n";
    return log;
  }
  testconf::TempHome home;
  ServerConfig config;
};

TEST_F(GifCheckTest, BannerLimitsAreInclusive) {
  std::istringstream fits(GifHeader("GIF89a", 200, 52));
  std::optional<GifSize> size = CheckGif(config, "b.gif", fits, 200, 52);
  ASSERT_TRUE(size);
  EXPECT_EQ(size->width, 200);
  EXPECT_EQ(size->height, 52);
  EXPECT_EQ(fits.tellg(), 0);
  std::istringstream wide(GifHeader("GIF87a", 201, 52));
  EXPECT_FALSE(CheckGif(config, "w.gif", wide, 200, 52));
  EXPECT_EQ(wide.tellg(), 0);
  std::istringstream tall(GifHeader("GIF87a", 200, 53));
  EXPECT_FALSE(CheckGif(config, "t.gif", tall, 200, 52));
  EXPECT_EQ(Logged(),
            "GraphicFile \"w.gif\" dimensions (201 x 52) are invalid (max dimensions are 200 x "
            "52)\nGraphicFile \"t.gif\" dimensions (200 x 53) are invalid (max dimensions are 200 "
            "x 52)\n");
}

TEST_F(GifCheckTest, ZeroMaximumTurnsTheSizeCheckOff) {
  std::istringstream big(GifHeader("GIF89a", 65535, 300));
  std::optional<GifSize> size = CheckGif(config, "i.gif", big, 0, 52);
  ASSERT_TRUE(size);
  EXPECT_EQ(size->width, 65535);
}

TEST_F(GifCheckTest, OtherSignaturesAndShortFilesAreRefused) {
  for (const std::string& bytes : {std::string("\x89PNG\r\n\x1a\n\0\0\0\0", 12),
                                  std::string("GIF90a\1\0\1\0"), std::string("GIF89a\1\0\1")}) {
    std::istringstream file(bytes);
    EXPECT_FALSE(CheckGif(config, "p.png", file, 0, 0));
    EXPECT_EQ(file.tellg(), 0);
  }
  const std::string line =
      "GraphicFile \"p.png\" is not a GIF file or has an invalid version string.\n";
  EXPECT_EQ(Logged(), line + line + line);
}

TEST(Base64, GroupsPaddingAndLines) {
  EXPECT_EQ(Base64Encode(std::string_view("abc")), "YWJj\n");
  EXPECT_EQ(Base64Encode(std::string_view("ab")), "YWI=\n");
  EXPECT_EQ(Base64Encode(std::string_view("a")), "YQ==\n");
  EXPECT_EQ(Base64Encode(std::string_view("")), "");
  const std::string sixty(60, '\xff');
  EXPECT_EQ(Base64Encode(sixty), std::string(80, '/') + "\n");
  const std::string sixtyOne = sixty + "a";
  EXPECT_EQ(Base64Encode(sixtyOne), std::string(80, '/') + "\nYQ==\n");
  EXPECT_EQ(Base64Encode(std::string(120, '\0')), std::string(80, 'A') + "\n" +
                                                      std::string(80, 'A') + "\n");
}

TEST(Base64, EncodesTheRestOfAStream) {
  std::istringstream file(std::string("\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f", 12));
  EXPECT_EQ(Base64Encode(file), "ABCDEFGHIJKLMNOP\n");
}

}  // namespace
}  // namespace kestrun
