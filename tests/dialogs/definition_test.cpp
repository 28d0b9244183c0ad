// The widgets written for the rows of a dialog definition.
#include <gtest/gtest.h>

#include "tests/dialogs/dialog_fixture.h"

namespace kestrun::test {
namespace {

struct RowCase {
  const char* name;
  std::vector<std::string> lines;
  std::vector<FieldDefinition> fields;
  std::vector<std::string> present;  // whole lines of the script
  std::vector<std::string> absent;   // substrings that must not occur
};
void PrintTo(const RowCase& c, std::ostream* os) {
  *os << c.name;
}

const std::string kTrickyValue = "a[b]$c\\d\"e{f}g\\";
const std::string kTrickyQuoted = "a\\[b\\]\\$c\\\\d\\\"e\\{f\\}g\\\\";

std::vector<RowCase> RowCases() {
  return {
      {"LabelEntryAndTrailingLabel",
       {"Name: [__________]"},
       {},
       {"ttk::frame $p.top1",
        "ttk::label $p.top1.label1 -font Kestrun -text \"Name:\" -width 6 -anchor e",
        "pack $p.top1.label1 -side left",
        "ttk::entry $p.top1.entry1 -font Kestrun -textvariable name1 -width 12  -state normal",
        "pack $p.top1.entry1 -padx 6 -side left -anchor nw",
        "ttk::label $p.top1.label2 -font Kestrun -text \"\" -width 1 -anchor ne",
        "pack $p.top1.label2 -pady 3 -side left", "set NumFields 1", "set wn1 \"$p.top1.entry1\"",
        "set wt1 \"1\"", "pack $p.top1 -anchor n -fill x -pady 0 -expand 0"},
       {"set name1"}},
      {"PasswordOnlyForItsOwnField",
       {"Password: [***] [__]"},
       {},
       {"ttk::entry $p.top1.entry1 -font Kestrun -textvariable name1 -width 5 -show \"*\" -state "
        "normal",
        "ttk::entry $p.top1.entry2 -font Kestrun -textvariable name2 -width 4  -state normal"},
       {}},
      {"BraceFieldWithoutChoicesIsEmptyCombobox",
       {"{____}"},
       {Field("")},
       {"ttk::combobox $p.top1.entry1 -width 6 -textvariable name1 -state readonly -font Kestrun ",
        "pack $p.top1.entry1 -padx 6 -side left -anchor n", "set wt1 \"0\""},
       {"set values", "set name1"}},
      {"TwoChoicesMakeComboboxWithValueSelected",
       {"[____]"},
       {Field(kTrickyValue, {"plain", kTrickyValue}, {2, 0})},
       {"set values [ list \\", "\"plain\" \\", "\"" + kTrickyQuoted + "\" ]",
        "ttk::combobox $p.top1.entry1 -width 6 -textvariable name1 -state readonly -font Kestrun "
        "-values $values",
        "bind $p.top1.entry1 <<ComboboxSelected>> {", "cbc 1 2 \"LB\"",
        "set name1 \"" + kTrickyQuoted + "\""},
       {}},
      {"EntryValueEscapedOnce",
       {"[__]"},
       {Field(kTrickyValue, {}, {3})},
       {"set name1 \"" + kTrickyQuoted + "\"", "bind $p.top1.entry1 <KeyRelease> {update idletasks",
        "ebc 1 3"},
       {}},
      {"EntryWithOneChoiceTakesIt",
       {"[__] [__] [__]"},
       {Field("", {"only"}), Field("only", {"only"}), Field("other", {"only"}, {}, false)},
       {"set name1 \"only\"", "set name2 \"only\"", "set name3 \"\"",
        "ttk::entry $p.top1.entry3 -font Kestrun -textvariable name3 -width 4  -state disabled"},
       {}},
      {"RadioGroupFirstButtonSet",
       {" o One   o Two"},
       {},
       {"ttk::frame $p.top1.cbf1 -width 65 -height 19", "pack propagate $p.top1.cbf1 off",
        "ttk::radiobutton $p.top1.cbf1.rb1 -variable bgrp1  -value name1 -text \" One\"",
        "pack $p.top1.cbf1.rb1 -side left -anchor n -padx 3 -pady 0",
        "pack $p.top1.cbf1 -anchor n -side left -padx 3 -pady 0", "set name1 \"1\"",
        "set bgrp1 name1", "bind $p.top1.cbf1.rb1 <ButtonRelease-1> {rbc 1 0}", "set bgroup(1) 1",
        "ttk::frame $p.top1.cbf2 -width 53 -height 19",
        "ttk::radiobutton $p.top1.cbf2.rb2 -variable bgrp1  -value name2 -text \" Two\"",
        "set name2 \"0\"", "set bgroup(2) 1", "set ButtonGroups 1", "\tglobal name1",
        "\tglobal name2", "\tglobal bgrp1", "set $bgrp1 \"1\"", "set wt2 \"2\""},
       {"set bgrp1 name2"}},
      {"LaterSetRadioTakesOver",
       {"O a o b O c"},
       {},
       {"set name1 \"1\"", "set bgrp1 name1", "set name2 \"0\"", "set name1 \"0\"",
        "set name3 \"1\"", "set bgrp1 name3"},
       {}},
      {"RadioGroupsPerTab",
       {">First", "o a", ">Second", "o b"},
       {Field("0", {}, {4}), Field("1", {}, {}, false)},
       {"ttk::notebook .c.m.nb", "set p \".c.m.nb.p1\"", "ttk::frame $p",
        ".c.m.nb add $p -text \"First \" -padding 3", ".c.m.nb add $p -text \"Second \" -padding 3",
        "set ButtonGroups 2", "set $bgrp2 \"1\"", "set name1 \"1\"",
        "bind $p.top2.cbf1.rb1 <ButtonRelease-1> {update idletasks", "rbc 1 1 4",
        "ttk::radiobutton $p.top4.cbf1.rb2 -variable bgrp2 -state disabled -value name2 -text \" "
        "b\"",
        "set p \".c.m.nb.p2\"", "set wn2 \"$p.top4.cbf1.rb2\"",
        "pack .c.m.nb -anchor n -fill x -expand 1"},
       {}},
      {"CheckButtonSetRules",
       {"X a x b x c X d x e x f X g x h"},
       {Field(""), Field("1"), Field("0"), Field("", {"1"}), Field("0", {"1"}), Field("", {"0"}),
        Field("", {"0", "1"}, {5})},
       {"set name1 1", "set name2 1", "set name3 0", "set name4 1", "set name5 0", "set name6 0",
        "set name7 1", "set name8 0",
        "ttk::checkbutton $p.top1.cbf1.cb0 -variable name1  -text \" a\"",
        "bind $p.top1.cbf7.cb0 <ButtonRelease-1> {update idletasks", "bbc 7 5", "set wt8 \"3\""},
       {}},
      {"MarkerMustStandAlone",
       {"box xo"},
       {},
       {"ttk::label $p.top1.label1 -font Kestrun -text \"box xo\" -width 7 -anchor nw",
        "set NumFields 0"},
       {"checkbutton"}},
      {"DashWithoutFrameIsARow",
       {"-"},
       {},
       {"ttk::label $p.top1.label1 -font Kestrun -text \"-\" -width 2 -anchor nw"},
       {"labelframe"}},
      {"LabelledFrameHoldsItsRows",
       {"- Options {x}", "[__]", "-", "after"},
       {},
       {"if {$platform == 1} {",
        "labelframe $p.lf1 -labelanchor nw -foreground $framecolour -text \"Options \\{x\\} \"",
        "set cs1 \"lf1\"", "ttk::labelframe $p.lf1 -labelanchor nw -text \"Options \\{x\\} \"",
        "ttk::frame $p.$cs1.top2", "pack $p.$cs1.top2 -fill x -pady 0",
        "set wn1 \"$p.$cs1.top2.entry1\"",
        "pack $p.lf1 -anchor n -fill x -pady 10 -ipady 4 -expand 1",
        "pack $p.top4 -anchor n -fill x -pady 0 -expand 0"},
       {"pack $p.top2 "}},
      {"ThreeLinesTwoFields",
       {"[_]", "", "[_]"},
       {},
       {"set NumFields 2", "set ButtonGroups 0"},
       {}},
      {"UnclosedFieldEndsWithItsRow",
       {"Broken [___", "next ]"},
       {},
       {"ttk::entry $p.top1.entry1 -font Kestrun -textvariable name1 -width 6  -state normal",
        "set NumFields 1",
        "ttk::label $p.top2.label2 -font Kestrun -text \"next ]\" -width 7 -anchor nw"},
       {}},
      {"AdminTextsKeptWellFormed",
       {"Cost $x \"quoted\" ends\\"},
       {},
       {"ttk::label $p.top1.label1 -font Kestrun -text \"Cost $x \\\"quoted\\\" ends\\\\\" -width "
        "23 "
        "-anchor nw"},
       {}},
  };
}

struct DefinitionTest : DialogTest, testing::WithParamInterface<RowCase> {};

TEST_P(DefinitionTest, WritesTheWidgets) {
  const RowCase& c = GetParam();
  fields = c.fields;
  const std::string script = Generate(c.lines);
  for (const std::string& line : c.present)
    EXPECT_TRUE(HasLine(script, line)) << line << "\n" << script;
  for (const std::string& text : c.absent) EXPECT_EQ(script.find(text), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Rows, DefinitionTest, testing::ValuesIn(RowCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The whole script of a one-field dialog, so that the order of its parts and
// every fixed line are pinned down.
TEST_F(DialogTest, WholeScriptOfSimpleDialog) {
  job.title = "Say \"hi\"";
  job.okButtonText = "Go [now]";
  const std::string script = Generate({"Who [__]"});
  EXPECT_EQ(script,
            "global button\n"
            "font create Kestrun -family Helvetica -size $hsize -weight normal -slant roman\n"
            "font create BannerTitle -family $btfamily -size $bsize -weight bold -slant roman\n"
            "ttk::style configure TRadiobutton -font Kestrun\n"
            "ttk::style configure TCheckbutton -font Kestrun\n"
            "wm title \".\" \"Say \\\"hi\\\"\"\n"
            "ttk::frame .w\nttk::frame .w2\nttk::frame .w3\nttk::frame .w.t\nttk::frame .c\n"
            "ttk::frame .c.m\nttk::frame .bb\nttk::frame .lb\n"
            "ttk::label .left -text \" \"\nttk::label .right -text \" \"\n"
            "proc ValidIcon {IconName} {\n  return 0\n}\n"
            "canvas .w.t.b -height 0\npack .w.t.b -anchor n -fill x -expand 1\n"
            "set p \".c.m\"\n"
            "ttk::frame $p.top1\n"
            "ttk::label $p.top1.label1 -font Kestrun -text \"Who\" -width 4 -anchor e\n"
            "pack $p.top1.label1 -side left\n"
            "ttk::entry $p.top1.entry1 -font Kestrun -textvariable name1 -width 4  -state normal\n"
            "pack $p.top1.entry1 -padx 6 -side left -anchor nw\n"
            "ttk::label $p.top1.label2 -font Kestrun -text \"\" -width 1 -anchor ne\n"
            "pack $p.top1.label2 -pady 3 -side left\n"
            "pack $p.top1 -anchor n -fill x -pady 0 -expand 0\n"
            "pack .c.m -anchor n -fill x -expand 1\n"
            "set ButtonGroups 0\nset NumFields 1\n"
            "set p \".c.m\"\nset wn1 \"$p.top1.entry1\"\nset wt1 \"1\"\n"
            "set xl [eval list [.w.t.b configure -width]]\n"
            "set wd [lindex $xl [expr [llength $xl]-1]]\n"
            "ttk::button .bb.okbutton -text \"Go \\[now\\]\" -command \"set button ok;\"\n"
            "ttk::button .bb.cancelbutton -text \"Cancel\" -command \"set button cancel;\"\n"
            "pack .bb.cancelbutton -side right\npack .bb.okbutton -side right\n"
            "pack .bb -fill x -pady 10 -padx 10 -expand 1 -in .w2\n"
            "pack .left -fill y -side left -in .w\n"
            "pack .c -fill x -side left -expand 1 -in .w\n"
            "pack .right -fill y -side left -in .w\n"
            "pack .w -fill x -anchor n\npack .w3 -fill both -expand 1 -anchor n\n"
            "pack .w2 -fill x -anchor s\n"
            "focus \".\"\n"
            "proc rbc {fieldno lf args} {\n\tglobal bgroup\n"
            "\tset thisgroup $bgroup($fieldno)\n\tforeach n [array names bgroup] {\n"
            "\t\tif {$bgroup($n) == $thisgroup} {\n\t\t\tset name$n 0\n\t\t}\n\t}\n"
            "\tset name$fieldno 1\n\tset bgrp$thisgroup name$fieldno\n\tif {$lf == 1} {\n"
            "\t\teval cbc $fieldno $args\n\t}\n}\n"
            "set lbNumColumns 0\n"
            "wm protocol . WM_DELETE_WINDOW {set button cancel;destroy .}\n"
            "bind . <Return> \".bb.okbutton invoke\"\n"
            "tkwait variable button\n");
}

TEST_F(DialogTest, ApplyButtonTakesReturn) {
  job.applyButton = true;
  const std::string script = Generate({""});
  EXPECT_TRUE(HasLine(script, "ttk::button .bb.applybutton -text \"Apply\" -command \"apply\""));
  EXPECT_TRUE(HasLine(script, "pack .bb.applybutton -side right"));
  EXPECT_TRUE(HasLine(script, "bind . <Return> \".bb.applybutton invoke\""));
}

}  // namespace
}  // namespace kestrun::test
