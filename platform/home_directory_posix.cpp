#include <unistd.h>

#include <vector>

#include "platform/home_directory.h"

namespace kestrun {

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(0, slash);
}

std::string HomeDirectory() {
  // readlink does not say whether it truncated; grow until the text fits.
  std::vector<char> buf(256);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buf.size()) return DirectoryOf(std::string(buf.data(), n));
    buf.resize(buf.size() * 2);
  }
}

}  // namespace kestrun
