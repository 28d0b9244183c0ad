// Group membership for jobs restricted with `group`: the seam between the
// configuration and the group-processor plug-in.
//
// The plug-in itself (loading the library named by `groupprocessor`, its five
// entry points, the per-user cache and the two group requests) is not bound
// yet: until it is, no user belongs to any group, so a job with `group` is
// refused to every named user, and group data never reports a change. The
// functions below are the whole interface the rest of the server uses; the
// plug-in binding replaces group_processor.cpp.
#pragma once

#include <string>
#include <string_view>

namespace kestrun {

class ServerConfig;

// Called by the reader of kestrun.conf at the line of a global
// `groupprocessor` directive, with the path written there; `reload` is false
// on the first read.
void BindGroupProcessor(ServerConfig& config, const std::string& path, bool reload);

// Called once after the whole file was read when it held a `groupprocessor`
// directive (the binding reports its initialisation here).
void ReportGroupProcessor(ServerConfig& config, const std::string& path, bool reload);

// True when `user` belongs to one of the groups of `groups` (names separated
// by ","). Any thread may call.
bool IsUserInGroups(const ServerConfig& config, std::string_view groups, std::string_view user);

// Not 0 when the plug-in reports that group data changed since the last call.
int GroupsChanged(const ServerConfig& config);

// Makes every cached user's groups be fetched again at that user's next check.
void MarkGroupCacheStale(const ServerConfig& config);

}  // namespace kestrun
