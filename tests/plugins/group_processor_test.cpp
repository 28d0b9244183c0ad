// The group-processor binding and cache inside one process: kestrun.conf is
// read for real, the tiny plug-in answers and counts its calls.
#include "config/group_processor.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/plugins/group_home.h"

namespace kestrun::testplugins {
namespace {

using Lines = std::vector<std::string>;

class Binding : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("TINY_INITIALISE_RESULT");
    ASSERT_TRUE(tiny.ok());
  }
  void TearDown() override { unsetenv("TINY_INITIALISE_RESULT"); }
  TinyControls tiny;
};

TEST_F(Binding, FirstReadInitialisesOnceAndLogsTheResultAfterTheFile) {
  const int before = tiny.Count("initialise");
  GroupHome h(TINY_PLUGIN_PATH);
  EXPECT_EQ(tiny.Count("initialise"), before + 1);
  EXPECT_TRUE(h.config.groupProcessorReady());
  EXPECT_EQ(h.printed.err, "");
  EXPECT_EQ(LogLines(h.Log()), (Lines{std::string("kesgp_initialise in Group Processor \"") +
                                          TINY_PLUGIN_PATH + "\" returns 0",
                                      "Group Processor initialised successfully"}));
}

TEST_F(Binding, ReloadBindsAgainWithoutInitialisingAndReportsZero) {
  setenv("TINY_INITIALISE_RESULT", "0", 1);
  GroupHome h(TINY_PLUGIN_PATH);
  const int before = tiny.Count("initialise");
  // Initialisation would now fail, but a reload does not initialise.
  setenv("TINY_INITIALISE_RESULT", "5", 1);
  h.Reload(TINY_PLUGIN_PATH);
  EXPECT_EQ(tiny.Count("initialise"), before);
  EXPECT_TRUE(h.config.groupProcessorReady());
  const Lines lines = LogLines(h.Log());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], lines[0]);  // "... returns 0"
  EXPECT_EQ(lines[3], "Group Processor initialised successfully");
}

TEST_F(Binding, FailedInitialisationIsLoggedAndThePluginIsNeverAsked) {
  setenv("TINY_INITIALISE_RESULT", "3", 1);
  GroupHome h(TINY_PLUGIN_PATH);
  EXPECT_FALSE(h.config.groupProcessorReady());
  EXPECT_EQ(LogLines(h.Log()), (Lines{std::string("kesgp_initialise in Group Processor \"") +
                                          TINY_PLUGIN_PATH + "\" returns 3",
                                      "Group Processor failed to initialise"}));
  const int groups = tiny.Count("groups");
  const int timestamps = tiny.Count("timestamp");
  tiny.SetChanged(1);
  EXPECT_FALSE(IsUserInGroups(h.config, "Admins", "alice"));
  EXPECT_EQ(GroupsChanged(h.config), 0);
  EXPECT_FALSE(GetGroupsForUser(h.config, "alice"));
  EXPECT_FALSE(GetUsersInGroup(h.config, "Admins"));
  EXPECT_EQ(tiny.Count("groups"), groups);
  EXPECT_EQ(tiny.Count("timestamp"), timestamps);
  tiny.SetChanged(0);
}

TEST_F(Binding, ReloadWithALibraryThatCannotBeLoadedKeepsTheEarlierBinding) {
  GroupHome h(TINY_PLUGIN_PATH);
  const std::string broken = h.home.File("missing/kesgp.so");
  const testconf::Printed printed = h.Reload(broken);
  EXPECT_EQ(printed.err, "");  // only logged on a reload
  const Lines lines = LogLines(h.Log());
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[2], "Could not find or open Group Processor \"" + broken + "\"");
  // The reason follows, with the file's line and the loader's description.
  const std::string reason = h.home.ConfPath() +
                             ":2: the group processor does not load: Could not find or open "
                             "Group Processor \"" +
                             broken + "\": ";
  EXPECT_EQ(lines[3].substr(0, reason.size()), reason);
  EXPECT_EQ(lines[4], "kesgp_initialise in Group Processor \"" + broken + "\" returns 0");
  EXPECT_EQ(lines[5], "Group Processor initialised successfully");
  // The tiny plug-in still answers.
  EXPECT_EQ(GetUsersInGroup(h.config, "Operators"), (GroupNames{"alice", "carol"}));
  EXPECT_TRUE(IsUserInGroups(h.config, "Operators", "carol"));
  EXPECT_EQ(h.config.groupProcessorPath(), broken);
}

TEST_F(Binding, ReloadWithAMissingFunctionTakesTheNewLibraryWithoutIt) {
  GroupHome h(TINY_PLUGIN_PATH);
  EXPECT_TRUE(IsUserInGroups(h.config, "Admins", "alice"));  // cached before the reload
  TinyControls noGroups(TINY_NO_GROUPS_PATH);
  ASSERT_TRUE(noGroups.ok());
  h.Reload(TINY_NO_GROUPS_PATH);
  const Lines lines = LogLines(h.Log());
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[2], std::string("Could not locate function \"kesgp_get_groups_for_user\" in "
                                  "Group Processor \"") +
                          TINY_NO_GROUPS_PATH + "\"");
  // The getter is absent now; the other functions are the new library's.
  const int newUsers = noGroups.Count("users");
  EXPECT_FALSE(GetGroupsForUser(h.config, "alice"));
  EXPECT_FALSE(IsUserInGroups(h.config, "Operators", "carol"));
  EXPECT_EQ(GetUsersInGroup(h.config, "Admins"), (GroupNames{"alice"}));
  EXPECT_EQ(noGroups.Count("users"), newUsers + 1);
  // The cache survives the reload.
  EXPECT_TRUE(IsUserInGroups(h.config, "Admins", "alice"));
}

TEST_F(Binding, WithoutTheDeleterNoListIsAskedFor) {
  GroupHome h(TINY_PLUGIN_PATH);
  TinyControls noDelete(TINY_NO_DELETE_PATH);
  ASSERT_TRUE(noDelete.ok());
  h.Reload(TINY_NO_DELETE_PATH);
  const int users = noDelete.Count("users");
  const int groups = noDelete.Count("groups");
  EXPECT_FALSE(GetUsersInGroup(h.config, "Admins"));
  EXPECT_FALSE(IsUserInGroups(h.config, "Admins", "alice"));
  EXPECT_EQ(noDelete.Count("users"), users);
  EXPECT_EQ(noDelete.Count("groups"), groups);
  EXPECT_EQ(noDelete.Count("outstanding"), 0);
}

TEST_F(Binding, FirstReadWithAMissingLibraryEndsTheProcessWithStatusOne) {
  testconf::TempHome home;
  const std::string broken = home.File("nowhere/kesgp.so");
  home.WriteConf(GroupConf(home, broken));
  ServerConfig config(home.ConfPath());
  EXPECT_EXIT(LoadServerConfig(config), testing::ExitedWithCode(1),
              "^" + home.File("nowhere/kesgp.so") +
                  ": cannot open shared object file: No such file or directory\n"
                  "Could not find or open Group Processor \"" +
                  broken + "\"\n$");
  EXPECT_EQ(LogLines(home.Read("server.log")),
            (Lines{"Could not find or open Group Processor \"" + broken + "\""}));
}

// --- the cache ---

class Cache : public Binding {
 protected:
  void SetUp() override {
    Binding::SetUp();
    tiny.SetChanged(0);
    home = std::make_unique<GroupHome>(TINY_PLUGIN_PATH);
    ASSERT_TRUE(home->config.groupProcessorReady());
  }
  const ServerConfig& config() const { return home->config; }
  std::unique_ptr<GroupHome> home;
};

TEST_F(Cache, AMemberOfTheSecondGroupIsGrantedOnEveryCheckWithOneFetch) {
  const std::string groups = "Admins,Operators";
  const int fetches = tiny.Count("groups");
  for (int k = 0; k < 3; ++k) EXPECT_TRUE(IsUserInGroups(config(), groups, "carol")) << k;
  EXPECT_EQ(groups, "Admins,Operators");
  EXPECT_EQ(tiny.Count("groups"), fetches + 1);
}

TEST_F(Cache, GroupNamesAreCaseSensitive) {
  EXPECT_FALSE(IsUserInGroups(config(), "Admins", "bob"));  // bob is in "admins"
  EXPECT_TRUE(IsUserInGroups(config(), "admins", "bob"));
}

TEST_F(Cache, ABlankAfterTheCommaIsPartOfTheName) {
  EXPECT_FALSE(IsUserInGroups(config(), "Admins, Operators", "carol"));
  EXPECT_TRUE(IsUserInGroups(config(), "Admins, Operators", "alice"));
  EXPECT_FALSE(IsUserInGroups(config(), "Admins,", "carol"));
}

TEST_F(Cache, UserNamesAreComparedByteForByte) {
  EXPECT_TRUE(IsUserInGroups(config(), "Admins", "alice"));
  EXPECT_FALSE(IsUserInGroups(config(), "Admins", "Alice"));
  EXPECT_FALSE(IsUserInGroups(config(), "Admins", std::string("alice\0x", 7)));
}

TEST_F(Cache, AfterAChangeEachUserIsFetchedAgainAtTheirNextCheckOnly) {
  EXPECT_TRUE(IsUserInGroups(config(), "Admins", "alice"));
  EXPECT_TRUE(IsUserInGroups(config(), "Operators", "carol"));
  const int fetches = tiny.Count("groups");

  EXPECT_EQ(GroupsChanged(config()), 0);
  tiny.SetChanged(1);
  ASSERT_NE(GroupsChanged(config()), 0);
  MarkGroupCacheStale(config());
  EXPECT_EQ(tiny.Count("groups"), fetches);  // marking fetches nothing

  EXPECT_TRUE(IsUserInGroups(config(), "Admins", "alice"));
  EXPECT_EQ(tiny.Count("groups"), fetches + 1);
  EXPECT_EQ(tiny.LastUser(), "alice");
  EXPECT_TRUE(IsUserInGroups(config(), "Admins", "alice"));
  EXPECT_EQ(tiny.Count("groups"), fetches + 1);  // carol not fetched yet

  EXPECT_TRUE(IsUserInGroups(config(), "Operators", "carol"));
  EXPECT_EQ(tiny.Count("groups"), fetches + 2);
  EXPECT_EQ(tiny.LastUser(), "carol");
}

TEST_F(Cache, AnUnknownUserIsRefusedAndFetchedOnceWithItsNoneListReleased) {
  const int fetches = tiny.Count("groups");
  const int nullDeletes = tiny.Count("delete_null");
  EXPECT_FALSE(IsUserInGroups(config(), "Admins", "zed"));
  EXPECT_FALSE(IsUserInGroups(config(), "Admins", "zed"));
  EXPECT_EQ(tiny.Count("groups"), fetches + 1);
  EXPECT_EQ(tiny.Count("delete_null"), nullDeletes + 1);
}

TEST_F(Cache, EveryListReturnedIsGivenBack) {
  IsUserInGroups(config(), "Admins", "alice");
  IsUserInGroups(config(), "Admins", "dave");
  GetGroupsForUser(config(), "carol");
  GetUsersInGroup(config(), "Operators");
  GetUsersInGroup(config(), "Nobody");
  EXPECT_EQ(tiny.Count("outstanding"), 0);
}

TEST_F(Cache, TheDirectGettersBypassTheCache) {
  const int fetches = tiny.Count("groups");
  EXPECT_EQ(GetGroupsForUser(config(), "alice"), (GroupNames{"Admins", "Operators"}));
  EXPECT_EQ(GetGroupsForUser(config(), "alice"), (GroupNames{"Admins", "Operators"}));
  EXPECT_EQ(tiny.Count("groups"), fetches + 2);
  EXPECT_EQ(GetGroupsForUser(config(), "dave"), GroupNames{});
  EXPECT_FALSE(GetGroupsForUser(config(), "zed"));
  EXPECT_FALSE(GetUsersInGroup(config(), "Missing"));
}

// --- permissions ---

TEST_F(Cache, FindJobForUserAppliesTheGroupRule) {
  bool denied = true;
  EXPECT_TRUE(FindJobForUser(config(), "backup", "carol", &denied));
  EXPECT_FALSE(denied);
  EXPECT_FALSE(FindJobForUser(config(), "restore", "carol", &denied));
  EXPECT_TRUE(denied);
  EXPECT_FALSE(FindJobForUser(config(), "spaced", "carol", &denied));
  EXPECT_TRUE(denied);
  EXPECT_TRUE(FindJobForUser(config(), "restore", std::nullopt, &denied));
  EXPECT_FALSE(denied);
  EXPECT_FALSE(FindJobForUser(config(), "nosuchjob", "carol", &denied));
  EXPECT_FALSE(denied);
  EXPECT_TRUE(FindJobForUser(config(), "open", "zed", &denied));
}

TEST_F(Binding, WithoutAGroupProcessorEveryGroupJobIsRefusedToEveryNamedUser) {
  GroupHome h("");
  bool denied = false;
  EXPECT_FALSE(FindJobForUser(h.config, "backup", "alice", &denied));
  EXPECT_TRUE(denied);
  EXPECT_TRUE(FindJobForUser(h.config, "backup", std::nullopt, &denied));
  EXPECT_TRUE(FindJobForUser(h.config, "open", "alice", &denied));
  EXPECT_EQ(GroupsChanged(h.config), 0);
  EXPECT_FALSE(GetUsersInGroup(h.config, "Admins"));
  EXPECT_EQ(h.Log(), "");
}

}  // namespace
}  // namespace kestrun::testplugins
