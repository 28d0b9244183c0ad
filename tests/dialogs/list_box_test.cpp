// The list box part of the script.
#include <gtest/gtest.h>

#include "tests/dialogs/dialog_fixture.h"

namespace kestrun::test {
namespace {

struct ListBoxCase {
  const char* name;
  void (*configure)(JobDefinition&);
  std::optional<std::vector<std::string>> rows;
  std::vector<std::string> present;
  std::vector<std::string> absent;
};
void PrintTo(const ListBoxCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<ListBoxCase> ListBoxCases() {
  return {
      {"AutoWithoutRowsShowsNothing",
       [](JobDefinition& j) { j.listBox = ListBoxMode::Auto; },
       std::vector<std::string>{},
       {"set lbNumColumns 0", "set lbNumEnvVars 0"},
       {".lb.c1"}},
      {"HeadingRowWithoutColumnNames",
       [](JobDefinition& j) { j.listBox = ListBoxMode::On; },
       std::vector<std::string>{"Name,Size", "a,1"},
       {".lb.c1.tvf.tv configure -columns \"c1 c2 c3\" -displaycolumns \"c1 c2 c3\"",
        ".lb.c1.tvf.tv column c1 -width 100 -stretch n",
        ".lb.c1.tvf.tv heading c1 -text \"Name\" -anchor w -command [list TreeSort c1 0]",
        ".lb.c1.tvf.tv heading c2 -text \"Size\" -anchor w -command [list TreeSort c2 0]",
        ".lb.c1.tvf.tv column c3 -width 3000",
        ".lb.c1.tvf.tv insert {} end -id \"c0001\" -values [list \"a\" \"1\"] -tag tag1",
        "set lbNumColumns 2", "autofit", "autosort 0"},
       {"c0002"}},
      {"WidthsHideAndDefault",
       [](JobDefinition& j) {
         j.listBox = ListBoxMode::On;
         j.columnNameList = ValueList({"A", "B", "C"});
         j.columnWidthList = ValueList({"50", "0", "-"});
         j.autoStretch = false;
       },
       std::nullopt,
       {"-displaycolumns \"c1 c3 c4\"", ".lb.c1.tvf.tv column c2 -width 0 -stretch n",
        ".lb.c1.tvf.tv column c3 -width 100 -stretch n", ".lb.c1.tvf.tv column c4 -width 3000",
        "set canvaswidth [expr $wd -30]", "\tset as \"N\"", "\tset sw [list \"50\" \"0\" \"-\"]",
        "set lbNumColumns 3"},
       {"autosort 0"}},
      {"NamesWithoutWidthsShowEveryColumn",
       [](JobDefinition& j) {
         j.listBox = ListBoxMode::On;
         j.columnNameList = ValueList({"A", "B"});
       },
       std::nullopt,
       {"ttk::treeview .lb.c1.tvf.tv -selectmode extended -height 3 -show \"headings\" -columns "
        "\"c1 c2 c3\" -displaycolumns \"c1 c2 c3\" -yscrollcommand [list .lb.c1.vsb set]",
        ".lb.c1.tvf.tv column c1 -width 3000", "if { 0 > [expr $wd - 30] } {"},
       {}},
      {"AutosortDescending",
       [](JobDefinition& j) {
         j.listBox = ListBoxMode::On;
         j.autoSort = -2;
         j.autoSelectColumn = 1;
         j.autoSelectValue = "3-5";
         j.autoRefresh = 7;
         j.selection = SelectionMode::None;
       },
       std::nullopt,
       {"if { $ar == 0 } {TreeSort c2 1}", "SelectColumns 1 \"3-5\"",
        "after 7000 {autorefresh 7000}", "proc AutoSelectOnRefresh {} {", "return 1",
        "ttk::treeview .lb.c1.tvf.tv -selectmode none -height 3 -show \"headings\" -columns "
        "\"c1\" -displaycolumns \"\" -yscrollcommand [list .lb.c1.vsb set]",
        "autosort 0"},
       {}},
      {"SelectionChangeUpdates",
       [](JobDefinition& j) {
         j.listBox = ListBoxMode::On;
         j.onListBoxChangeUpdate = "{3,0,5}";
         j.doubleClick = true;
         j.listBoxHeight = 5;
       },
       std::nullopt,
       {"cbc \"LISTBOX\" 3 5", "dblclick",
        "canvas .lb.c1.tvf -height 125 -width $canvaswidth -bd 0 -bg white -xscrollcommand "
        "[list .lb.c2.hsb set]"},
       {}},
      {"CellsAndHeadingsShowAsWritten",
       [](JobDefinition& j) {
         j.listBox = ListBoxMode::On;
         j.columnNameList = ValueList({"[h] $x\\"});
         j.listBoxSeparator = "|";
       },
       std::vector<std::string>{"[x]|{y} \"z\" $w\\"},
       {".lb.c1.tvf.tv heading c1 -text \"\\[h\\] \\$x\\\\\" -anchor w -command [list TreeSort c1 "
        "0]",
        ".lb.c1.tvf.tv insert {} end -id \"c0001\" -values [list \"\\[x\\]\" \"\\{y\\} \\\"z\\\" "
        "\\$w\\\\\"] -tag tag1"},
       {}},
      {"IconsByContextColumn",
       [](JobDefinition& j) {
         j.listBox = ListBoxMode::On;
         j.columnNameList = ValueList({"Kind", "Name"});
         j.contextColumn = 1;
         j.listBoxIcons = true;
         j.icons.push_back(JobIcon{"Disk", "R0lG\n", 1, 1});
       },
       std::vector<std::string>{"disk,a", "tape,b", ""},
       {"if { [ValidIcon \"Disk\"] == 0 } {",
        ".lb.c1.tvf.tv insert {} end -id \"c0001\" -image iconDisk -values [list \"disk\" \"a\"] "
        "-tag tag1",
        "if { [ValidIcon \"\"] == 0 } {",
        ".lb.c1.tvf.tv insert {} end -id \"c0003\" -values [list \"\"] -tag tag3",
        "ttk::treeview .lb.c1.tvf.tv -selectmode extended -height 3 -show \"tree headings\" "
        "-columns \"c1 c2 c3\" -displaycolumns \"c1 c2 c3\" -yscrollcommand [list .lb.c1.vsb set]"},
       {}},
      {"RightClickMenus",
       [](JobDefinition& j) {
         j.listBox = ListBoxMode::On;
         j.contextColumn = 2;
         j.selection = SelectionMode::Single;
         j.rightClickMenu = {MenuEntry{"ALLOWED", "DISK"}, MenuEntry{"DENIED", "DISK"},
                             MenuEntry{"", ""}, MenuEntry{"ALLOWED", "A B"}};
       },
       std::nullopt,
       {"set ContextColumn 1", "menu .lb.c1.tvf.tv.menuDISK -tearoff 0",
        "set \"ContextMenus(DISK)\" .lb.c1.tvf.tv.menuDISK",
        ".lb.c1.tvf.tv.menuDISK add command -label \"Allowed job\" -command {cascade \"ALLOWED\"}",
        "menu .lb.c1.tvf.tv.menu -tearoff 0", "set \"ContextMenus()\" .lb.c1.tvf.tv.menu",
        "menu .lb.c1.tvf.tv.m3 -tearoff 0", "set \"ContextMenus(A B)\" .lb.c1.tvf.tv.m3",
        "bind .lb.c1.tvf.tv <ButtonPress-3> { TreeRightClick 0 \"%x\" \"%y\" \"%X\" \"%Y\"}",
        "bind .lb.c1.tvf.tv <Control-ButtonPress-3> { TreeRightClick 0 \"%x\" \"%y\" \"%X\" "
        "\"%Y\"}"},
       {"DENIED", "menuDISK -tearoff 0\nmenu .lb.c1.tvf.tv.menuDISK"}},
  };
}

struct ListBoxTest : DialogTest, testing::WithParamInterface<ListBoxCase> {};

TEST_P(ListBoxTest, WritesTheTable) {
  const ListBoxCase& c = GetParam();
  c.configure(job);
  const std::string script = Generate({""}, c.rows);
  for (const std::string& line : c.present)
    EXPECT_TRUE(HasLine(script, line) || script.find(line) != std::string::npos) << line;
  for (const std::string& text : c.absent) EXPECT_EQ(script.find(text), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(ListBoxes, ListBoxTest, testing::ValuesIn(ListBoxCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DialogTest, ListBoxEnvironmentAndOneScriptRun) {
  job.listBox = ListBoxMode::Auto;
  environment = {"PATH=/bin", "KES_A=x=\"1\"", "KES_NOVALUE", "KES_B="};
  const std::string script = Generate({""}, std::vector<std::string>{"h", "r"});
  EXPECT_EQ(listBoxRuns, 1);
  EXPECT_TRUE(HasLine(script, "set ListBoxEnvName(0) \"KES_A\""));
  EXPECT_TRUE(HasLine(script, "set ListBoxEnvVal(0) \"x=\\\"1\\\"\""));
  EXPECT_TRUE(HasLine(script, "set ListBoxEnvVal(1) \"\""));
  EXPECT_TRUE(HasLine(script, "set lbNumEnvVars 2"));
}

TEST_F(DialogTest, OnApplyListBoxRunsNoScript) {
  job.listBox = ListBoxMode::Auto;
  job.populateListBoxOn = 1;
  job.autoRefresh = 5;
  const std::string script = Generate({""}, std::vector<std::string>{"h", "r"});
  EXPECT_EQ(listBoxRuns, 0);
  EXPECT_TRUE(HasLine(script, "pack .lb -fill both -pady 10 -expand 1 -in .w3"));
  EXPECT_EQ(script.find("autorefresh"), std::string::npos);
  EXPECT_EQ(script.find("autofit\n"), std::string::npos);
}

}  // namespace
}  // namespace kestrun::test
