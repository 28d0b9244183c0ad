// GIF pictures as the dialogs carry them: the header check, the base64 text,
// and the icons of a job, loaded while kestrun.conf is read.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>

#include "config/job_definition.h"

namespace kestrun {

class ServerConfig;

struct GifSize {
  int32_t width = 0;
  int32_t height = 0;
};

// Checks that `file` (the picture at `path`) starts with "GIF87a" or "GIF89a"
// and, when both maxima are at least 1, that its logical screen fits them.
// A refusal is logged with its reason. `file` is read from its start and left
// positioned at its start in every case.
std::optional<GifSize> CheckGif(const ServerConfig& config, const std::string& path,
                                std::istream& file, int32_t maxWidth, int32_t maxHeight);

// Base64 (RFC 4648, "=" padding) with a line feed after every 80 characters
// and after a last, shorter line; an empty input gives an empty text.
std::string Base64Encode(std::string_view bytes);
// The same for the rest of `file`.
std::string Base64Encode(std::istream& file);

// Loads the icon `name` from the GIF file at `path` into job.icons. A file
// that is missing, unreadable or not a GIF is logged and left out.
void LoadIcon(const ServerConfig& config, JobDefinition& job, std::string_view name,
              const std::string& path);

}  // namespace kestrun
