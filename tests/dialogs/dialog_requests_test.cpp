// GET_DIALOG_DATA, CANCEL_DIALOG and the three dialog script requests against
// the built KestrunServer in a temporary home: exact reply fields, log lines
// and what the scripts were given; and the two line cutters.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "dialogs/banner.h"
#include "dialogs/dialog_request.h"
#include "dialogs/value_scripts.h"
#include "protocol/messages/dialog.h"
#include "protocol/messages/dialog_scripts.h"
#include "tests/jobs/run_client.h"
#include "tests/support/server_home.h"
#include "tests/support/waiting.h"

namespace kestrun::test {
namespace {

using Lines = std::vector<std::string>;
using messages::FieldValues;
using messages::ListBoxFilled;
using messages::ScriptRefused;
using messages::StreamBlock;
using Disposition = messages::StreamDisposition;
using ListBoxReply = messages::ListBoxScriptReply;
using FieldReply = messages::FieldScriptReply;
using DialogReply = messages::GetDialogDataReply;

struct CutCase {
  std::string output;
  Lines lines;
};

TEST(ScriptOutputLines, LineEndsAreDroppedButNoCharacterOfALine) {
  const CutCase cases[] = {
      {"a\r\nb\r\nc\r\n", {"a", "b", "c"}},
      {"a\nb\nc\n", {"a", "b", "c"}},
      {"a\nbc", {"a", "bc"}},
      {"a\n\nb\n", {"a"}},
      {"a\r\n\r\nb\r\n", {"a", "", "b"}},  // "\r" is a piece, not an empty one
      {"a\"b]\n", {"a\"b]"}},
      {"x\\\n", {"x\\"}},
      {"\n", {}},
      {"", {}},
      {"only\r", {"only"}},
  };
  for (const CutCase& c : cases) EXPECT_EQ(ScriptOutputLines(c.output), c.lines) << c.output;
}

TEST(DefinitionLines, CarriageReturnRunsAndLineFeedsEndLines) {
  const CutCase cases[] = {
      {"a\nb\n", {"a", "b"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\nb", {"a", "b"}},
      {"a\r\r\r\nb\n", {"a", "b"}},
      {"a\rb\r", {"a", "b"}},
      {"a\n\nb\n", {"a", "", "b"}},
      {"", {}},
  };
  for (const CutCase& c : cases) EXPECT_EQ(DefinitionLines(c.output), c.lines) << c.output;
}

// emit.sh OUT CODE ERR: writes OUT (printf %b) to stdout, ERR to stderr, exits CODE.
constexpr const char* kEmit =
    "#!/bin/sh\nprintf '%b' \"$1\"\nprintf '%b' \"$3\" >&2\nexit ${2:-0}\n";
constexpr const char* kEnvScript =
    "#!/bin/sh\necho \"f1=$KESFIELD1,f2=$KESFIELD2,f4=$KESFIELD4,r=$KESREASON,"
    "c=$KESCURRENTFIELD,ch=$KESCHANGEDFIELD,j=$KESJOBNAME,lr=$KESLISTBOXREASON,a=$*\"\n";
constexpr const char* kFive =
    "F1: {______}\nF2: {______}\nF3: {______}\nF4: {______}\nF5: {______}\n";

std::string Config(const std::string& h) {
  return "groupprocessor = " KES_GROUP_PLUGIN
         "\n\n"
         "LB:\n  listboxscript = " +
         h +
         "/emit.sh\n  onlistboxchangeupdate = {2,x,4}\n"
         "  columnwidths = {10,,30}\n\n"
         "LBNAMED:\n  listboxscript = " +
         h +
         "/emit.sh\n  listboxsep = ;\n"
         "  columnnames = {A,B}\n  contextcolumn = 1\n\n"
         "LBENV:\n  listboxscript = " +
         h +
         "/env.sh\n  param = fixed\n\n"
         "LBMISSING:\n  listboxscript = " +
         h +
         "/missing.sh\n\n"
         "PLAIN:\n  program = /bin/true\n\n"
         "FLD:\n  populatefield2with = " +
         h + "/emit.sh\n  populatefield3with = " + h + "/env.sh\n  populatefield4with = " + h +
         "/missing.sh\n  populatefield5with = {a,b}\n\n"
         "VAL:\n  validatewith = " +
         h +
         "/emit.sh\n\n"
         "VALMISSING:\n  validatewith = " +
         h +
         "/missing.sh\n\n"
         "DLG:\n  dialog = " +
         h + "/five.dlg\n  environment = " + h +
         "/fields.env\n"
         "  populatefield1with = " +
         h + "/env.sh\n  populatefield3with = " + h + "/fail2.sh\n  populatefield2with = " + h +
         "/missing.sh\n"
         "  populatefield5with = " +
         h +
         "/slow.sh\n  stdout = file:$KESJOBNAME.out\n\n"
         "NOLF:\n  dialog = " +
         h +
         "/five-nolf.dlg\n\n"
         "SECRET:\n  dialog = " +
         h +
         "/five.dlg\n  group = Admins\n\n"
         "CHOOSER:\n  stdin = filechooser\n\n"
         "INFILE:\n  stdin = file:/tmp/in\n  stdout = display\n  stderr = display\n\n"
         "NEEDS:\n  dialog = " +
         h +
         "/five.dlg\n  allowifjobrunning = {OTHER}\n\n"
         "PREOK:\n  prevalidatewith = " +
         h + "/emit.sh\n  dialog = " + h +
         "/five.dlg\n\n"
         "PREBAD:\n  prevalidatewith = " +
         h + "/bad.sh\n  dialog = " + h +
         "/five.dlg\n"
         "  stderr = file:/tmp/e\n\n"
         "PREMISSING:\n  prevalidatewith = " +
         h + "/missing.sh\n  dialog = " + h +
         "/five.dlg\n\n"
         "NODLGFILE:\n  dialog = " +
         h +
         "/missing.dlg\n\n"
         "EMPTYDS:\n  dialogscript = " +
         h +
         "/emit.sh\n\n"
         "TCL:\n  dialog = " +
         h + "/five.dlg\n  usetclfile = " + h +
         "/own.tcl\n\n"
         "TCLMISSING:\n  dialog = " +
         h + "/five.dlg\n  usetclfile = " + h +
         "/missing.tcl\n\n"
         "HUGE:\n  dialog = " +
         h + "/huge.dlg\n\nPOPW:\n  dialog = " + h + "/entries.dlg\n  populatewith = " + h +
         "/pw.sh\n  populatefield2with = " + h + "/fail2.sh\n\nLBDLG:\n  dialog = " + h +
         "/entries.dlg\n  listbox = on\n  listboxscript = " + h +
         "/pw.sh\n\nSELF:\n  program = /bin/cat\n  usetty = off\n  denyifjobrunning = "
         "{self}\n\nTEXT:\n  dialog = " +
         h + "/text.dlg\n\nFIFOBANNER:\n  dialog = " + h +
         "/entries.dlg\n  banner = on\n"
         "  bannergraphic = " +
         h + "/banner.fifo\n\nLBMANY:\n  listboxscript = " + h +
         "/many.sh\n\nLBTOOMANY:\n  listboxscript = " + h +
         "/toomany.sh\n\nTCLHUGE:\n  dialog = " + h + "/five.dlg\n  usetclfile = " + h +
         "/huge.tcl\n";
}

class DialogRequests : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = std::make_unique<TestHome>();
    const std::string h = home_->path();
    for (auto [name, text] : {std::pair{"emit.sh", kEmit},
                              {"env.sh", kEnvScript},
                              {"fail2.sh", "#!/bin/sh\nprintf 'one\\ntwo\\n'\nexit 1\n"},
                              {"slow.sh", "#!/bin/sh\nsleep 0.3\necho late\n"},
                              {"bad.sh", "#!/bin/sh\necho 'not today' >&2\nexit 3\n"},
                              {"pw.sh", "#!/bin/sh\nprintf 'v1\\nv2\\nv$KESCURRENTFIELD\\n'\n"},
                              // 3 fields a line: 200,000 lines fit the 5,000,000
                              // fields of a message, 1,700,000 do not.
                              {"many.sh", "#!/bin/sh\nexec seq 200000\n"},
                              {"toomany.sh", "#!/bin/sh\nexec seq 1700000\n"}}) {
      home_->WriteFile(name, text);
      std::filesystem::permissions(h + "/" + name, std::filesystem::perms::owner_all);
    }
    home_->WriteFile("five.dlg", kFive);
    EXPECT_EQ(::mkfifo((h + "/banner.fifo").c_str(), 0600), 0);  // never gets a writer
    home_->WriteFile("entries.dlg", "A: [____]\nB: [____]\nC: [____]\n");
    home_->WriteFile("five-nolf.dlg", std::string(kFive).substr(0, std::string(kFive).size() - 1));
    home_->WriteFile("fields.env", "KESFIELD1=x\nKESFIELD2=x\nKESFIELD3=x\nKESFIELD4=x\n");
    home_->WriteFile("own.tcl", "puts {mine [$x]}\n");
    home_->WriteFile("groups.txt", "Admins:bob\n");
    std::string huge;
    for (int i = 0; i < 10000; ++i) huge += "Label " + std::to_string(i) + ": [___]\n";
    home_->WriteFile("huge.dlg", huge);
    std::string text;
    for (int i = 0; i < 10000; ++i) text += "Row " + std::to_string(i) + "\n";
    home_->WriteFile("text.dlg", text);
    server_ = std::make_unique<RunningServer>(
        *home_, std::vector<EnvChange>{{"KESGP_FILE", h + "/groups.txt"}}, Config(h));
  }
  static void TearDownTestSuite() {
    StopServerChecked(server_.get());
    server_.reset();
    home_.reset();
  }
  void SetUp() override { ASSERT_TRUE(server_->ready()) << server_->process().Stderr(); }

  template <class Request>
  static XDRWRAP Send(const Request& request) {
    XDRWRAP m;
    messages::EncodeRequest(m, request);
    std::optional<XDRWRAP> reply = Exchange(server_->port(), m);
    EXPECT_TRUE(reply.has_value());
    return reply ? std::move(*reply) : XDRWRAP{};
  }
  static messages::ListBoxScriptReply ListBox(const std::string& job, const Lines& params,
                                              const std::string& reason,
                                              const std::string& changed) {
    XDRWRAP r =
        Send(messages::RunListBoxScriptRequest{job, "ann", params, {}, "pc1", 77, reason, changed});
    return messages::DecodeListBoxScriptReply(r);
  }
  static messages::FieldScriptReply Field(const std::string& job, const Lines& params,
                                          const std::string& changed, const std::string& current) {
    XDRWRAP r =
        Send(messages::RunFieldScriptRequest{job, "ann", params, {}, "pc1", 77, changed, current});
    return messages::DecodeFieldScriptReply(r);
  }
  static messages::ValidationScriptReply Validate(const std::string& job, const Lines& params) {
    XDRWRAP r = Send(messages::RunValidationScriptRequest{job, "ann", "pc1", 77, {}, params});
    return messages::DecodeValidationScriptReply(r);
  }
  static XDRWRAP DialogMessage(const std::string& job, bool noDialog = false) {
    return Send(messages::GetDialogDataRequest{job, "ann", "pc1", 77, noDialog, {}, {}});
  }
  static messages::GetDialogDataReply Dialog(const std::string& job, bool noDialog = false) {
    XDRWRAP r = DialogMessage(job, noDialog);
    return messages::DecodeGetDialogDataReply(r);
  }
  static bool LogHas(const std::string& text) {
    return WaitUntil([&] { return home_->Log().find(text) != std::string::npos; });
  }

  static std::unique_ptr<TestHome> home_;
  static std::unique_ptr<RunningServer> server_;
};

std::unique_ptr<TestHome> DialogRequests::home_;
std::unique_ptr<RunningServer> DialogRequests::server_;

TEST_F(DialogRequests, ListBoxReplyHeaderAndLines) {
  // Updates, separator, no column names, context column, icons, widths, lines.
  EXPECT_EQ(
      ListBox("lb", {"a\\r\\nb]\\r\\n"}, "REFRESH", "2"),
      ListBoxReply(ListBoxFilled{{"2", "4"}, ",", true, 0, {}, {"10", "-", "30"}, {"a", "b]"}}));
  EXPECT_TRUE(LogHas("ann@pc1 ListBoxScript \"" + home_->path() + "/emit.sh\" exited code 0"));
  // Column names: no width list follows; context column 1: an empty icon list.
  EXPECT_EQ(ListBox("LBNAMED", {""}, "", ""),
            ListBoxReply(ListBoxFilled{{}, ";", false, 1, {}, {}, {}}));
}

TEST_F(DialogRequests, ListBoxScriptSeesItsVariablesAndArguments) {
  const auto reply = ListBox("LBENV", {"p1"}, "APPLY", "3");
  ASSERT_TRUE(std::holds_alternative<ListBoxFilled>(reply));
  EXPECT_EQ(std::get<ListBoxFilled>(reply).widths, Lines{});
  EXPECT_EQ(std::get<ListBoxFilled>(reply).lines,
            Lines{"f1=,f2=,f4=,r=LISTBOX,c=LISTBOX,ch=3,j=LBENV,lr=APPLY,a=fixed p1"});
}

TEST_F(DialogRequests, ListBoxAndFieldRefusals) {
  struct Refusal {
    bool listBox;
    std::string job;
    Lines params;
    std::string message;
  } const cases[] = {
      {true, "NOSUCH", {}, "Could not find Program ID"},
      {true, "SECRET", {}, "Could not find Program ID"},
      {true, "PLAIN", {}, "No ListBox Script"},
      {true, "LBMISSING", {}, "ListBoxScript failed to run"},
      {true, "LB", {"out\\n", "2", "broken\\n"}, "broken\n"},
      {false, "NOSUCH", {}, "Could not find Program ID"},
      {false, "PLAIN", {}, "Could not locate field values"},
  };
  for (const Refusal& c : cases) {
    if (c.listBox)
      EXPECT_EQ(ListBox(c.job, c.params, "", "1"), ListBoxReply(ScriptRefused{c.message})) << c.job;
    else
      EXPECT_EQ(Field(c.job, c.params, "", "1"), FieldReply(ScriptRefused{c.message})) << c.job;
  }
  EXPECT_TRUE(
      LogHas("ann@pc1 ListBoxScript \"" + home_->path() + "/missing.sh\" failed to execute."));
}

TEST_F(DialogRequests, FieldScriptOutcomes) {
  for (const char* bad : {"0", "x", "6", "-1", "2x", ""}) {
    EXPECT_EQ(Field("FLD", {}, "1", bad),
              FieldReply(ScriptRefused{"Invalid Field Number specified"}))
        << bad;
  }
  // No populate script: char 1, char 0, char 1, long 0.
  EXPECT_EQ(Field("FLD", {}, "2", "1"), FieldReply(FieldValues{{}, true, ""}));
  EXPECT_TRUE(LogHas("ann@pc1 Failed to find field populate script for field 1 (job FLD)"));
  EXPECT_EQ(Field("fld", {"x\\ny\\n"}, "1", "2"), FieldReply(FieldValues{{"x", "y"}, false, ""}));
  EXPECT_EQ(Field("FLD", {"x\\n", "4", "why\\n"}, "1", "2"),
            FieldReply(FieldValues{{"x"}, true, "why\n"}));
  EXPECT_EQ(Field("FLD", {}, "1", "3"),
            FieldReply(FieldValues{{"f1=,f2=,f4=,r=POPULATE,c=3,ch=1,j=FLD,lr=,a="}, false, ""}));
  EXPECT_EQ(
      Field("FLD", {}, "1", "4"),
      FieldReply(ScriptRefused{"PopulateFieldScript failed to run: No such file or directory"}));
  EXPECT_TRUE(LogHas("ann@pc1 Running Field Populate Script \"" + home_->path() +
                     "/env.sh\" KESREASON=POPULATE, KESCURRENTFIELD=3 KESCHANGEDFIELD=1"));
}

TEST_F(DialogRequests, ValidationOutcomes) {
  const messages::ValidationScriptReply accepted = messages::ValidationAccepted{};
  struct Case {
    std::string job;
    Lines params;
    messages::ValidationScriptReply reply;
  } const cases[] = {
      {"NOSUCH", {}, accepted},
      {"PLAIN", {}, accepted},
      {"VAL", {"", "0"}, accepted},
      {"VAL", {"", "3", "field 2 is empty\\r\\n"}, ScriptRefused{"field 2 is empty\r\n"}},
      {"VALMISSING", {}, ScriptRefused{"Validation Script failed to execute"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Validate(c.job, c.params), c.reply) << c.job;
  EXPECT_TRUE(
      LogHas("ann@pc1 Validation Script \"" + home_->path() + "/emit.sh\" exited with code 3"));
}

const StreamBlock kDefaultBlock{
    Disposition::Display, Disposition::Popup, Disposition::Display, "", "", ""};

TEST_F(DialogRequests, DialogFailures) {
  using messages::DialogFailure;
  using messages::DialogNotBuilt;
  using messages::DialogRefused;
  struct Case {
    std::string job;
    bool noDialog;
    messages::GetDialogDataReply reply;
  } const cases[] = {
      {"NOSUCH", false, messages::DialogJobNotFound{}},
      {"SECRET", false, messages::DialogJobNotFound{}},
      {"CHOOSER", true, DialogRefused{"Job contains UI and -nd option specified"}},
      {"DLG", true, DialogRefused{"Job contains UI and -nd option specified"}},
      {"INFILE", true,
       DialogNotBuilt{
           DialogFailure::NoDialog,
           {Disposition::File, Disposition::Display, Disposition::Display, "/tmp/in", "", ""}}},
      {"NEEDS", false, DialogRefused{"Cannot run NEEDS - job OTHER is not running"}},
      {"PREBAD", false,
       messages::DialogPrevalidateRefused{
           {Disposition::Display, Disposition::File, Disposition::Display, "", "/tmp/e", ""},
           "not today\n"}},
      {"PREMISSING", false,
       messages::DialogPrevalidateRefused{
           kDefaultBlock, "Prevalidate Script failed to run: No such file or directory"}},
      {"NODLGFILE", false, DialogNotBuilt{DialogFailure::DialogFileMissing, kDefaultBlock}},
      {"PLAIN", false, DialogNotBuilt{DialogFailure::NoDialog, kDefaultBlock}},
      {"EMPTYDS", false, DialogNotBuilt{DialogFailure::NoScript, kDefaultBlock}},
      {"TCLMISSING", false, DialogNotBuilt{DialogFailure::NoScript, kDefaultBlock}},
  };
  for (const Case& c : cases) EXPECT_EQ(Dialog(c.job, c.noDialog), c.reply) << c.job;
  for (const std::string& line : Lines{
           "ann@pc1 - could not open dialog - job \"NOSUCH\", does not exist",
           "ann@pc1 - could not open dialog for job \"SECRET\", denied by group permission",
           "ann@pc1 could not get dialog data for \"NEEDS\" - denied due to Deny/Allow job",
           "ann@pc1 Prevalidate script \"" + home_->path() + "/bad.sh\" exits code 3",
           "ann@pc1 Dialog Definition file (" + home_->path() + "/missing.dlg) could not be opened",
           "ann@pc1 No Dialog Data (No Dialog= or DialogScript= directive in stanza)",
           "ann@pc1 Dialog Script \"" + home_->path() + "/emit.sh\" has generated no output",
           "Could not open TCL File \"" + home_->path() + "/missing.tcl\""})
    EXPECT_TRUE(LogHas(line)) << line;
}

std::string DialogScript(const messages::GetDialogDataReply& reply, StreamBlock* block = nullptr) {
  const auto* script = std::get_if<messages::DialogScriptReply>(&reply);
  EXPECT_NE(script, nullptr);
  if (!script) return "";
  if (block) *block = script->streams;
  return script->script;
}

TEST_F(DialogRequests, DialogWithPopulatedFields) {
  StreamBlock block;
  const std::string script = DialogScript(Dialog("dlg"), &block);
  EXPECT_EQ(block, (StreamBlock{Disposition::Display, Disposition::Popup, Disposition::File, "", "",
                                "DLG.out"}));
  // Field 1: blanked KESFIELD variables from the job's environment file.
  EXPECT_NE(script.find("f1=,f2=,f4=,r=POPULATE,c=1,ch=,j=DLG,lr=,a="), std::string::npos);
  // Field 3 failed after two lines: its choices stay, it is disabled.
  EXPECT_NE(script.find("\"one\" \\\n\"two\" ]\nttk::combobox $p.top3.entry3"), std::string::npos)
      << script;
  EXPECT_NE(script.find("entry3 -width 8 -textvariable name3 -state disabled"), std::string::npos);
  EXPECT_NE(script.find("entry5 -width 8 -textvariable name5 -state readonly"), std::string::npos);
  EXPECT_NE(script.find("\"late\""), std::string::npos);  // after a moment's wait
  // Field 2's script cannot run: no values, the field stays enabled.
  EXPECT_NE(script.find("entry2 -width 8 -textvariable name2 -state readonly -font Kestrun \n"),
            std::string::npos);
  EXPECT_TRUE(LogHas("ann@pc1 Field Populate Script \"" + home_->path() +
                     "/missing.sh\" failed to execute"));
  EXPECT_TRUE(LogHas("ann@pc1 Retrieving Dialog Data for job \"DLG\""));
  EXPECT_TRUE(
      LogHas("ann@pc1 Field Populate Script \"" + home_->path() + "/fail2.sh\" exits code 1"));
  EXPECT_TRUE(LogHas("ann@pc1 Running Field Populate Script \"" + home_->path() +
                     "/env.sh\" Params =  KESJOBNAME=DLG KESREASON=POPULATE, KESCURRENTFIELD=1"));
}

TEST_F(DialogRequests, DialogPopulateScriptWithFieldScriptsLaidOver) {
  const std::string script = DialogScript(Dialog("POPW"));
  EXPECT_NE(script.find("set name1 \"v1\""), std::string::npos) << script;
  EXPECT_NE(script.find("\"one\" \\\n\"two\" ]\nttk::combobox $p.top2.entry2"), std::string::npos);
  EXPECT_NE(script.find("-state disabled"), std::string::npos);
  // The value reaches the script escaped once, as the script wrote it.
  EXPECT_NE(script.find("set name3 \"v\\$KESCURRENTFIELD\""), std::string::npos) << script;
  EXPECT_TRUE(LogHas("/pw.sh\" Params =  KESJOBNAME=POPW KESREASON=POPULATE, KESCURRENTFIELD=0"));
}

TEST_F(DialogRequests, ListBoxRowsComeFromTheListBoxScript) {
  const std::string script = DialogScript(Dialog("LBDLG"));
  EXPECT_NE(script.find("v1"), std::string::npos) << script;
  EXPECT_NE(script.find("v\\$KESCURRENTFIELD"), std::string::npos) << script;
  EXPECT_TRUE(LogHas("ann@pc1 Running Listbox Script \"" + home_->path() + "/pw.sh\""));
  EXPECT_TRUE(LogHas("/pw.sh\" exited with code 0 (24 Bytes, 3 Lines)"));
}

TEST_F(DialogRequests, DefinitionWithoutFinalLineFeedGivesTheSameScript) {
  std::string with = DialogScript(Dialog("PREOK"));
  std::string without = DialogScript(Dialog("NOLF"));
  EXPECT_FALSE(with.empty());
  EXPECT_EQ(with, without);
}

TEST_F(DialogRequests, TclFileIsSentUnchanged) {
  EXPECT_EQ(DialogScript(Dialog("TCL")), "puts {mine [$x]}\n");
  EXPECT_TRUE(LogHas("Using TCL File \"" + home_->path() + "/own.tcl\" (size 17 bytes)"));
}

TEST_F(DialogRequests, TenThousandDefinitionLines) {
  // Labels only, and ten thousand fields: both scripts fit in a reply.
  EXPECT_NE(DialogScript(Dialog("TEXT")).find("Row 9999"), std::string::npos);
  XDRWRAP huge = DialogMessage("HUGE");
  EXPECT_LE(huge.BufferCount(), kMaxBuffers);
  EXPECT_NE(DialogScript(messages::DecodeGetDialogDataReply(huge)).find("Label 9999"),
            std::string::npos);
}

TEST_F(DialogRequests, ScriptBeyondTheMessageLimitsIsRefused) {
  const size_t size = size_t{kMaxBuffers} * kMaxBufferSize + 1;
  home_->WriteFile("huge.tcl", std::string(size, 'x'));
  EXPECT_EQ(Dialog("TCLHUGE"), DialogReply(messages::DialogNotBuilt{
                                   messages::DialogFailure::NoScript, kDefaultBlock}));
  EXPECT_TRUE(LogHas("ann@pc1 - dialog script of job \"TCLHUGE\" too long to send (" +
                     std::to_string(size) + " bytes)"));
}

// A list box of 200,000 lines (1,000-byte buffers once made 3,200 of them)
// arrives whole within the limits; 1,700,000 lines cannot fit and are refused.
TEST_F(DialogRequests, ListBoxOfManyLinesStaysWithinTheLimits) {
  XDRWRAP many =
      Send(messages::RunListBoxScriptRequest{"LBMANY", "ann", {}, {}, "pc1", 77, "", ""});
  EXPECT_LE(many.BufferCount(), kMaxBuffers);
  const auto filled = messages::DecodeListBoxScriptReply(many);
  ASSERT_TRUE(std::holds_alternative<ListBoxFilled>(filled));
  const Lines& lines = std::get<ListBoxFilled>(filled).lines;
  ASSERT_EQ(lines.size(), 200000u);
  EXPECT_EQ(lines.back(), "200000");

  const auto tooMany = ListBox("LBTOOMANY", {}, "", "");
  ASSERT_TRUE(std::holds_alternative<ScriptRefused>(tooMany));
  const std::string& message = std::get<ScriptRefused>(tooMany).message;
  EXPECT_EQ(message.rfind("ListBoxScript output too large to send (", 0), 0u) << message;
  EXPECT_TRUE(LogHas("ann@pc1 ListBoxScript output of \"" + home_->path() +
                     "/toomany.sh\" too large to send ("));
}

TEST_F(DialogRequests, JobThatDeniesItselfWhileItRuns) {
  RunClient run(server_->port(), RunFields("SELF"));
  ASSERT_EQ(run.ReadRaw(20).size(), 20u);
  run.SendChunk("ping");
  RunOutput echoed;
  ASSERT_TRUE(run.ReadOutputUntil("ping", echoed));  // running now
  EXPECT_EQ(Dialog("self"),
            DialogReply(messages::DialogRefused{"Cannot run SELF - it is already running"}));
  run.SendEndOfInput();
  EXPECT_TRUE(run.ReadOutput().endWord);
  EXPECT_EQ(run.Reply().status, 1);
}

// A FIFO as the banner picture is never waited on: the dialog comes back at
// once with the built-in picture, and the server goes on answering.
TEST_F(DialogRequests, FifoAsBannerGraphicAnswersAtOnceWithTheBuiltinPicture) {
  const auto start = std::chrono::steady_clock::now();
  const std::string script = DialogScript(Dialog("FIFOBANNER"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_NE(script.find("image create photo bi -format gif -data \"" +
                        dialogs::BuiltinBannerBase64() + "\"\n"),
            std::string::npos);
  EXPECT_TRUE(LogHas("Graphic File " + home_->path() +
                     "/banner.fifo not found or no read access - using default graphic."));
  EXPECT_EQ(DialogScript(Dialog("FIFOBANNER")), script);
}

TEST_F(DialogRequests, CancelDialogOnlyLogs) {
  XDRWRAP r = Send(messages::CancelDialogRequest{"DLG", "ann", "pc1", 77});
  EXPECT_TRUE(LogHas("ann@pc1 cancels dialog for job DLG"));
  EXPECT_EQ(r.FieldsLeft(), 0);
}

}  // namespace
}  // namespace kestrun::test
