// The group-processor DLLs as the server loads them (LoadLibraryW and the
// five names): kesgp_file with a group file named by KESGP_FILE or by the
// pointer file beside the DLL, and kesgp_windows against the local groups
// of the system as Wine's NetAPI32 reports them.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "plugins/kesgp.h"

namespace {

using Names = std::optional<std::vector<std::string>>;

std::string ProgramFolder() {
  char self[MAX_PATH];
  std::string path(self, ::GetModuleFileNameA(nullptr, self, MAX_PATH));
  return path.substr(0, path.rfind('\\'));
}

void WriteText(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

class Plugin {
 public:
  explicit Plugin(const std::string& file)
      : module_(::LoadLibraryW((std::wstring(file.begin(), file.end())).c_str())) {
    if (module_ == nullptr) return;
    initialise = Symbol<kesgp_initialise_fn>("kesgp_initialise");
    changed = Symbol<kesgp_get_last_update_timestamp_fn>("kesgp_get_last_update_timestamp");
    groupsForUser = Symbol<kesgp_get_groups_for_user_fn>("kesgp_get_groups_for_user");
    usersInGroup = Symbol<kesgp_get_users_in_group_fn>("kesgp_get_users_in_group");
    deleteList = Symbol<kesgp_delete_group_list_fn>("kesgp_delete_group_list");
  }
  ~Plugin() {
    if (module_ != nullptr) ::FreeLibrary(module_);
  }
  bool complete() const {
    return initialise && changed && groupsForUser && usersInGroup && deleteList;
  }
  Names Take(char** list) const {
    if (list == nullptr) return std::nullopt;
    std::vector<std::string> names;
    for (char** item = list; *item != nullptr; ++item) names.emplace_back(*item);
    deleteList(list);
    return names;
  }
  Names GroupsOf(const std::string& user) const { return Take(groupsForUser(user.c_str())); }
  Names UsersOf(const std::string& group) const { return Take(usersInGroup(group.c_str())); }

  kesgp_initialise_fn initialise = nullptr;
  kesgp_get_last_update_timestamp_fn changed = nullptr;
  kesgp_get_groups_for_user_fn groupsForUser = nullptr;
  kesgp_get_users_in_group_fn usersInGroup = nullptr;
  kesgp_delete_group_list_fn deleteList = nullptr;

 private:
  template <typename Fn>
  Fn Symbol(const char* name) const {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module_, name)));
  }
  HMODULE module_;
};

// Each test loads its own copy of the DLL: a loaded DLL keeps its state.
class KesgpFileDll : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = ProgramFolder();
    copy_ = folder_ + "\\kesgp_file_" +
            testing::UnitTest::GetInstance()->current_test_info()->name() + ".dll";
    ASSERT_TRUE(::CopyFileA((folder_ + "\\kesgp_file.dll").c_str(), copy_.c_str(), FALSE));
    groups_ = folder_ + "\\groups_test.txt";
    WriteText(groups_, "Ops: ann, bob\r\n# comment\r\nDev:bob\r\nEmpty:\r\n");
  }
  void TearDown() override {
    _putenv_s("KESGP_FILE", "");
    plugin_.reset();
    std::remove(copy_.c_str());
    std::remove(groups_.c_str());
    std::remove((folder_ + "\\kesgp_file.path").c_str());
  }
  Plugin& Load() {
    plugin_.emplace(copy_);
    return *plugin_;
  }
  std::string folder_, copy_, groups_;
  std::optional<Plugin> plugin_;
};

TEST_F(KesgpFileDll, AnswersFromTheFileNamedByTheEnvironment) {
  _putenv_s("KESGP_FILE", groups_.c_str());
  Plugin& p = Load();
  ASSERT_TRUE(p.complete());
  ASSERT_EQ(p.initialise(), 0);
  EXPECT_EQ(p.GroupsOf("bob"), Names({"Ops", "Dev"}));
  EXPECT_EQ(p.UsersOf("Ops"), Names({"ann", "bob"}));
  EXPECT_EQ(p.UsersOf("Empty"), Names(std::vector<std::string>{}));
  EXPECT_EQ(p.UsersOf("ops"), std::nullopt);
  EXPECT_EQ(p.GroupsOf("carl"), std::nullopt);
  EXPECT_EQ(p.changed(), 0);
  WriteText(groups_, "Ops:carl\r\n");  // a new size, whatever the clock's tick
  EXPECT_EQ(p.changed(), 1);
  EXPECT_EQ(p.changed(), 0);
  EXPECT_EQ(p.GroupsOf("carl"), Names({"Ops"}));
}

TEST_F(KesgpFileDll, TakesARelativePathFromThePathFileBesideTheDll) {
  WriteText(folder_ + "\\kesgp_file.path", "\r\n  groups_test.txt\r\n");
  Plugin& p = Load();
  ASSERT_EQ(p.initialise(), 0);
  EXPECT_EQ(p.GroupsOf("ann"), Names({"Ops"}));
}

TEST_F(KesgpFileDll, TakesADrivePathFromThePathFile) {
  WriteText(folder_ + "\\kesgp_file.path", groups_ + "\n");
  Plugin& p = Load();
  ASSERT_EQ(p.initialise(), 0);
  EXPECT_EQ(p.UsersOf("Dev"), Names({"bob"}));
}

TEST_F(KesgpFileDll, InitialiseTellsAMissingNameFromAnUnreadableFile) {
  EXPECT_EQ(Load().initialise(), 1);
  plugin_.reset();
  _putenv_s("KESGP_FILE", (folder_ + "\\no_such_groups.txt").c_str());
  EXPECT_EQ(Load().initialise(), 2);
}

TEST(KesgpWindowsDll, ExportsOnlyTheFiveFunctions) {
  Plugin p(ProgramFolder() + "\\kesgp_windows.dll");
  ASSERT_TRUE(p.complete());
  HMODULE module = ::GetModuleHandleA("kesgp_windows.dll");
  ASSERT_NE(module, nullptr);
  const auto* base = reinterpret_cast<const BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  EXPECT_EQ(exports->NumberOfNames, 5u);
}

// The local groups as NetAPI32 reports them. Wine answers only part of
// NetAPI32: NetUserGetLocalGroups gives "Administrators" for every account,
// and NetLocalGroupEnum and NetLocalGroupGetMembers succeed with no groups
// and no members. The plug-in passes on exactly that; the test pins it so
// that a Wine that answers more shows here.
TEST(KesgpWindowsDll, PassesOnWhatNetApiReports) {
  Plugin p(ProgramFolder() + "\\kesgp_windows.dll");
  ASSERT_TRUE(p.complete());
  ASSERT_EQ(p.initialise(), 0);
  char name[256];
  DWORD size = sizeof name;
  ASSERT_TRUE(::GetUserNameA(name, &size));
  EXPECT_EQ(p.GroupsOf(name), Names({"Administrators"}));
  EXPECT_EQ(p.UsersOf("Administrators"), Names(std::vector<std::string>{}));
  EXPECT_EQ(p.changed(), 0);  // read at initialise, a moment ago
}

}  // namespace
