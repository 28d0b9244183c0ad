#include "dialogs/banner.h"

#include <sstream>
#include <string_view>

#include "base/log.h"
#include "config/gif.h"
#include "config/server_config.h"
#include "dialogs/builtin_banner.h"
#include "dialogs/script_text.h"
#include "platform/filesystem.h"

namespace kestrun::dialogs {

const std::string& BuiltinBannerBase64() {
  static const std::string text = Base64Encode(
      std::string_view(reinterpret_cast<const char*>(kBuiltinBannerGif), kBuiltinBannerGifSize));
  return text;
}

std::string BannerPicture(const ServerConfig& config, const JobDefinition& job) {
  const std::string& path = job.bannerGraphic;
  if (path.empty()) return BuiltinBannerBase64();
  // Only a plain file, opened without blocking: a FIFO or device named by
  // mistake would otherwise hold the request thread for good.
  const std::optional<std::string> bytes = ReadPlainFile(path);
  if (!bytes) {
    LogMessage(config, "Graphic File %s not found or no read access - using default graphic.",
               path.c_str());
    return BuiltinBannerBase64();
  }
  std::istringstream file(*bytes);
  if (!CheckGif(config, path, file, kBannerMaxWidth, kBannerMaxHeight)) {
    LogMessage(config, "Using default graphic");
    return BuiltinBannerBase64();
  }
  return Base64Encode(*bytes);
}

void AppendIconImages(std::string& out, const JobDefinition& job) {
  // Icon names come from directive keywords and the data is base64 text, so
  // neither needs escaping; the name is still quoted as a value in case a
  // keyword carries something unusual.
  for (const JobIcon& icon : job.icons)
    Line(out, "image create photo ", Quoted{"icon" + icon.name}, " -format gif -data \"", icon.data,
         "\"");
  if (job.listBoxIcons) {
    Line(out, "proc ValidIcon {IconName} {");
    Line(out, "  foreach ic [image names] {");
    Line(out, "    if {\"icon$IconName\" == $ic} {");
    Line(out, "      return 1");
    Line(out, "    }");
    Line(out, "  }");
    Line(out, "  return 0");
    Line(out, "}");
  } else {
    Line(out, "proc ValidIcon {IconName} {");
    Line(out, "  return 0");
    Line(out, "}");
  }
}

void AppendBannerBlock(std::string& out, const ServerConfig& config, const JobDefinition& job) {
  if (!job.banner) {
    Line(out, "canvas .w.t.b -height 0");
    Line(out, "pack .w.t.b -anchor n -fill x -expand 1");
    return;
  }
  const std::string picture = BannerPicture(config, job);
  Line(out, "proc mg {a b} {");
  Line(out, "global gi");
  Line(out, "set x [expr (($b*10000)-($a*10000))-14]");
  Line(out, ".w.t.b coords $gi $x 30");
  Line(out, "}");
  Line(out,
       "canvas .w.t.b -height 60 -width 400 -background white -scrollregion {0 0 10000 60} "
       "-xscrollcommand [list mg]");
  Line(out, "image create photo bi -format gif -data \"", picture, "\"");
  Line(out, "pack .w.t.b -fill x -expand 1");
  Line(out, "pack .w.t -anchor n -fill x -expand 1");
}

void AppendBannerTexts(std::string& out, const JobDefinition& job) {
  const std::string_view title = job.title.empty() ? std::string_view("Kestrun") : job.title;
  const std::string_view heading = job.bannerHeading.empty() ? title : job.bannerHeading;
  const std::string_view text = job.bannerText.empty() ? std::string_view(" ") : job.bannerText;
  Line(out, "set gi [.w.t.b create image [expr $wd -10]  30 -anchor e -image bi]");
  Line(out, ".w.t.b create text 5 15 -anchor w -font BannerTitle -text \"", Written{heading}, "\"");
  Line(out, ".w.t.b create text 5 35 -anchor w -font Kestrun -text \"", Written{text}, "\"");
}

}  // namespace kestrun::dialogs
