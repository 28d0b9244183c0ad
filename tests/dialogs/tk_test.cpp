// Generated scripts run in a real wish on a private Xvfb display.
#include <gtest/gtest.h>

#include "tests/dialogs/dialog_fixture.h"
#include "tests/dialogs/tk_runner.h"

namespace kestrun::test {
namespace {

// A value that Tcl would take apart if it were escaped twice or not at all.
const std::string kTricky = "a[b]$c\\d\"e{f}g \\";

class TkDialogTest : public DialogTest {
 protected:
  static void SetUpTestSuite() {
    if (!HaveWish()) return;
    display_ = XDisplay::Start().release();
  }
  static void TearDownTestSuite() {
    delete display_;
    display_ = nullptr;
  }
  void SetUp() override {
    if (!HaveWish()) GTEST_SKIP() << "wish is not installed (scripts/setup.sh installs tk8.6)";
    if (display_ == nullptr) GTEST_SKIP() << "no Xvfb display (scripts/setup.sh installs xvfb)";
  }
  TkRun Run(const std::vector<std::string>& lines, const std::string& actions,
            std::optional<std::vector<std::string>> rows = std::nullopt,
            const std::string& before = "") {
    TkRun run = RunDialog(*display_, before, Generate(lines, rows), actions);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.Value("error"), "<missing>") << run.out;
    EXPECT_EQ(run.out.find("bgerror="), std::string::npos) << run.out;
    return run;
  }
  static XDisplay* display_;
};
XDisplay* TkDialogTest::display_ = nullptr;

TEST_F(TkDialogTest, RepresentativeDialogRunsAndReportsItsFields) {
  job.banner = true;
  job.title = "Backup";
  job.bannerText = "Copies a target";
  job.listBox = ListBoxMode::On;
  job.columnNameList = ValueList({"Name", kTricky});
  job.listBoxIcons = true;
  fields = {Field(kTricky),    Field(""),       Field("daily", {"daily", kTricky}, {4, 0}),
            Field(""),         Field(""),       Field(""),
            Field(""),         Field("/tmp/x"), Field(""),
            Field("", {}, {1})};
  const TkRun run = Run(
      {">General", "Name:   [____________]", "Pass:   [****]", "Kind:   {________}", "- Options",
       " X Verbose   x Dry run", " o Full   O Incremental", "-", ">Target", "Where: [__________]",
       " o Disk   o Tape"},
      "set name3 [lindex [$wn3 cget -values] 1]\n"
      "event generate $wn3 <<ComboboxSelected>>\n"
      "event generate $wn10 <ButtonRelease-1>\n"
      "eval [.lb.c1.tvf.tv heading c1 -command]\n"
      "set r \"[.lb.c1.tvf.tv heading c2 -text]|[lindex [.lb.c1.tvf.tv item c0002 -values] 1]\"\n"
      ".bb.okbutton invoke\n"
      "set r",
      std::vector<std::string>{"b,1", "a," + kTricky, "[x],3"});
  EXPECT_EQ(run.Value("button"), "ok");
  EXPECT_EQ(run.Value("NumFields"), "10");
  EXPECT_EQ(run.Value("lbNumColumns"), "2");
  EXPECT_EQ(run.Value("name1"), kTricky);
  EXPECT_EQ(run.Value("name3"), kTricky);
  EXPECT_EQ(run.Value("name4"), "1");  // X
  EXPECT_EQ(run.Value("name5"), "0");  // x
  EXPECT_EQ(run.Value("name6"), "0");  // first of its group, but O below takes over
  EXPECT_EQ(run.Value("name7"), "1");
  EXPECT_EQ(run.Value("name8"), "/tmp/x");
  EXPECT_EQ(run.Value("name9"), "0");  // clicked away by the Tape button
  EXPECT_EQ(run.Value("name10"), "1");
  const std::vector<std::pair<int, std::string>> classes = {
      {1, "TEntry"},       {2, "TEntry"}, {3, "TCombobox"},    {4, "TCheckbutton"},
      {6, "TRadiobutton"}, {8, "TEntry"}, {10, "TRadiobutton"}};
  for (const auto& [n, cls] : classes)
    EXPECT_EQ(run.Value("class" + std::to_string(n)), cls) << "field " << n << "\n" << run.out;
  EXPECT_EQ(run.Value("calls"), "{cbc 3 4 LB} {cbc 10 1}");
  EXPECT_EQ(run.Value("rows"), "c0003 c0002 c0001");
  // The heading and the cell hold the very text given.
  EXPECT_EQ(run.Value("result"), kTricky + "|" + kTricky);
}

TEST_F(TkDialogTest, ClassicFramesAndCancelByClosing) {
  fields = {Field("1", {}, {2})};
  const TkRun run = Run({"- Frame", "x check", "-", " o lower case first   o second"},
                        "event generate $wn1 <ButtonRelease-1>\n"
                        "set r [winfo class .c.m.lf1]\n"
                        "wm protocol . WM_DELETE_WINDOW\n"
                        "eval [wm protocol . WM_DELETE_WINDOW]\n"
                        "set r",
                        std::nullopt, "set platform 1");
  EXPECT_EQ(run.Value("result"), "Labelframe");
  EXPECT_EQ(run.Value("button"), "cancel");
  EXPECT_EQ(run.Value("calls"), "{bbc 1 2}");
  EXPECT_EQ(run.Value("name2"), "1");  // the first of a group starts set
  EXPECT_EQ(run.Value("name3"), "0");
}

TEST_F(TkDialogTest, ListBoxSelectionAndAutomaticSort) {
  job.listBox = ListBoxMode::Auto;
  job.autoSort = -1;
  job.autoSelectColumn = 2;
  job.autoSelectValue = "2-10";
  job.onListBoxChangeUpdate = "1,2";
  job.doubleClick = true;
  const TkRun run = Run({"[__] [__]"},
                        "set r [.lb.c1.tvf.tv selection]\n"
                        "SelectionChanged\nDoubleClick\n"
                        ".bb.okbutton invoke\nset r",
                        std::vector<std::string>{"Name,Count", "b,1", "c,07", "a,12", "d,2"});
  EXPECT_EQ(run.Value("rows"), "c0004 c0002 c0001 c0003");  // d c b a
  EXPECT_EQ(run.Value("result"), "c0004 c0002");
  EXPECT_EQ(run.Value("calls"), "{cbc LISTBOX 1 2} dblclick");
  EXPECT_EQ(run.Value("lbNumColumns"), "2");
}

std::string BinaryRow() {
  std::string row = "Bytes \x01\x1a\x7f\xff\xfe \" $ \\";
  row.push_back('\0');
  return row + " [_] end";
}

struct BadInput {
  const char* name;
  std::vector<std::string> lines;
  const char* fieldCount;
};
void PrintTo(const BadInput& c, std::ostream* os) {
  *os << c.name;
}

std::vector<BadInput> BadInputs() {
  std::vector<std::string> many(1000, "[_] [_] [_] [_] [_] [_] o a o b x c X d");
  return {
      {"UnbalancedBrackets", {"Name [___", "}{]", "x [ { o", "- {unclosed", "> [tab"}, "4"},
      {"BinaryBytes", {BinaryRow(), std::string("-\x00\xff", 3), ">\x1b"}, "1"},
      {"TenThousandFields", many, "10000"},
  };
}

struct TkBadInputTest : TkDialogTest, testing::WithParamInterface<BadInput> {};

TEST_P(TkBadInputTest, ScriptStillRuns) {
  const TkRun run = Run(GetParam().lines, "");
  EXPECT_EQ(run.Value("button"), "ok");
  EXPECT_EQ(run.Value("NumFields"), GetParam().fieldCount);
}

INSTANTIATE_TEST_SUITE_P(Inputs, TkBadInputTest, testing::ValuesIn(BadInputs()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrun::test
