// kesgp_unix: the machine's own users and groups, through the C library's name
// service (getpwnam_r, getgrouplist, getgrgid_r, getgrnam_r). Whatever the
// system's nsswitch.conf configures - /etc files, LDAP, a directory service -
// answers.
//
//   groups of a user:  the user's primary group first, then the supplementary
//                      groups, as getgrouplist gives them (what `id -Gn USER`
//                      prints); NULL for a user the system does not know.
//   users of a group:  the member list of the group entry (what
//                      `getent group GROUP` prints); users who have the group
//                      only as their primary group are not listed, because
//                      finding them would mean enumerating every account of
//                      the directory. NULL for an unknown group.
//   change indicator:  1 when /etc/group or /etc/passwd was modified, replaced
//                      or removed since the previous call (or since
//                      kesgp_initialise), else 0. Changes made only inside a
//                      directory service are not seen.
//   kesgp_initialise:  records the files' stamps; always returns 0.
//
// The functions are safe to call from several threads at once: the stamps are
// guarded by a mutex and every name-service call is a reentrant *_r variant.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include "plugins/file_stamp.h"
#include "plugins/group_list.h"
#include "plugins/kesgp.h"

namespace {

const char* const kGroupFile = "/etc/group";
const char* const kPasswdFile = "/etc/passwd";

struct ChangeState {
  std::mutex lock;  // guards the two stamps
  kesgp::FileStamp group;
  kesgp::FileStamp passwd;
};

ChangeState& Changes() {
  static ChangeState state;
  return state;
}

// Calls a reentrant lookup with a buffer that grows while it reports ERANGE.
// Returns false when the entry does not exist or the lookup failed.
template <typename Entry, typename Lookup>
bool LookUp(Lookup lookup, Entry* entry, std::vector<char>* buffer) {
  buffer->resize(1024);
  for (;;) {
    Entry* found = nullptr;
    const int rc = lookup(entry, buffer->data(), buffer->size(), &found);
    if (rc == ERANGE && buffer->size() < (1u << 24)) {
      buffer->resize(buffer->size() * 2);
      continue;
    }
    return rc == 0 && found != nullptr;
  }
}

std::string GroupName(gid_t gid) {
  group entry{};
  std::vector<char> buffer;
  const bool found = LookUp<group>(
      [gid](group* g, char* b, size_t n, group** r) { return getgrgid_r(gid, g, b, n, r); }, &entry,
      &buffer);
  // A group id without a name is shown as its number, as `id` does.
  return found ? std::string(entry.gr_name) : std::to_string(gid);
}

}  // namespace

extern "C" {

KESGP_EXPORT int kesgp_initialise(void) {
  ChangeState& state = Changes();
  std::lock_guard<std::mutex> guard(state.lock);
  state.group = kesgp::StampOf(kGroupFile);
  state.passwd = kesgp::StampOf(kPasswdFile);
  return 0;
}

KESGP_EXPORT int kesgp_get_last_update_timestamp(void) {
  ChangeState& state = Changes();
  const kesgp::FileStamp group = kesgp::StampOf(kGroupFile);
  const kesgp::FileStamp passwd = kesgp::StampOf(kPasswdFile);
  std::lock_guard<std::mutex> guard(state.lock);
  const bool changed = !(group == state.group) || !(passwd == state.passwd);
  state.group = group;
  state.passwd = passwd;
  return changed ? 1 : 0;
}

KESGP_EXPORT char** kesgp_get_groups_for_user(const char* user) {
  if (user == nullptr) return nullptr;
  passwd account{};
  std::vector<char> buffer;
  const bool known = LookUp<passwd>(
      [user](passwd* p, char* b, size_t n, passwd** r) { return getpwnam_r(user, p, b, n, r); },
      &account, &buffer);
  if (!known) return nullptr;

  std::vector<gid_t> gids(32);
  for (;;) {
    int count = static_cast<int>(gids.size());
    if (getgrouplist(user, account.pw_gid, gids.data(), &count) >= 0) {
      gids.resize(count);
      break;
    }
    // Too small: count now holds the size needed (older C libraries leave it
    // unchanged, hence the doubling). NGROUPS_MAX is 65536 on Linux.
    if (gids.size() > 65536) return nullptr;
    gids.resize(std::max<size_t>(static_cast<size_t>(count), gids.size() * 2));
  }

  std::vector<std::string> names;
  names.reserve(gids.size());
  for (gid_t gid : gids) names.push_back(GroupName(gid));
  return kesgp::MakeGroupList(names);
}

KESGP_EXPORT char** kesgp_get_users_in_group(const char* groupName) {
  if (groupName == nullptr) return nullptr;
  group entry{};
  std::vector<char> buffer;
  const bool known =
      LookUp<group>([groupName](group* g, char* b, size_t n,
                                group** r) { return getgrnam_r(groupName, g, b, n, r); },
                    &entry, &buffer);
  if (!known) return nullptr;
  std::vector<std::string> names;
  for (char** member = entry.gr_mem; member != nullptr && *member != nullptr; ++member) {
    names.emplace_back(*member);
  }
  return kesgp::MakeGroupList(names);
}

KESGP_EXPORT void kesgp_delete_group_list(char** list) {
  kesgp::FreeGroupList(list);
}

}  // extern "C"
