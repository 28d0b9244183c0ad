// No plug-in binding yet: see group_processor.h.
#include "config/group_processor.h"

namespace kestrun {

void BindGroupProcessor(ServerConfig&, const std::string&, bool) {}

void ReportGroupProcessor(ServerConfig&, const std::string&, bool) {}

bool IsUserInGroups(const ServerConfig&, std::string_view, std::string_view) {
  return false;
}

int GroupsChanged(const ServerConfig&) {
  return 0;
}

void MarkGroupCacheStale(const ServerConfig&) {}

}  // namespace kestrun
