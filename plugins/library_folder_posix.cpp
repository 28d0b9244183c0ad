#include <dlfcn.h>

#include "plugins/library_folder.h"

namespace kesgp {

std::string LibraryFolder(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return ".";
  const std::string library = info.dli_fname;
  const size_t slash = library.rfind('/');
  return slash == std::string::npos ? "." : library.substr(0, slash);
}

bool IsAbsolutePath(std::string_view path) {
  return !path.empty() && path.front() == '/';
}

}  // namespace kesgp
