// A job's dialog as data: the example home's Archive dialog opened through
// OpenDialogLayout with its real scripts, the cases where the Tk writer has
// rules of its own (tabs, frames, radio groups, passwords, comboboxes, list
// box columns, icons, sort and selection), and refusals.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "core/context.h"
#include "dialogs/banner.h"
#include "dialogs/dialog_layout.h"
#include "jobs/preload.h"
#include "launch/running_jobs.h"
#include "tests/dialogs/dialog_fixture.h"

namespace kestrun {

void PrintTo(const LayoutField& f, std::ostream* os) {
  *os << "{" << f.number << " " << LayoutFieldTypeName(f.type) << " '" << f.label << "' '"
      << f.value << "' choices " << f.choices.size() << " group " << f.group << " tab " << f.tab
      << " frame " << f.frame << " row " << f.row << " col " << f.column << " width " << f.width
      << (f.enabled ? "" : " disabled") << " updates " << f.updates.size() << "}";
}
void PrintTo(const LayoutItem& i, std::ostream* os) {
  *os << "{" << (i.kind == LayoutItem::Kind::Label ? "label '" + i.text + "'" : "field")
      << " field " << i.field << " col " << i.column << " width " << i.width
      << (i.alignEnd ? " end" : "") << "}";
}

namespace test {
namespace {

using Kind = LayoutItem::Kind;
using Type = LayoutFieldType;
using Lines = std::vector<std::string>;

LayoutItem Label(std::string text, int32_t column, int32_t width, bool alignEnd) {
  return {Kind::Label, std::move(text), 0, column, width, alignEnd};
}
LayoutItem At(int32_t field, int32_t column, int32_t width) {
  return {Kind::Field, "", field, column, width, false};
}

// Dialogs opened in this process, with their real scripts.
struct OpenedLayouts : testing::Test {
  void Load() {
    testconf::LoadCapturing(config);
    server.config = &config;
    server.runningJobs = &table;
  }

  testconf::TempHome home;
  ServerConfig config{home.ConfPath()};
  RunningJobTable table;
  ServerContext server;
};

// The example home, copied so that its log and history stay out of the
// source tree, with KESTRUNHOME naming the copy while its kestrun.conf is read.
struct ExampleArchive : OpenedLayouts {
  void SetUp() override {
    namespace fs = std::filesystem;
    fs::copy(KES_SOURCE_DIR "/examples/home", home.path(),
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    ::setenv("KESTRUNHOME", home.path().c_str(), 1);
    Load();
  }
  void TearDown() override { ::unsetenv("KESTRUNHOME"); }
};

TEST_F(ExampleArchive, LayoutHoldsWhatTheTkWindowShows) {
  const auto opened = OpenDialogLayout(server, {"archive", "ann", "127.0.0.1", 9, {}, {}});
  ASSERT_TRUE(std::holds_alternative<DialogLayout>(opened))
      << std::get<DialogRefusal>(opened).message;
  const DialogLayout& l = std::get<DialogLayout>(opened);
  EXPECT_EQ(l.title, "Archive volumes");
  EXPECT_EQ(l.banner, (LayoutBanner{true, "Archive volumes",
                                    "Copies the chosen volumes into one archive on a target host",
                                    "", dialogs::BuiltinBannerBase64()}));
  EXPECT_EQ(l.tabs, (Lines{"Source", "Destination"}));
  EXPECT_EQ(l.frames, (std::vector<LayoutFrame>{{1, "Compression", 1, 2}, {2, "Options", 1, 3}}));

  const std::vector<LayoutRow> rows{
      {2, 1, 0, {Label("Archive name:", 0, 18, true), At(1, 18, 26), Label("", 44, 1, true)}},
      {3, 1, 0, {Label("Archive format:", 0, 18, true), At(2, 18, 14), Label("", 32, 1, false)}},
      {5, 1, 1, {At(3, 1, 9), At(4, 10, 9), At(5, 19, 7)}},
      {8, 1, 2, {At(6, 1, 25), At(7, 26, 20), At(8, 46, 20)}},
      {11, 2, 0, {Label("Target host:", 0, 18, true), At(9, 18, 22), Label("", 40, 1, true)}},
      {12, 2, 0, {Label("Password:", 0, 18, true), At(10, 18, 12), Label("", 30, 1, true)}},
  };
  ASSERT_EQ(l.rows.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(l.rows[i].line, rows[i].line) << i;
    EXPECT_EQ(l.rows[i].tab, rows[i].tab) << i;
    EXPECT_EQ(l.rows[i].frame, rows[i].frame) << i;
    EXPECT_EQ(l.rows[i].items, rows[i].items) << i;
  }

  const std::vector<int32_t> none, listBox{0};
  const Lines formats{"tar", "zip", "cpio"};
  const std::vector<LayoutField> fields{
      {1, Type::Entry, "Archive name:", "nightly-volumes", {}, 0, 1, 0, 0, 18, 26, true, none},
      {2, Type::Combobox, "Archive format:", "tar", formats, 0, 1, 0, 1, 18, 14, true, listBox},
      {3, Type::Radio, "None", "0", {}, 1, 1, 1, 2, 1, 9, true, none},
      {4, Type::Radio, "Fast", "1", {}, 1, 1, 1, 2, 10, 9, true, none},
      {5, Type::Radio, "Best", "0", {}, 1, 1, 1, 2, 19, 7, true, none},
      {6, Type::Check, "Verify after writing", "1", {}, 0, 1, 2, 3, 1, 25, true, none},
      {7, Type::Check, "Keep old copies", "0", {}, 0, 1, 2, 3, 26, 20, true, none},
      {8, Type::Check, "Mail me when done", "0", {}, 0, 1, 2, 3, 46, 20, true, none},
      {9, Type::Entry, "Target host:", "backup01.example.net", {}, 0, 2, 0, 4, 18, 22, true, none},
      {10, Type::Password, "Password:", "", {}, 0, 2, 0, 5, 18, 12, true, none},
  };
  ASSERT_EQ(l.fields.size(), fields.size());
  for (size_t i = 0; i < fields.size(); ++i) EXPECT_EQ(l.fields[i], fields[i]);

  ASSERT_TRUE(l.listBox.has_value());
  const LayoutListBox& box = *l.listBox;
  EXPECT_EQ(
      box.columns,
      (std::vector<LayoutColumn>{
          {"Kind", kFitColumnWidth}, {"Volume", 160}, {"Size", 80}, {"State", kFitColumnWidth}}));
  EXPECT_EQ(box.rows, (std::vector<LayoutListRow>{
                          {"disk", {"disk", "/srv/projects", "120 GB", "online"}},
                          {"disk", {"disk", "/srv/home", "48 GB", "online"}},
                          {"tape", {"tape", "LTO-0042", "1.5 TB", "loaded"}},
                          {"disk", {"disk", "/var/lib/mail", "16 GB", "degraded"}},
                          {"tape", {"tape", "LTO-0017", "1.5 TB", "in library"}},
                      }));
  EXPECT_TRUE(box.multiple);
  EXPECT_EQ(box.selection, SelectionMode::Multiple);
  EXPECT_EQ(box.sortColumn, 2);
  EXPECT_FALSE(box.sortDescending);
  EXPECT_TRUE(box.icons);
  EXPECT_EQ(box.height, 105);
  EXPECT_EQ(box.width, 0);
  EXPECT_EQ(box.contextColumn, 1);
  EXPECT_FALSE(box.fillOnApply);
  EXPECT_EQ(box.menus, (std::vector<LayoutMenu>{{"DISK", {{"Backup", "Backup"}}}}));
  ASSERT_EQ(l.icons.size(), 2u);
  EXPECT_EQ(l.icons[0].name, "disk");
  EXPECT_EQ(l.icons[1].name, "tape");
  EXPECT_EQ(l.icons[0].data.rfind("R0lGOD", 0), 0u);  // "GIF8" in base64
  EXPECT_EQ(l.buttons, (LayoutButtons{"OK", "Cancel", "Apply"}));
}

TEST_F(OpenedLayouts, RefusalsCarryTheNativeTexts) {
  home.Write("x.dlg", "A: [__]\n");
  home.WriteConf("NEEDS:\n  dialog = " + home.File("x.dlg") +
                 "\n  allowifjobrunning = {OTHER}\n\n"
                 "PRE:\n  dialog = " +
                 home.File("x.dlg") + "\n  prevalidatewith = " + home.File("pre.sh") +
                 "\n\nPLAIN:\n  program = /bin/true\n\nTCL:\n  dialog = " + home.File("x.dlg") +
                 "\n  usetclfile = " + home.File("own.tcl") +
                 "\n\nLOST:\n  dialog = " + home.File("none.dlg") + "\n");
  home.Write("pre.sh", "#!/bin/sh\necho 'not on Sundays' >&2\nexit 3\n");
  std::filesystem::permissions(home.File("pre.sh"), std::filesystem::perms::owner_all);
  home.Write("own.tcl", "puts hi\n");
  Load();
  const struct {
    std::string job;
    DialogRefusal refusal;
  } cases[] = {
      {"nosuch", {DialogRefusalKind::NotFound, "Job NOSUCH does not exist"}},
      {"needs", {DialogRefusalKind::Refused, "Cannot run NEEDS - job OTHER is not running"}},
      {"pre", {DialogRefusalKind::PrevalidateRefused, "not on Sundays\n"}},
      {"plain", {DialogRefusalKind::NoDialog, "Job PLAIN has no dialog"}},
      {"lost",
       {DialogRefusalKind::DialogFileMissing,
        "The dialog definition of job LOST cannot be opened"}},
      {"tcl",
       {DialogRefusalKind::TclFile, "The dialog of job TCL can only be shown by the Tk client"}},
  };
  for (const auto& c : cases) {
    const auto opened = OpenDialogLayout(server, {c.job, "ann", "127.0.0.1", 9, {}, {}});
    ASSERT_TRUE(std::holds_alternative<DialogRefusal>(opened)) << c.job;
    EXPECT_EQ(std::get<DialogRefusal>(opened), c.refusal) << c.job;
  }
}

// The preload program starts for the web caller as for a native one, and is
// released when the dialog is refused or cannot be shown as a layout.
TEST_F(OpenedLayouts, PreloadStartsAndIsReleasedOnRefusal) {
  home.Write("x.dlg", "A: [__]\n");
  const std::string d = "  dialog = " + home.File("x.dlg") + "\n  preload = /x/pre\n";
  home.WriteConf("OPEN:\n" + d + "\nNEEDS:\n" + d + "  allowifjobrunning = {OTHER}\n\nTCL:\n" + d +
                 "  usetclfile = " + home.File("x.dlg") + "\n");
  Load();
  std::vector<std::string> log;
  server.preloadHooks = std::make_shared<PreloadHooks>();
  server.preloadHooks->start = [&](const PreloadStart& s) {
    std::string line = "start " + s.clientNode + "/" + std::to_string(s.clientProcessId);
    for (const std::string& a : s.arguments) line += " " + a;
    log.push_back(line);
  };
  server.preloadHooks->release = [&](std::string_view node, uint32_t pid, std::string_view p) {
    log.push_back("release " + std::string(node) + "/" + std::to_string(pid) + " " +
                  std::string(p));
  };
  EXPECT_TRUE(std::holds_alternative<DialogLayout>(
      OpenDialogLayout(server, {"open", "ann", "10.0.0.7", 42, {"p1"}, {}})));
  EXPECT_TRUE(std::holds_alternative<DialogRefusal>(
      OpenDialogLayout(server, {"needs", "ann", "10.0.0.7", 42, {}, {}})));
  EXPECT_TRUE(std::holds_alternative<DialogRefusal>(
      OpenDialogLayout(server, {"tcl", "ann", "10.0.0.7", 42, {}, {}})));
  EXPECT_EQ(log, (Lines{"start 10.0.0.7/42 /x/pre p1", "release 10.0.0.7/42 /x/pre",
                        "start 10.0.0.7/42 /x/pre", "release 10.0.0.7/42 /x/pre"}));
}

struct Layouts : DialogTest {
  DialogLayout Layout(const Lines& lines, std::optional<Lines> rows = std::nullopt) {
    DialogSources sources;
    sources.getListBoxValuesFromScript = [rows, this](const ListBoxScriptCall&) {
      ++listBoxRuns;
      return rows;
    };
    sources.menuJob = [](std::string_view name, std::string_view) -> std::optional<std::string> {
      if (name == "ALLOWED") return "Allowed job";
      return std::nullopt;
    };
    const Lines arguments{"prog"};
    return BuildDialogLayout(
        config, DialogInput{job, fields, lines, arguments, "node1", 77, "alice", environment},
        sources);
  }
  // number, type, value, group, tab of every field.
  struct Brief {
    int32_t number;
    Type type;
    std::string value;
    int32_t group;
    int32_t tab;
    bool operator==(const Brief&) const = default;
  };
  static std::vector<Brief> Briefly(const DialogLayout& l) {
    std::vector<Brief> b;
    for (const LayoutField& f : l.fields) b.push_back({f.number, f.type, f.value, f.group, f.tab});
    return b;
  }
};

TEST_F(Layouts, FieldsFollowTheTkRules) {
  using B = Brief;
  const struct {
    const char* name;
    Lines lines;
    std::vector<FieldDefinition> fields;
    std::vector<B> expected;
  } cases[] = {
      {"PasswordOnlyForItsOwnField",
       {"Password: [***] [__]"},
       {},
       {{1, Type::Password, "", 0, 0}, {2, Type::Entry, "", 0, 0}}},
      {"BraceWithoutChoicesIsEmptyCombobox",
       {"{____}"},
       {Field("x")},
       {{1, Type::Combobox, "", 0, 0}}},
      {"TwoChoicesMakeACombobox",
       {"[____]"},
       {Field("b", {"a", "b"})},
       {{1, Type::Combobox, "b", 0, 0}}},
      {"ComboboxValueNotAChoiceShowsNothing",
       {"{__}"},
       {Field("c", {"a", "b"})},
       {{1, Type::Combobox, "", 0, 0}}},
      {"OneChoiceStaysAnEntry",
       {"[__] [__]"},
       {Field("", {"only"}), Field("other", {"only"})},
       {{1, Type::Entry, "only", 0, 0}, {2, Type::Entry, "", 0, 0}}},
      {"FirstRadioOfAGroupIsSetEvenLowerCase",
       {" o One   o Two"},
       {},
       {{1, Type::Radio, "1", 1, 0}, {2, Type::Radio, "0", 1, 0}}},
      {"LaterSetRadioTakesOver",
       {" o One   O Two   o Three"},
       {},
       {{1, Type::Radio, "0", 1, 0}, {2, Type::Radio, "1", 1, 0}, {3, Type::Radio, "0", 1, 0}}},
      {"RadioValueFromTheDefinition",
       {" o One   o Two"},
       {Field("0"), Field("1")},
       {{1, Type::Radio, "0", 1, 0}, {2, Type::Radio, "1", 1, 0}}},
      {"RadiosOnTwoTabsAreTwoGroups",
       {"Top [_]", ">First", " o A", ">Second", " o B"},
       {},
       {{1, Type::Entry, "", 0, 0}, {2, Type::Radio, "1", 1, 1}, {3, Type::Radio, "1", 2, 2}}},
      {"ChecksFromMarkerOrDefinition",
       {" X On   x Off   x Given"},
       {Field(""), Field(""), Field("1")},
       {{1, Type::Check, "1", 0, 0}, {2, Type::Check, "0", 0, 0}, {3, Type::Check, "1", 0, 0}}},
      {"WordWithAnXIsLabelText", {"box [_]"}, {}, {{1, Type::Entry, "", 0, 0}}},
  };
  for (const auto& c : cases) {
    fields = c.fields;
    EXPECT_EQ(Briefly(Layout(c.lines)), c.expected) << c.name;
  }
}

// Both writers read the definition once, the same way: every field the
// layout holds is the Tk script's field of that number and widget type.
TEST_F(Layouts, SameFieldsAsTheTkScript) {
  fields = {Field("", {"a", "b"}), Field("1"), Field("x", {"x"})};
  const Lines lines{"A [_] {_}", ">T", " o a  x b  O c", "- F", "[*] x", "-", "[__", ">U", " o d"};
  const std::string script = Generate(lines);
  const DialogLayout l = Layout(lines);
  EXPECT_TRUE(HasLine(script, "set NumFields " + std::to_string(l.fields.size())));
  for (const LayoutField& f : l.fields) {
    const int tk = f.type == Type::Combobox ? 0
                   : f.type == Type::Radio  ? 2
                   : f.type == Type::Check  ? 3
                                            : 1;
    EXPECT_TRUE(
        HasLine(script, "set wt" + std::to_string(f.number) + " \"" + std::to_string(tk) + "\""))
        << f.number;
  }
}

TEST_F(Layouts, TabsFramesAndLabels) {
  fields = {Field("", {}, {0, 3}, false)};
  const DialogLayout l = Layout({"Above", ">  First tab  ", "-  Group ", "Name: [__]", "-", "-",
                                 "- Empty", "-", ">Second", "  Right:  [_]  x Flag"});
  EXPECT_EQ(l.tabs, (Lines{"First tab", "Second"}));
  EXPECT_EQ(l.frames, (std::vector<LayoutFrame>{{1, "Group", 1, 1}, {2, "Empty", 1, 3}}));
  ASSERT_EQ(l.rows.size(), 4u);
  EXPECT_EQ(l.rows[0].items, (std::vector<LayoutItem>{Label("Above", 0, 6, false)}));
  EXPECT_EQ(l.rows[1].frame, 1);
  EXPECT_EQ(l.rows[2].items, (std::vector<LayoutItem>{Label("-", 0, 2, false)}));  // a lone "-"
  EXPECT_EQ(l.rows[3].line, 10);
  EXPECT_EQ(l.rows[3].items,
            (std::vector<LayoutItem>{Label("  Right:", 0, 10, true), At(2, 10, 3), At(3, 15, 7)}));
  EXPECT_EQ(l.fields[0].label, "Name:");
  EXPECT_FALSE(l.fields[0].enabled);
  EXPECT_EQ(l.fields[0].updates, (std::vector<int32_t>{0, 3}));
  EXPECT_EQ(l.fields[1].label, "Right:");
  EXPECT_EQ(l.fields[2].label, "Flag");
  EXPECT_EQ(l.fields[2].tab, 2);
  EXPECT_EQ(l.title, "Kestrun");
  EXPECT_FALSE(l.banner.shown);
  EXPECT_FALSE(l.listBox.has_value());
  EXPECT_EQ(l.buttons, (LayoutButtons{"OK", "Cancel", std::nullopt}));
}

TEST_F(Layouts, ListBoxWithoutColumnNamesTakesTheFirstLineAsHeadings) {
  job.listBox = ListBoxMode::On;
  job.columnWidthList = ValueList({"50", "0", "-", "x"});
  job.contextColumn = 2;
  job.icons = {{"Tape", "R0lG", 1, 1}};
  job.autoSort = -2;
  job.selection = SelectionMode::Single;
  job.rightClickMenu = {{"ALLOWED", "TAPE"}, {"DENIED", "TAPE"}, {"", "disk"}};
  job.onListBoxChangeUpdate = "{3,x,0,5";
  const DialogLayout l = Layout({""}, Lines{"Name,Kind,Size,Note,More", "a,tape,1", "b", "c,TAPE"});
  ASSERT_TRUE(l.listBox.has_value());
  const LayoutListBox& box = *l.listBox;
  EXPECT_EQ(box.columns, (std::vector<LayoutColumn>{{"Name", 50},
                                                    {"Kind", 0},
                                                    {"Size", kFitColumnWidth},
                                                    {"Note", 100},
                                                    {"More", kFitColumnWidth}}));
  // Without `listboxicons` no row shows an icon, as ValidIcon answers 0.
  EXPECT_EQ(box.rows, (std::vector<LayoutListRow>{
                          {"", {"a", "tape", "1"}}, {"", {"b"}}, {"", {"c", "TAPE"}}}));
  EXPECT_EQ(box.sortColumn, 2);
  EXPECT_TRUE(box.sortDescending);
  EXPECT_FALSE(box.multiple);
  EXPECT_EQ(box.changeUpdates, (std::vector<int32_t>{3, 5}));
  EXPECT_EQ(box.menus,
            (std::vector<LayoutMenu>{{"TAPE", {{"ALLOWED", "Allowed job"}}}, {"DISK", {}}}));
  job.listBoxIcons = true;
  const DialogLayout withIcons =
      Layout({""}, Lines{"Name,Kind", "a,tape", "b", "c,TAPE,x", "d,disk"});
  std::vector<std::string> icons;
  for (const LayoutListRow& r : withIcons.listBox->rows) icons.push_back(r.icon);
  EXPECT_EQ(icons, (Lines{"Tape", "", "Tape", ""}));
  EXPECT_EQ(listBoxRuns, 2);
}

TEST_F(Layouts, ListBoxModes) {
  job.listBox = ListBoxMode::Auto;
  EXPECT_FALSE(Layout({""}, Lines{}).listBox.has_value());  // auto, the script gave nothing
  EXPECT_EQ(listBoxRuns, 1);
  job.populateListBoxOn = 1;  // onapply: shown empty, the script waits for Apply
  job.selection = SelectionMode::None;
  job.rightClickMenu = {{"ALLOWED", "X"}};
  job.autoRefresh = 5;
  job.listBoxHeight = 6;
  job.autoStretch = false;
  job.listBoxWidth = 300;
  job.columnNameList = ValueList({"A", "B"});
  const DialogLayout l = Layout({""}, Lines{"1,2"});
  EXPECT_EQ(listBoxRuns, 1);
  ASSERT_TRUE(l.listBox.has_value());
  EXPECT_TRUE(l.listBox->fillOnApply);
  EXPECT_TRUE(l.listBox->rows.empty());
  EXPECT_EQ(l.listBox->columns.size(), 2u);
  EXPECT_EQ(l.listBox->autoRefresh, 0);
  EXPECT_TRUE(l.listBox->menus.empty());  // no selection, no right click
  EXPECT_EQ(l.listBox->height, 145);
  EXPECT_EQ(l.listBox->width, 300);
}

}  // namespace
}  // namespace test
}  // namespace kestrun
