// kesgp_file loaded with dlopen: the file format, where the file is found, and
// the change indicator.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/plugins/plugin_loader.h"
#include "tests/plugins/temp_dir.h"

namespace kestrun::testplugins {
namespace {

const char* const kGroups =
    "# site groups\n"
    "Admins:alice, bob ,,carol\n"
    "\n"
    "  Operators : bob\r\n"
    "a line without a colon\n"
    ":nobody\n"
    "Admins:dave,alice\n"
    "Empty:\n"
    "admins:erin\n";

class KesgpFile : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(plugin.loaded()) << plugin.error();
    groupFile = dir.Write("groups.txt", kGroups);
    ASSERT_TRUE(SetModified(groupFile, 1000000));
    setenv("KESGP_FILE", groupFile.c_str(), 1);
  }
  void TearDown() override { unsetenv("KESGP_FILE"); }

  TempDir dir;
  std::string groupFile;
  LoadedPlugin plugin{KESGP_FILE_PATH};
};

TEST_F(KesgpFile, ReadsGroupsAndMembersInFileOrder) {
  ASSERT_EQ(plugin.initialise(), 0);
  EXPECT_EQ(plugin.GroupsOf("bob"), (Names{"Admins", "Operators"}));
  EXPECT_EQ(plugin.GroupsOf("alice"), (Names{"Admins"}));  // named twice, listed once
  EXPECT_EQ(plugin.GroupsOf("erin"), (Names{"admins"}));
  EXPECT_EQ(plugin.UsersOf("Admins"), (Names{"alice", "bob", "carol", "dave"}));
  EXPECT_EQ(plugin.UsersOf("Operators"), (Names{"bob"}));
}

TEST_F(KesgpFile, NamesAreComparedByteForByte) {
  ASSERT_EQ(plugin.initialise(), 0);
  EXPECT_EQ(plugin.UsersOf("admins"), (Names{"erin"}));
  EXPECT_EQ(plugin.groupsForUser("Alice"), nullptr);
  EXPECT_EQ(plugin.usersInGroup("ADMINS"), nullptr);
}

TEST_F(KesgpFile, UnknownNamesGiveNoListAndAnEmptyGroupAnEmptyOne) {
  ASSERT_EQ(plugin.initialise(), 0);
  EXPECT_EQ(plugin.groupsForUser("mallory"), nullptr);
  EXPECT_EQ(plugin.groupsForUser("nobody"), nullptr);  // its line had no group name
  EXPECT_EQ(plugin.usersInGroup("Missing"), nullptr);
  EXPECT_EQ(plugin.UsersOf("Empty"), Names{});
  plugin.deleteList(nullptr);
}

TEST_F(KesgpFile, ReportsAChangeOnceWhenTheModificationTimeMoves) {
  ASSERT_EQ(plugin.initialise(), 0);
  EXPECT_EQ(plugin.timestamp(), 0);
  ASSERT_TRUE(SetModified(groupFile, 1000060));
  EXPECT_NE(plugin.timestamp(), 0);
  EXPECT_EQ(plugin.timestamp(), 0);
}

TEST_F(KesgpFile, AnswersFromTheNewContentsAfterTheFileChanges) {
  ASSERT_EQ(plugin.initialise(), 0);
  EXPECT_EQ(plugin.GroupsOf("bob"), (Names{"Admins", "Operators"}));
  dir.Write("groups.txt", "Operators:bob\n");
  ASSERT_TRUE(SetModified(groupFile, 1000060));
  // The getters read the file again even before the change is reported.
  EXPECT_EQ(plugin.GroupsOf("bob"), (Names{"Operators"}));
  EXPECT_EQ(plugin.usersInGroup("Admins"), nullptr);
  EXPECT_NE(plugin.timestamp(), 0);
}

TEST_F(KesgpFile, KeepsTheLastContentsWhileTheFileIsGone) {
  ASSERT_EQ(plugin.initialise(), 0);
  ASSERT_EQ(std::remove(groupFile.c_str()), 0);
  EXPECT_EQ(plugin.GroupsOf("bob"), (Names{"Admins", "Operators"}));
  EXPECT_NE(plugin.timestamp(), 0);
  EXPECT_EQ(plugin.timestamp(), 0);
  dir.Write("groups.txt", "Admins:bob\n");
  EXPECT_EQ(plugin.GroupsOf("bob"), (Names{"Admins"}));
  EXPECT_NE(plugin.timestamp(), 0);
}

TEST_F(KesgpFile, InitialiseFailsWhenTheNamedFileCannotBeRead) {
  setenv("KESGP_FILE", dir.File("missing.txt").c_str(), 1);
  EXPECT_EQ(plugin.initialise(), 2);
  EXPECT_EQ(plugin.groupsForUser("bob"), nullptr);
}

// A FIFO (no writer ever comes) or a directory named as the group file is
// refused at once; after a good read, a group file replaced by a FIFO leaves
// the last contents in force instead of holding the request that asks.
TEST_F(KesgpFile, FifoOrDirectoryAsGroupFileNeverBlocks) {
  const std::string fifo = dir.File("groups.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, dir.path()}) {
    setenv("KESGP_FILE", path.c_str(), 1);
    EXPECT_EQ(plugin.initialise(), 2) << path;
    EXPECT_EQ(plugin.groupsForUser("bob"), nullptr) << path;
  }
  setenv("KESGP_FILE", groupFile.c_str(), 1);
  ASSERT_EQ(plugin.initialise(), 0);
  std::filesystem::remove(groupFile);
  ASSERT_EQ(mkfifo(groupFile.c_str(), 0600), 0);
  EXPECT_EQ(plugin.GroupsOf("bob"), (Names{"Admins", "Operators"}));
}

// The library copied into a directory of its own, found by a path file beside
// it.
class KesgpFileBesideLibrary : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("KESGP_FILE");
    std::filesystem::copy_file(KESGP_FILE_PATH, dir.File("kesgp_file.so"));
  }
  TempDir dir;
};

TEST_F(KesgpFileBesideLibrary, TakesARelativePathFromThePathFile) {
  dir.Write("site-groups.txt", "Operators:bob\n");
  dir.Write("kesgp_file.path", "\n  site-groups.txt  \n");
  LoadedPlugin plugin(dir.File("kesgp_file.so"));
  ASSERT_TRUE(plugin.loaded()) << plugin.error();
  ASSERT_EQ(plugin.initialise(), 0);
  EXPECT_EQ(plugin.GroupsOf("bob"), (Names{"Operators"}));
}

TEST_F(KesgpFileBesideLibrary, TakesAnAbsolutePathFromThePathFile) {
  TempDir elsewhere;
  const std::string groups = elsewhere.Write("g.txt", "Admins:carol\n");
  dir.Write("kesgp_file.path", groups + "\n");
  LoadedPlugin plugin(dir.File("kesgp_file.so"));
  ASSERT_TRUE(plugin.loaded()) << plugin.error();
  ASSERT_EQ(plugin.initialise(), 0);
  EXPECT_EQ(plugin.GroupsOf("carol"), (Names{"Admins"}));
}

TEST_F(KesgpFileBesideLibrary, TheEnvironmentVariableWins) {
  dir.Write("kesgp_file.path", "beside.txt\n");
  dir.Write("beside.txt", "Admins:bob\n");
  const std::string named = dir.Write("named.txt", "Operators:bob\n");
  setenv("KESGP_FILE", named.c_str(), 1);
  LoadedPlugin plugin(dir.File("kesgp_file.so"));
  ASSERT_TRUE(plugin.loaded()) << plugin.error();
  ASSERT_EQ(plugin.initialise(), 0);
  EXPECT_EQ(plugin.GroupsOf("bob"), (Names{"Operators"}));
  unsetenv("KESGP_FILE");
}

TEST_F(KesgpFileBesideLibrary, InitialiseFailsWhenNoFileIsNamed) {
  LoadedPlugin plugin(dir.File("kesgp_file.so"));
  ASSERT_TRUE(plugin.loaded()) << plugin.error();
  EXPECT_EQ(plugin.initialise(), 1);
  EXPECT_EQ(plugin.timestamp(), 0);
  EXPECT_EQ(plugin.usersInGroup("Admins"), nullptr);
}

}  // namespace
}  // namespace kestrun::testplugins
