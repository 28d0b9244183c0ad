// The banner strip, its picture and the icon images.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "config/gif.h"
#include "dialogs/banner.h"
#include "dialogs/builtin_banner.h"
#include "tests/dialogs/dialog_fixture.h"

namespace kestrun::test {
namespace {

std::string Gif(int width, int height) {
  std::string g("GIF89a");
  for (int v : {width, height}) {
    g.push_back(static_cast<char>(v & 0xFF));
    g.push_back(static_cast<char>(v >> 8));
  }
  return g + "rest of the picture";
}

struct BannerCase {
  const char* name;
  std::string file;      // written as the banner graphic; "" for no graphic
  bool missing = false;  // name a file that does not exist
  bool ownPicture = false;
  std::vector<std::string> logged;
  bool fifo = false;  // name a FIFO that never gets a writer
};
void PrintTo(const BannerCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<BannerCase> BannerCases() {
  return {
      {"NoGraphicUsesBuiltin", "", false, false, {}},
      {"LargestAccepted", Gif(200, 52), false, true, {}},
      {"TooWide",
       Gif(201, 52),
       false,
       false,
       {"GraphicFile \"@\" dimensions (201 x 52) are invalid (max dimensions are 200 x 52)",
        "Using default graphic"}},
      {"TooHigh",
       Gif(200, 53),
       false,
       false,
       {"GraphicFile \"@\" dimensions (200 x 53) are invalid (max dimensions are 200 x 52)",
        "Using default graphic"}},
      {"PngRefused",
       "\x89PNG\r\n\x1a\n....",
       false,
       false,
       {"GraphicFile \"@\" is not a GIF file or has an invalid version string.",
        "Using default graphic"}},
      {"MissingFile",
       "",
       true,
       false,
       {"Graphic File @ not found or no read access - using default graphic."}},
      {"FifoIsNeverWaitedOn",
       "",
       true,
       false,
       {"Graphic File @ not found or no read access - using default graphic."},
       true},
  };
}

struct BannerTest : DialogTest, testing::WithParamInterface<BannerCase> {};

TEST_P(BannerTest, ChoosesPictureAndLogs) {
  const BannerCase& c = GetParam();
  job.banner = true;
  job.title = "Backup";
  std::string expected = dialogs::BuiltinBannerBase64();
  if (!c.file.empty() || c.missing) {
    job.bannerGraphic = home.File("banner.gif");
    if (!c.missing) home.Write("banner.gif", c.file);
    if (c.fifo) {
      ASSERT_EQ(::mkfifo(job.bannerGraphic.c_str(), 0600), 0);
    }
    if (c.ownPicture) expected = Base64Encode(c.file);
  }
  const std::string script = Generate({""});
  EXPECT_NE(script.find("image create photo bi -format gif -data \"" + expected + "\"\n"),
            std::string::npos);
  std::string log;
  for (std::string line : c.logged) {
    if (size_t at = line.find('@'); at != std::string::npos) line.replace(at, 1, job.bannerGraphic);
    log += line + "\n";
  }
  EXPECT_EQ(Logged(), log);
  EXPECT_TRUE(
      HasLine(script, "set gi [.w.t.b create image [expr $wd -10]  30 -anchor e -image bi]"));
  EXPECT_TRUE(
      HasLine(script, ".w.t.b create text 5 15 -anchor w -font BannerTitle -text \"Backup\""));
  EXPECT_TRUE(HasLine(script, ".w.t.b create text 5 35 -anchor w -font Kestrun -text \" \""));
}

INSTANTIATE_TEST_SUITE_P(Pictures, BannerTest, testing::ValuesIn(BannerCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BuiltinBanner, IsA48By48Gif89a) {
  const std::string gif(reinterpret_cast<const char*>(kBuiltinBannerGif), kBuiltinBannerGifSize);
  ASSERT_GE(gif.size(), 13u);
  EXPECT_EQ(gif.substr(0, 10), std::string("GIF89a\x30\x00\x30\x00", 10));
  EXPECT_EQ(gif[10] & 0x87, 0x87);  // global palette of 256 colours
  EXPECT_EQ(gif.back(), ';');
  EXPECT_EQ(dialogs::BuiltinBannerBase64(), Base64Encode(gif));
}

TEST_F(DialogTest, IconsAndValidIconFollowListBoxIcons) {
  job.icons.push_back(JobIcon{"DISK", "R0lG\nODlh\n", 16, 16});
  std::string script = Generate({""});
  EXPECT_NE(script.find("image create photo iconDISK -format gif -data \"R0lG\nODlh\n\"\n"),
            std::string::npos);
  EXPECT_NE(script.find("proc ValidIcon {IconName} {\n  return 0\n}\n"), std::string::npos);
  job.listBoxIcons = true;
  script = Generate({""});
  EXPECT_NE(script.find("proc ValidIcon {IconName} {\n  foreach ic [image names] {\n"
                        "    if {\"icon$IconName\" == $ic} {\n      return 1\n    }\n  }\n"
                        "  return 0\n}\n"),
            std::string::npos);
  EXPECT_TRUE(HasLine(script, "ttk::style configure Treeview -padding {-16 0 0 0}"));
}

TEST_F(DialogTest, BannerOffHasEmptyCanvasAndNoTexts) {
  job.bannerHeading = "unused";
  const std::string script = Generate({""});
  EXPECT_TRUE(HasLine(script, "canvas .w.t.b -height 0"));
  EXPECT_EQ(script.find("create text"), std::string::npos);
  EXPECT_EQ(Logged(), "");
}

}  // namespace
}  // namespace kestrun::test
