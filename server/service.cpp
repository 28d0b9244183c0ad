#include "server/service.h"

#include <cstdio>

namespace kestrun {

void InstallService(const std::string&, const std::string&) {
  std::fputs("Could not add service\n", stdout);
}

void UninstallService() {
  std::fputs("Could not remove service\n", stdout);
}

void RunAsService() {}

std::string ProgramFileName(const std::string& argv0) {
  const size_t cut = argv0.find_last_of("/\\");
  return cut == std::string::npos ? argv0 : argv0.substr(cut + 1);
}

}  // namespace kestrun
