// The built-in banner picture: a 48x48 GIF89a, shown when a job's banner has
// no picture of its own or its picture cannot be used.
#pragma once

#include <cstddef>

namespace kestrun {

extern const unsigned char kBuiltinBannerGif[];
extern const std::size_t kBuiltinBannerGifSize;

}  // namespace kestrun
