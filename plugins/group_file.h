// The text format of kesgp_file: one group per line,
//
//     group:user1,user2,...
//
// Blanks around the group name and around each user name are dropped, empty
// user items are skipped, and a line that is blank, starts with "#" or has no
// ":" is ignored. A group named on several lines gets the members of all of
// them; a user named twice in one group counts once. Names are otherwise kept
// byte for byte (case matters).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kesgp {

struct GroupRecord {
  std::string name;
  std::vector<std::string> users;  // in file order
};

// Groups in the order of their first line.
using GroupTable = std::vector<GroupRecord>;

GroupTable ParseGroupFile(std::string_view text);

// The whole content of the plain file at `path`, or nullopt when it cannot be
// opened or read or is no plain file. The open does not block: a FIFO named
// as the group file (or as its pointer file) is refused at once instead of
// holding the caller, and with it every request that asks about groups.
// Implemented in read_file_posix.cpp and read_file_win32.cpp.
std::optional<std::string> ReadGroupFile(const std::string& path);

// The groups that name `user`, in table order; empty when none does.
std::vector<std::string> GroupsOfUser(const GroupTable& table, std::string_view user);

// The group called `name`, or nullptr.
const GroupRecord* FindGroup(const GroupTable& table, std::string_view name);

}  // namespace kesgp
