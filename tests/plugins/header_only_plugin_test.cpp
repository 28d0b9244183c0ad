// A plug-in built from kesgp.h alone (tiny_plugin.c, compiled as C with only a
// copy of the header on its include path) loads and answers through the
// interface; its broken variants each lack exactly one export.
#include <gtest/gtest.h>

#include "tests/plugins/plugin_loader.h"

namespace kestrun::testplugins {
namespace {

TEST(HeaderOnlyPlugin, LoadsAndAnswersThroughTheFiveFunctions) {
  LoadedPlugin plugin(TINY_PLUGIN_PATH);
  ASSERT_TRUE(plugin.loaded()) << plugin.error();
  auto count = plugin.Symbol<int (*)(const char*)>("tiny_count");
  auto setChanged = plugin.Symbol<void (*)(int)>("tiny_set_changed");
  ASSERT_NE(count, nullptr);
  ASSERT_NE(setChanged, nullptr);

  EXPECT_EQ(plugin.initialise(), 0);
  EXPECT_EQ(plugin.GroupsOf("alice"), (Names{"Admins", "Operators"}));
  EXPECT_EQ(plugin.GroupsOf("dave"), Names{});
  EXPECT_EQ(plugin.groupsForUser("zed"), nullptr);
  EXPECT_EQ(plugin.UsersOf("Operators"), (Names{"alice", "carol"}));
  EXPECT_EQ(plugin.timestamp(), 0);
  setChanged(7);
  EXPECT_EQ(plugin.timestamp(), 7);
  EXPECT_EQ(plugin.timestamp(), 0);
  EXPECT_EQ(count("outstanding"), 0);
}

TEST(HeaderOnlyPlugin, EachBrokenVariantLacksExactlyItsExport) {
  const char* const exports[] = {"kesgp_initialise", "kesgp_get_last_update_timestamp",
                                 "kesgp_get_groups_for_user", "kesgp_get_users_in_group",
                                 "kesgp_delete_group_list"};
  const std::string variants[] = {TINY_NO_INITIALISE_PATH, TINY_NO_TIMESTAMP_PATH,
                                  TINY_NO_GROUPS_PATH, TINY_NO_USERS_PATH, TINY_NO_DELETE_PATH};
  for (int v = 0; v < 5; ++v) {
    LoadedPlugin plugin(variants[v]);
    ASSERT_TRUE(plugin.loaded()) << plugin.error();
    for (int e = 0; e < 5; ++e) {
      EXPECT_EQ(plugin.Symbol<void*>(exports[e]) == nullptr, e == v)
          << variants[v] << " " << exports[e];
    }
  }
}

}  // namespace
}  // namespace kestrun::testplugins
