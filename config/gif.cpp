#include "config/gif.h"

#include <iterator>
#include <sstream>

#include "base/log.h"
#include "config/server_config.h"
#include "platform/filesystem.h"

namespace kestrun {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kGroupsPerLine = 20;  // 80 characters

bool ReadExactly(std::istream& file, char* area, std::streamsize size) {
  file.read(area, size);
  return file.gcount() == size;
}

}  // namespace

std::optional<GifSize> CheckGif(const ServerConfig& config, const std::string& path,
                                std::istream& file, int32_t maxWidth, int32_t maxHeight) {
  file.clear();
  file.seekg(0);
  char signature[6];
  unsigned char width[2];
  unsigned char height[2];
  const bool complete = ReadExactly(file, signature, 6) &&
                        ReadExactly(file, reinterpret_cast<char*>(width), 2) &&
                        ReadExactly(file, reinterpret_cast<char*>(height), 2);
  file.clear();
  file.seekg(0);
  const std::string_view sig(signature, 6);
  if (!complete || (sig != "GIF87a" && sig != "GIF89a")) {
    LogMessage(config, "GraphicFile \"%s\" is not a GIF file or has an invalid version string.",
               path.c_str());
    return std::nullopt;
  }
  const GifSize size{width[0] + 256 * width[1], height[0] + 256 * height[1]};
  if (maxWidth >= 1 && maxHeight >= 1 && (size.width > maxWidth || size.height > maxHeight)) {
    LogMessage(config,
               "GraphicFile \"%s\" dimensions (%d x %d) are invalid (max dimensions are %d x %d)",
               path.c_str(), size.width, size.height, maxWidth, maxHeight);
    return std::nullopt;
  }
  return size;
}

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  const size_t groups = (bytes.size() + 2) / 3;
  out.reserve(groups * 4 + groups / kGroupsPerLine + 2);
  for (size_t g = 0; g < groups; ++g) {
    const size_t i = g * 3;
    const size_t left = std::min<size_t>(3, bytes.size() - i);
    const uint32_t b0 = static_cast<unsigned char>(bytes[i]);
    const uint32_t b1 = left > 1 ? static_cast<unsigned char>(bytes[i + 1]) : 0;
    const uint32_t b2 = left > 2 ? static_cast<unsigned char>(bytes[i + 2]) : 0;
    const uint32_t v = (b0 << 16) | (b1 << 8) | b2;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(left > 1 ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back(left > 2 ? kAlphabet[v & 63] : '=');
    if ((g + 1) % kGroupsPerLine == 0) out.push_back('\n');
  }
  if (groups % kGroupsPerLine != 0) out.push_back('\n');
  return out;
}

std::string Base64Encode(std::istream& file) {
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return Base64Encode(bytes);
}

void LoadIcon(const ServerConfig& config, JobDefinition& job, std::string_view name,
              const std::string& path) {
  const std::optional<FileStatus> status = GetFileStatus(path);
  if (!status) {
    LogMessage(config, "Failed to find icon file \"%s\"", path.c_str());
    return;
  }
  // Only plain files: a device or a pipe named by mistake could be read
  // without end.
  const std::optional<std::string> bytes = ReadPlainFile(path);
  if (!bytes) {
    LogMessage(config, "Failed to open icon file \"%s\" for read", path.c_str());
    return;
  }
  std::istringstream file(*bytes);
  const std::optional<GifSize> size = CheckGif(config, path, file, 0, 0);
  if (!size) return;
  job.icons.push_back(JobIcon{std::string(name), Base64Encode(*bytes), size->width, size->height});
}

}  // namespace kestrun
