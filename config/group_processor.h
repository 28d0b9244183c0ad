// Group membership through the group-processor plug-in: the library named by
// the global `groupprocessor` directive (its interface is plugins/kesgp.h),
// the per-user cache of its answers, and the checks the rest of the server
// makes with them.
//
// States. Not configured: no entry points, not ready; every check answers
// false and both getters answer none. Bound: a read of kestrun.conf held a
// `groupprocessor` directive and the library's entry points are resolved.
// Ready: additionally, kesgp_initialise returned 0 at the first read; that is
// never cleared, and a reload binds the library again without initialising
// it. Only a ready plug-in is ever asked about groups or changes: a plug-in
// that failed to initialise is not called again.
//
// Threads and locks. Binding and reporting run on the thread that reads
// kestrun.conf (start-up, then the listener). Everything else may be called
// from any thread: request threads, scheduled runs, the listener.
// - pluginLock_ guards the entry points and is held for every call into the
//   plug-in, so the plug-in is never entered by two threads at once and a
//   reload cannot swap an entry point under a running call.
// - cacheLock_ guards the cache entries and the change generation. Appending
//   an entry, refilling a stale one and marking entries stale happen under it.
// - The two locks are never held together: a check takes its cache entry
//   under cacheLock_, releases it, asks the plug-in under pluginLock_, then
//   stores the answer under cacheLock_ again. Neither is held while logging
//   (which takes the environment lock).
// Libraries, once loaded, stay loaded until the process ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "plugins/kesgp.h"

namespace kestrun {

class ServerConfig;

using GroupNames = std::vector<std::string>;

// One user's cached groups.
struct UserGroupsEntry {
  bool stale = false;  // fetch again at the user's next check
  GroupNames groups;   // in the plug-in's order
};

// The group processor of one ServerConfig (see ServerConfig::groupProcessor).
// The free functions below are the interface the rest of the server uses.
class GroupProcessor {
 public:
  GroupProcessor() = default;
  GroupProcessor(const GroupProcessor&) = delete;
  GroupProcessor& operator=(const GroupProcessor&) = delete;

  bool ready() const { return ready_.load(); }

  // --- on the reading thread ---
  std::string Bind(const ServerConfig& config, const std::string& path, bool reload);
  void Report(const ServerConfig& config, const std::string& path, bool reload);

  // --- any thread ---
  bool IsUserInGroups(std::string_view groups, std::string_view user);
  int GroupsChanged();
  void MarkStale();
  std::optional<GroupNames> GroupsForUser(std::string_view user);
  std::optional<GroupNames> UsersInGroup(std::string_view group);

 private:
  struct EntryPoints {
    kesgp_initialise_fn initialise = nullptr;
    kesgp_get_last_update_timestamp_fn lastUpdateTimestamp = nullptr;
    kesgp_get_groups_for_user_fn groupsForUser = nullptr;
    kesgp_get_users_in_group_fn usersInGroup = nullptr;
    kesgp_delete_group_list_fn deleteGroupList = nullptr;
  };
  enum class Getter { GroupsForUser, UsersInGroup };
  // Calls a getter and copies its list, which goes back to the plug-in's
  // kesgp_delete_group_list (also when the getter answered none). None when
  // the plug-in is not ready, the getter is absent or it answered none.
  std::optional<GroupNames> Fetch(Getter getter, std::string_view name);

  std::mutex pluginLock_;  // guards entryPoints_; held for every call into the plug-in
  EntryPoints entryPoints_;
  std::atomic<bool> ready_{false};
  int initialiseResult_ = 0;  // the reading thread only

  std::mutex cacheLock_;                                    // guards cache_ and generation_
  std::unordered_map<std::string, UserGroupsEntry> cache_;  // by user name, byte for byte
  uint64_t generation_ = 0;                                 // counts MarkStale calls
};

// Called by the reader of kestrun.conf at the line of a global
// `groupprocessor` directive, with the path written there; `reload` is false
// on the first read. Loads the library and resolves its five functions. A
// failure is logged; on the first read it is also printed on standard error
// and the process ends with status 1. On a reload, a library that cannot be
// loaded leaves the earlier binding in force, while a missing function
// replaces the binding with the functions that were found. Returns the
// failure's text (with the loader's description), empty when it bound.
std::string BindGroupProcessor(ServerConfig& config, const std::string& path, bool reload);

// Called once after the whole file was read when it held a `groupprocessor`
// directive: logs the initialisation's result (0 on a reload).
void ReportGroupProcessor(ServerConfig& config, const std::string& path, bool reload);

// True when `user` belongs to one of the groups of `groups` (names separated
// by ","; blanks are part of the names; compared byte for byte). The user's
// groups come from the cache, fetched from the plug-in on the user's first
// check and again after MarkGroupCacheStale. False when the plug-in is not
// ready. Any thread may call.
bool IsUserInGroups(const ServerConfig& config, std::string_view groups, std::string_view user);

// The plug-in's change indicator: not 0 when group data changed. 0 when the
// plug-in is not ready.
int GroupsChanged(const ServerConfig& config);

// Makes every cached user's groups be fetched again at that user's next check.
void MarkGroupCacheStale(const ServerConfig& config);

// Straight from the plug-in, without the cache: the groups of a user and the
// users of a group, copied in the plug-in's order. None when the plug-in is not
// ready or answers none.
std::optional<GroupNames> GetGroupsForUser(const ServerConfig& config, std::string_view user);
std::optional<GroupNames> GetUsersInGroup(const ServerConfig& config, std::string_view group);

}  // namespace kestrun
