// The banner strip and the icon images of a dialog script.
#pragma once

#include <string>

#include "config/job_definition.h"

namespace kestrun {
class ServerConfig;
}

namespace kestrun::dialogs {

// Largest banner picture, in pixels.
inline constexpr int kBannerMaxWidth = 200;
inline constexpr int kBannerMaxHeight = 52;

// The built-in banner picture as base64 text.
const std::string& BuiltinBannerBase64();

// The base64 text of the banner picture the job shows: its `bannergraphic`,
// read and checked (at most 200x52); a missing, unreadable or refused file is
// logged and the built-in picture is used instead. Only a plain file is read,
// opened without blocking: a FIFO, device or directory counts as unreadable.
std::string BannerPicture(const ServerConfig& config, const JobDefinition& job);

// One "image create photo icon<name>" line per icon of the job, then the
// ValidIcon procedure (answering 0 always unless `listboxicons` is on).
void AppendIconImages(std::string& out, const JobDefinition& job);

// The banner canvas; with the banner on, it shows BannerPicture.
void AppendBannerBlock(std::string& out, const ServerConfig& config, const JobDefinition& job);

// The picture, heading and text placed on the banner canvas (banner on only).
void AppendBannerTexts(std::string& out, const JobDefinition& job);

}  // namespace kestrun::dialogs
