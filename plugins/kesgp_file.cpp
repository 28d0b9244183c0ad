// kesgp_file: users and groups from a plain text file, for small sites and for
// tests. The file's format is described in group_file.h ("group:user1,user2"
// per line).
//
// Which file: the path in the environment variable KESGP_FILE when it is set
// and not empty; otherwise the first non-blank line of the file
// "kesgp_file.path" in the directory that holds this library. A relative path
// from that file counts from the library's directory. Both are looked at once,
// by kesgp_initialise.
//
//   kesgp_initialise:  0 when the file was read; 1 when no file is named
//                      (neither KESGP_FILE nor kesgp_file.path); 2 when the
//                      named file cannot be read.
//   change indicator:  1 when the file's modification time (or its identity
//                      or size) differs from what it was at the previous call,
//                      or at kesgp_initialise; else 0.
//   the getters:       answer from the file as it is now: whenever the file
//                      changed since it was last read it is read again, so a
//                      host that never asks for the change indicator still
//                      gets current answers. If the file has become
//                      unreadable, the last contents read stay in force.
//                      A user named in no group, and a group that is not in
//                      the file, give NULL; a group line without members
//                      gives an empty list.
//
// The functions are safe to call from several threads at once (one mutex
// guards the state).
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "plugins/file_stamp.h"
#include "plugins/group_file.h"
#include "plugins/group_list.h"
#include "plugins/kesgp.h"
#include "plugins/library_folder.h"

namespace {

struct FileGroups {
  std::mutex lock;  // guards every field below
  std::string path;
  kesgp::GroupTable table;
  kesgp::FileStamp loaded;    // stamp of the file when `table` was read
  kesgp::FileStamp reported;  // stamp at the previous change-indicator call
};

FileGroups& State() {
  static FileGroups state;
  return state;
}

// The group file's path, or empty when none is named.
std::string GroupFilePath() {
  const char* fromEnvironment = std::getenv("KESGP_FILE");
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
  const std::string directory =
      kesgp::LibraryFolder(reinterpret_cast<const void*>(&kesgp_initialise));
  const std::optional<std::string> pointer = kesgp::ReadGroupFile(directory + "/kesgp_file.path");
  if (!pointer) return {};
  std::string_view rest = *pointer;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
      line.remove_suffix(1);
    }
    if (line.empty()) continue;
    if (kesgp::IsAbsolutePath(line)) return std::string(line);
    return directory + "/" + std::string(line);
  }
  return {};
}

// Reads the file again when it changed since `table` was read. The stamp is
// taken before reading, so a change during the read is caught next time.
// Returns false when the file could not be read (the table is left as it was).
bool Refresh(FileGroups& state) {
  const kesgp::FileStamp now = kesgp::StampOf(state.path);
  if (now == state.loaded && now.exists) return true;
  std::optional<std::string> text = kesgp::ReadGroupFile(state.path);
  if (!text) return false;
  state.table = kesgp::ParseGroupFile(*text);
  state.loaded = now;
  return true;
}

}  // namespace

extern "C" {

KESGP_EXPORT int kesgp_initialise(void) {
  FileGroups& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.path = GroupFilePath();
  state.table.clear();
  state.loaded = {};
  if (state.path.empty()) return 1;
  if (!Refresh(state)) return 2;
  state.reported = state.loaded;
  return 0;
}

KESGP_EXPORT int kesgp_get_last_update_timestamp(void) {
  FileGroups& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.path.empty()) return 0;
  const kesgp::FileStamp now = kesgp::StampOf(state.path);
  const bool changed = !(now == state.reported);
  state.reported = now;
  return changed ? 1 : 0;
}

KESGP_EXPORT char** kesgp_get_groups_for_user(const char* user) {
  if (user == nullptr) return nullptr;
  FileGroups& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.path.empty()) return nullptr;
  Refresh(state);
  const std::vector<std::string> groups = kesgp::GroupsOfUser(state.table, user);
  return groups.empty() ? nullptr : kesgp::MakeGroupList(groups);
}

KESGP_EXPORT char** kesgp_get_users_in_group(const char* group) {
  if (group == nullptr) return nullptr;
  FileGroups& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.path.empty()) return nullptr;
  Refresh(state);
  const kesgp::GroupRecord* record = kesgp::FindGroup(state.table, group);
  return record == nullptr ? nullptr : kesgp::MakeGroupList(record->users);
}

KESGP_EXPORT void kesgp_delete_group_list(char** list) {
  kesgp::FreeGroupList(list);
}

}  // extern "C"
