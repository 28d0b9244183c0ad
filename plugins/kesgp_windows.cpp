// kesgp_windows: the machine's local groups, through the NetAPI32 functions
// (the Windows counterpart of kesgp_unix). Names are UTF-8 on the plug-in's
// side and converted at each call.
//
//   groups of a user:  the local groups the account belongs to, directly or
//                      through a global group of its domain, as
//                      NetUserGetLocalGroups gives them; NULL for an account
//                      the system does not know. The user may be given as
//                      "name" or as "DOMAIN\name".
//   users of a group:  the members of the local group that are user accounts,
//                      by account name without the domain (member groups and
//                      well-known principals are left out: the server compares
//                      the names with client user names); NULL for an unknown
//                      group.
//   change indicator:  the local groups and their members are read again at
//                      most every ten seconds; 1 when they differ from the
//                      previous reading, else 0. The account database has no
//                      modification stamp to watch, and one reading costs a
//                      few local calls, not one per request.
//   kesgp_initialise:  takes the first reading; 0, or the NetAPI32 status
//                      when the local groups cannot be listed.
//
// The functions are safe to call from several threads at once: the reading
// and its time are guarded by a mutex, and the NetAPI32 calls keep no state.
#include <windows.h>
// lm.h needs the types of windows.h before it.
#include <lm.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "plugins/group_list.h"
#include "plugins/kesgp.h"
#include "plugins/wide_text_win32.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kReadingInterval{10};

// Releases a buffer NetAPI32 allocated.
class NetBuffer {
 public:
  NetBuffer() = default;
  NetBuffer(const NetBuffer&) = delete;
  NetBuffer& operator=(const NetBuffer&) = delete;
  ~NetBuffer() {
    if (data_ != nullptr) ::NetApiBufferFree(data_);
  }
  BYTE** out() { return &data_; }
  template <typename T>
  const T* as() const {
    return reinterpret_cast<const T*>(data_);
  }

 private:
  BYTE* data_ = nullptr;
};

// The local groups' names, or nullopt with `*status` set when they cannot be
// listed.
std::optional<std::vector<std::wstring>> LocalGroups(NET_API_STATUS* status) {
  std::vector<std::wstring> names;
  DWORD_PTR resume = 0;
  for (;;) {
    NetBuffer buffer;
    DWORD read = 0, total = 0;
    *status =
        ::NetLocalGroupEnum(nullptr, 0, buffer.out(), MAX_PREFERRED_LENGTH, &read, &total, &resume);
    if (*status != NERR_Success && *status != ERROR_MORE_DATA) return std::nullopt;
    const auto* groups = buffer.as<LOCALGROUP_INFO_0>();
    for (DWORD i = 0; i < read; ++i) names.emplace_back(groups[i].lgrpi0_name);
    if (*status == NERR_Success) return names;
  }
}

// The user accounts of a local group, or nullopt when there is no such group.
std::optional<std::vector<std::string>> UserMembers(const std::wstring& group) {
  std::vector<std::string> names;
  DWORD_PTR resume = 0;
  for (;;) {
    NetBuffer buffer;
    DWORD read = 0, total = 0;
    const NET_API_STATUS status = ::NetLocalGroupGetMembers(
        nullptr, group.c_str(), 1, buffer.out(), MAX_PREFERRED_LENGTH, &read, &total, &resume);
    if (status != NERR_Success && status != ERROR_MORE_DATA) return std::nullopt;
    const auto* members = buffer.as<LOCALGROUP_MEMBERS_INFO_1>();
    for (DWORD i = 0; i < read; ++i) {
      if (members[i].lgrmi1_sidusage == SidTypeUser && members[i].lgrmi1_name != nullptr)
        names.push_back(kesgp::Narrow(members[i].lgrmi1_name));
    }
    if (status == NERR_Success) return names;
  }
}

// Every local group with its user members, as one text to compare.
std::wstring Reading() {
  NET_API_STATUS status = 0;
  const std::optional<std::vector<std::wstring>> groups = LocalGroups(&status);
  if (!groups) return L"?" + std::to_wstring(status);
  std::wstring text;
  for (const std::wstring& group : *groups) {
    text += group + L":";
    if (std::optional<std::vector<std::string>> users = UserMembers(group)) {
      for (const std::string& user : *users) text += kesgp::Widen(user) + L",";
    }
    text += L"\n";
  }
  return text;
}

struct ChangeState {
  std::mutex lock;  // guards both fields
  std::wstring reading;
  Clock::time_point readAt{};
};

ChangeState& Changes() {
  static ChangeState state;
  return state;
}

}  // namespace

extern "C" {

KESGP_EXPORT int kesgp_initialise(void) {
  NET_API_STATUS status = 0;
  if (!LocalGroups(&status)) return static_cast<int>(status);
  ChangeState& state = Changes();
  std::lock_guard<std::mutex> guard(state.lock);
  state.reading = Reading();
  state.readAt = Clock::now();
  return 0;
}

KESGP_EXPORT int kesgp_get_last_update_timestamp(void) {
  ChangeState& state = Changes();
  std::lock_guard<std::mutex> guard(state.lock);
  const Clock::time_point now = Clock::now();
  if (state.readAt != Clock::time_point{} && now - state.readAt < kReadingInterval) return 0;
  std::wstring reading = Reading();
  const bool changed = state.readAt != Clock::time_point{} && reading != state.reading;
  state.reading = std::move(reading);
  state.readAt = now;
  return changed ? 1 : 0;
}

KESGP_EXPORT char** kesgp_get_groups_for_user(const char* user) {
  if (user == nullptr) return nullptr;
  std::vector<std::string> names;
  NetBuffer buffer;
  DWORD read = 0, total = 0;
  // All at once: the function does not resume.
  const NET_API_STATUS status =
      ::NetUserGetLocalGroups(nullptr, kesgp::Widen(user).c_str(), 0, LG_INCLUDE_INDIRECT,
                              buffer.out(), MAX_PREFERRED_LENGTH, &read, &total);
  if (status != NERR_Success) return nullptr;
  const auto* groups = buffer.as<LOCALGROUP_USERS_INFO_0>();
  for (DWORD i = 0; i < read; ++i) names.push_back(kesgp::Narrow(groups[i].lgrui0_name));
  return kesgp::MakeGroupList(names);
}

KESGP_EXPORT char** kesgp_get_users_in_group(const char* group) {
  if (group == nullptr) return nullptr;
  const std::optional<std::vector<std::string>> users = UserMembers(kesgp::Widen(group));
  return users ? kesgp::MakeGroupList(*users) : nullptr;
}

KESGP_EXPORT void kesgp_delete_group_list(char** list) {
  kesgp::FreeGroupList(list);
}

}  // extern "C"
