// Test helper: loads a group-processor plug-in with dlopen, resolves the five
// functions, and turns the lists it returns into vectors (handing each list
// back to kesgp_delete_group_list).
#pragma once

#include <dlfcn.h>

#include <optional>
#include <string>
#include <vector>

#include "plugins/kesgp.h"

namespace kestrun::testplugins {

class LoadedPlugin {
 public:
  explicit LoadedPlugin(const std::string& path)
      : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) {
      error_ = dlerror();
      return;
    }
    initialise = Symbol<kesgp_initialise_fn>("kesgp_initialise");
    timestamp = Symbol<kesgp_get_last_update_timestamp_fn>("kesgp_get_last_update_timestamp");
    groupsForUser = Symbol<kesgp_get_groups_for_user_fn>("kesgp_get_groups_for_user");
    usersInGroup = Symbol<kesgp_get_users_in_group_fn>("kesgp_get_users_in_group");
    deleteList = Symbol<kesgp_delete_group_list_fn>("kesgp_delete_group_list");
  }
  ~LoadedPlugin() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  LoadedPlugin(const LoadedPlugin&) = delete;
  LoadedPlugin& operator=(const LoadedPlugin&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  const std::string& error() const { return error_; }

  template <typename Fn>
  Fn Symbol(const char* name) const {
    return reinterpret_cast<Fn>(dlsym(handle_, name));
  }

  // nullopt when the getter returned NULL.
  std::optional<std::vector<std::string>> Take(char** list) const {
    if (list == nullptr) return std::nullopt;
    std::vector<std::string> names;
    for (char** item = list; *item != nullptr; ++item) names.emplace_back(*item);
    deleteList(list);
    return names;
  }
  std::optional<std::vector<std::string>> GroupsOf(const std::string& user) const {
    return Take(groupsForUser(user.c_str()));
  }
  std::optional<std::vector<std::string>> UsersOf(const std::string& group) const {
    return Take(usersInGroup(group.c_str()));
  }

  kesgp_initialise_fn initialise = nullptr;
  kesgp_get_last_update_timestamp_fn timestamp = nullptr;
  kesgp_get_groups_for_user_fn groupsForUser = nullptr;
  kesgp_get_users_in_group_fn usersInGroup = nullptr;
  kesgp_delete_group_list_fn deleteList = nullptr;

 private:
  void* handle_;
  std::string error_;
};

using Names = std::vector<std::string>;

}  // namespace kestrun::testplugins
