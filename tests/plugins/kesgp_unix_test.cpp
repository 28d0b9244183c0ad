// kesgp_unix answers for the real accounts of this machine exactly as the
// system's own tools do: `id -Gn USER` for a user's groups and `getent group
// GROUP` for a group's members. Nothing on the machine is changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "tests/plugins/plugin_loader.h"

namespace kestrun::testplugins {
namespace {

// Standard output of a command, or nullopt when it exits with another status
// than 0.
std::optional<std::string> Output(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string text;
  char chunk[1024];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, n);
  return pclose(pipe) == 0 ? std::optional<std::string>(text) : std::nullopt;
}

Names Split(const std::string& text, char separator) {
  Names items;
  std::string item;
  std::istringstream in(text);
  while (std::getline(in, item, separator)) {
    while (!item.empty() && (item.back() == '\n' || item.back() == ' ')) item.pop_back();
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

Names IdGroups(const std::string& user) {
  std::optional<std::string> out = Output("id -Gn " + user);
  EXPECT_TRUE(out) << "id -Gn " << user;
  return out ? Split(*out, ' ') : Names{};
}

// The fields of one `getent group` line: name, password, gid, members.
struct GroupLine {
  std::string name;
  Names members;
};

GroupLine ParseGroupLine(const std::string& line) {
  Names fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, ':')) fields.push_back(field);
  GroupLine group;
  group.name = fields.empty() ? "" : fields[0];
  if (fields.size() >= 4) group.members = Split(fields[3], ',');
  return group;
}

// A group of the name service that lists members, or nullopt if none does.
std::optional<GroupLine> GroupWithMembers() {
  std::optional<std::string> all = Output("getent group");
  if (!all) return std::nullopt;
  for (const std::string& line : Split(*all, '\n')) {
    GroupLine group = ParseGroupLine(line);
    if (!group.members.empty()) return group;
  }
  return std::nullopt;
}

class KesgpUnix : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(plugin.loaded()) << plugin.error();
    ASSERT_EQ(plugin.initialise(), 0);
  }
  LoadedPlugin plugin{KESGP_UNIX_PATH};
};

TEST_F(KesgpUnix, RootHasTheGroupsIdShows) {
  std::optional<Names> groups = plugin.GroupsOf("root");
  ASSERT_TRUE(groups);
  EXPECT_EQ(*groups, IdGroups("root"));
  EXPECT_EQ(groups->front(), "root");
}

TEST_F(KesgpUnix, GroupMembersAndTheirGroupsMatchGetentAndId) {
  std::optional<GroupLine> group = GroupWithMembers();
  if (!group) GTEST_SKIP() << "no group on this machine lists members";
  SCOPED_TRACE("group " + group->name);

  std::optional<Names> users = plugin.UsersOf(group->name);
  ASSERT_TRUE(users);
  EXPECT_EQ(*users, group->members);

  for (const std::string& member : group->members) {
    std::optional<Names> groups = plugin.GroupsOf(member);
    ASSERT_TRUE(groups) << member;
    EXPECT_EQ(*groups, IdGroups(member)) << member;
    EXPECT_NE(std::find(groups->begin(), groups->end(), group->name), groups->end()) << member;
  }
}

TEST_F(KesgpUnix, RootGroupMembersMatchGetent) {
  std::optional<std::string> line = Output("getent group root");
  ASSERT_TRUE(line);
  std::optional<Names> users = plugin.UsersOf("root");
  ASSERT_TRUE(users);  // a known group with no listed members is an empty list
  EXPECT_EQ(*users, ParseGroupLine(Split(*line, '\n').front()).members);
}

TEST_F(KesgpUnix, UnknownNamesGiveNoList) {
  ASSERT_FALSE(Output("getent passwd kes-no-such-user-7f3a"));
  ASSERT_FALSE(Output("getent group kes-no-such-group-7f3a"));
  EXPECT_EQ(plugin.groupsForUser("kes-no-such-user-7f3a"), nullptr);
  EXPECT_EQ(plugin.usersInGroup("kes-no-such-group-7f3a"), nullptr);
  plugin.deleteList(nullptr);  // must be accepted
}

TEST_F(KesgpUnix, NoChangeReportedWhileTheGroupDatabaseStaysTheSame) {
  // The baseline is taken by kesgp_initialise, so the first call already
  // compares against it.
  EXPECT_EQ(plugin.timestamp(), 0);
  EXPECT_EQ(plugin.timestamp(), 0);
}

TEST(KesgpPlugins, ExportOnlyTheFiveFunctions) {
  // The helpers are built hidden, so a host resolving names (and a second
  // plug-in in the same process) sees only the interface.
  const Names expected = {"kesgp_delete_group_list", "kesgp_get_groups_for_user",
                          "kesgp_get_last_update_timestamp", "kesgp_get_users_in_group",
                          "kesgp_initialise"};
  for (const char* path : {KESGP_UNIX_PATH, KESGP_FILE_PATH}) {
    std::optional<std::string> symbols =
        Output(std::string("nm -D --defined-only --format=posix ") + path);
    ASSERT_TRUE(symbols) << path;
    Names functions;
    for (const std::string& line : Split(*symbols, '\n')) {
      Names fields = Split(line, ' ');
      // Compiler-generated symbols (sanitizer hooks, _init) start with "_".
      if (fields.size() >= 2 && fields[1] == "T" && fields[0][0] != '_') {
        functions.push_back(fields[0]);
      }
    }
    std::sort(functions.begin(), functions.end());
    EXPECT_EQ(functions, expected) << path;
  }
}

}  // namespace
}  // namespace kestrun::testplugins
