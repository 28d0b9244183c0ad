#include "config/group_processor.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "base/log.h"
#include "config/server_config.h"
#include "platform/dynamic_library.h"

namespace kestrun {

namespace {

// The five exports, in the order they are resolved and checked.
constexpr const char* kInitialise = "kesgp_initialise";
constexpr const char* kLastUpdateTimestamp = "kesgp_get_last_update_timestamp";
constexpr const char* kGetGroupsForUser = "kesgp_get_groups_for_user";
constexpr const char* kGetUsersInGroup = "kesgp_get_users_in_group";
constexpr const char* kDeleteGroupList = "kesgp_delete_group_list";

// Keeps a loaded library for the rest of the process. Another thread may still
// be inside a plug-in while exit() runs static destructors, so the list is
// deliberately never destroyed (the union's destructor leaves its member
// alone) and no plug-in is ever unloaded.
void KeepLoaded(DynamicLibrary library) {
  union KeptLibraries {
    KeptLibraries() : list() {}
    ~KeptLibraries() {}
    std::vector<DynamicLibrary> list;
  };
  static KeptLibraries kept;
  static std::mutex lock;  // guards kept.list
  std::lock_guard<std::mutex> hold(lock);
  kept.list.push_back(std::move(library));
}

// A binding failure: logged; on the first read also printed on standard error
// (after the loader's own description, when there is one) and fatal.
std::string BindingFailed(const ServerConfig& config, bool reload, const std::string& message,
                          const std::string& loaderError = {}) {
  LogServerText(config, message);
  if (reload) return loaderError.empty() ? message : message + ": " + loaderError;
  if (!loaderError.empty()) std::fprintf(stderr, "%s\n", loaderError.c_str());
  std::fprintf(stderr, "%s\n", message.c_str());
  std::exit(1);
}

// True when one item of the ","-separated `groups` equals one of `userGroups`.
// Items are taken as written, blanks included; empty items match nothing.
bool AnyItemIn(std::string_view groups, const GroupNames& userGroups) {
  for (;;) {
    const size_t comma = groups.find(',');
    const std::string_view item = groups.substr(0, comma);
    if (!item.empty()) {
      for (const std::string& group : userGroups) {
        if (group == item) return true;
      }
    }
    if (comma == std::string_view::npos) return false;
    groups.remove_prefix(comma + 1);
  }
}

}  // namespace

std::string GroupProcessor::Bind(const ServerConfig& config, const std::string& path, bool reload) {
  std::string loaderError;
  std::optional<DynamicLibrary> library = DynamicLibrary::Open(path, &loaderError);
  if (!library) {
    // The entry points of the earlier binding, if any, stay in force.
    return BindingFailed(config, reload, "Could not find or open Group Processor \"" + path + "\"",
                         loaderError);
  }
  EntryPoints found;
  found.initialise = library->Function<int()>(kInitialise);
  found.lastUpdateTimestamp = library->Function<int()>(kLastUpdateTimestamp);
  found.groupsForUser = library->Function<char**(const char*)>(kGetGroupsForUser);
  found.usersInGroup = library->Function<char**(const char*)>(kGetUsersInGroup);
  found.deleteGroupList = library->Function<void(char**)>(kDeleteGroupList);
  const std::pair<bool, const char*> checks[] = {
      {found.initialise != nullptr, kInitialise},
      {found.lastUpdateTimestamp != nullptr, kLastUpdateTimestamp},
      {found.groupsForUser != nullptr, kGetGroupsForUser},
      {found.usersInGroup != nullptr, kGetUsersInGroup},
      {found.deleteGroupList != nullptr, kDeleteGroupList},
  };
  KeepLoaded(std::move(*library));
  {
    // The new library's functions replace the old ones even when some are
    // missing: a missing one is absent from now on.
    std::lock_guard<std::mutex> hold(pluginLock_);
    entryPoints_ = found;
  }
  for (const auto& [present, name] : checks) {
    if (!present) {
      return BindingFailed(config, reload,
                           std::string("Could not locate function \"") + name +
                               "\" in Group Processor \"" + path + "\"");
    }
  }
  if (reload) return "";  // initialised at the first read only
  int result;
  {
    std::lock_guard<std::mutex> hold(pluginLock_);
    result = entryPoints_.initialise();
  }
  initialiseResult_ = result;
  if (result == 0) ready_.store(true);
  return "";
}

void GroupProcessor::Report(const ServerConfig& config, const std::string& path, bool reload) {
  const int result = reload ? 0 : initialiseResult_;
  LogMessage(config, "kesgp_initialise in Group Processor \"%s\" returns %d", path.c_str(), result);
  LogServerText(config, result == 0 ? "Group Processor initialised successfully"
                                    : "Group Processor failed to initialise");
}

std::optional<GroupNames> GroupProcessor::Fetch(Getter getter, std::string_view name) {
  // A name with a NUL byte cannot be passed as a C text without becoming
  // another name; nobody has it.
  if (!ready() || name.find('\0') != std::string_view::npos) return std::nullopt;
  const std::string text(name);
  std::lock_guard<std::mutex> hold(pluginLock_);
  const kesgp_get_groups_for_user_fn get =
      getter == Getter::GroupsForUser ? entryPoints_.groupsForUser : entryPoints_.usersInGroup;
  // Without the deleter a list could not be given back, so it is not asked for.
  if (get == nullptr || entryPoints_.deleteGroupList == nullptr) return std::nullopt;
  char** list = get(text.c_str());
  std::optional<GroupNames> names;
  if (list != nullptr) {
    names.emplace();
    for (char** item = list; *item != nullptr; ++item) names->emplace_back(*item);
  }
  entryPoints_.deleteGroupList(list);
  return names;
}

bool GroupProcessor::IsUserInGroups(std::string_view groups, std::string_view user) {
  if (!ready()) return false;
  const std::string key(user);
  uint64_t generation;
  {
    std::lock_guard<std::mutex> hold(cacheLock_);
    const auto it = cache_.find(key);
    if (it != cache_.end() && !it->second.stale) return AnyItemIn(groups, it->second.groups);
    generation = generation_;
  }
  // The plug-in is asked without cacheLock_, so checks of cached users go on
  // meanwhile. Two threads refilling the same user both ask; either answer
  // is current.
  std::optional<GroupNames> fetched = Fetch(Getter::GroupsForUser, user);
  std::lock_guard<std::mutex> hold(cacheLock_);
  UserGroupsEntry& entry = cache_[key];
  entry.groups = fetched ? std::move(*fetched) : GroupNames{};
  // A change marked while the plug-in was answering may be missing from this
  // answer: the entry then stays stale and is fetched again next time.
  entry.stale = generation != generation_;
  return AnyItemIn(groups, entry.groups);
}

int GroupProcessor::GroupsChanged() {
  if (!ready()) return 0;
  std::lock_guard<std::mutex> hold(pluginLock_);
  return entryPoints_.lastUpdateTimestamp == nullptr ? 0 : entryPoints_.lastUpdateTimestamp();
}

void GroupProcessor::MarkStale() {
  std::lock_guard<std::mutex> hold(cacheLock_);
  for (auto& [user, entry] : cache_) entry.stale = true;
  ++generation_;
}

std::optional<GroupNames> GroupProcessor::GroupsForUser(std::string_view user) {
  return Fetch(Getter::GroupsForUser, user);
}

std::optional<GroupNames> GroupProcessor::UsersInGroup(std::string_view group) {
  return Fetch(Getter::UsersInGroup, group);
}

std::string BindGroupProcessor(ServerConfig& config, const std::string& path, bool reload) {
  return config.groupProcessor().Bind(config, path, reload);
}

void ReportGroupProcessor(ServerConfig& config, const std::string& path, bool reload) {
  config.groupProcessor().Report(config, path, reload);
}

bool IsUserInGroups(const ServerConfig& config, std::string_view groups, std::string_view user) {
  return config.groupProcessor().IsUserInGroups(groups, user);
}

int GroupsChanged(const ServerConfig& config) {
  return config.groupProcessor().GroupsChanged();
}

void MarkGroupCacheStale(const ServerConfig& config) {
  config.groupProcessor().MarkStale();
}

std::optional<GroupNames> GetGroupsForUser(const ServerConfig& config, std::string_view user) {
  return config.groupProcessor().GroupsForUser(user);
}

std::optional<GroupNames> GetUsersInGroup(const ServerConfig& config, std::string_view group) {
  return config.groupProcessor().UsersInGroup(group);
}

}  // namespace kestrun
