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
#include <vector>

#include "dialogs/banner.h"
#include "dialogs/dialog_request.h"
#include "jobs/value_scripts.h"
#include "protocol/request_types.h"
#include "tests/jobs/run_client.h"
#include "tests/support/server_home.h"
#include "tests/support/waiting.h"

namespace kestrun::test {
namespace {

using Lines = std::vector<std::string>;

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

  static XDRWRAP Send(const std::function<void(XDRWRAP&)>& fields) {
    XDRWRAP m;
    m.BeginEncode();
    fields(m);
    std::optional<XDRWRAP> reply = Exchange(server_->port(), m);
    EXPECT_TRUE(reply.has_value());
    return reply ? std::move(*reply) : XDRWRAP{};
  }
  static void EmptyBlocks(XDRWRAP& m) {
    for (int32_t zero : {0, 0, 0, 0, 0, 0, 0}) m.AddLong(zero);
  }
  // RUN_LISTBOX_SCRIPT / RUN_FIELD_SCRIPT with the client parameters given.
  static XDRWRAP Script(int32_t type, const std::string& job, const Lines& params,
                        const std::string& f11, const std::string& f12) {
    return Send([&](XDRWRAP& m) {
      m.AddEnum(type);
      m.AddString(job);
      m.AddString("ann");
      m.AddLong(static_cast<int32_t>(params.size()));
      for (const std::string& p : params) m.AddString(p);
      EmptyBlocks(m);
      m.AddString("pc1");
      m.AddLong(77);
      m.AddString(f11);
      m.AddString(f12);
    });
  }
  static XDRWRAP Validate(const std::string& job, const Lines& params) {
    return Send([&](XDRWRAP& m) {
      m.AddEnum(RUN_VALIDATION_SCRIPT);
      m.AddString(job);
      m.AddString("ann");
      m.AddString("pc1");
      m.AddLong(77);
      EmptyBlocks(m);
      m.AddLong(static_cast<int32_t>(params.size()));
      for (const std::string& p : params) m.AddString(p);
    });
  }
  static XDRWRAP Dialog(const std::string& job, bool noDialog = false,
                        const std::string& user = "ann") {
    return Send([&](XDRWRAP& m) {
      m.AddEnum(GET_DIALOG_DATA);
      m.AddString(job);
      m.AddString(user);
      m.AddString("pc1");
      m.AddLong(77);
      m.AddLong(noDialog ? 1 : 0);
      m.AddLong(0);
      m.AddLong(0);
    });
  }
  static bool LogHas(const std::string& text) {
    return WaitUntil([&] { return home_->Log().find(text) != std::string::npos; });
  }
  // The output lines of a reply: char 1 + string, up to char 0.
  static Lines ReplyLines(XDRWRAP& r) {
    Lines lines;
    while (r.GetLong() == 1) lines.push_back(r.GetString());
    return lines;
  }
  static Lines Strings(XDRWRAP& r, int32_t count) {
    Lines out;
    for (int32_t i = 0; i < count; ++i) out.push_back(r.GetString());
    return out;
  }

  static std::unique_ptr<TestHome> home_;
  static std::unique_ptr<RunningServer> server_;
};

std::unique_ptr<TestHome> DialogRequests::home_;
std::unique_ptr<RunningServer> DialogRequests::server_;

TEST_F(DialogRequests, ListBoxReplyHeaderAndLines) {
  XDRWRAP r = Script(RUN_LISTBOX_SCRIPT, "lb", {"a\\r\\nb]\\r\\n"}, "REFRESH", "2");
  EXPECT_EQ(r.GetLong(), 1);
  EXPECT_EQ(r.GetLong(), 2);
  EXPECT_EQ(Strings(r, 2), (Lines{"2", "4"}));
  EXPECT_EQ(r.GetString(), ",");
  EXPECT_EQ(r.GetLong(), 1);  // no column names
  EXPECT_EQ(r.GetLong(), 0);  // context column
  EXPECT_EQ(r.GetLong(), 3);
  EXPECT_EQ(Strings(r, 3), (Lines{"10", "-", "30"}));
  EXPECT_EQ(ReplyLines(r), (Lines{"a", "b]"}));
  EXPECT_TRUE(LogHas("ann@pc1 ListBoxScript \"" + home_->path() + "/emit.sh\" exited code 0"));

  XDRWRAP named = Script(RUN_LISTBOX_SCRIPT, "LBNAMED", {""}, "", "");
  EXPECT_EQ(named.GetLong(), 1);
  EXPECT_EQ(named.GetLong(), 0);
  EXPECT_EQ(named.GetString(), ";");
  EXPECT_EQ(named.GetLong(), 0);  // column names: no width list follows
  EXPECT_EQ(named.GetLong(), 1);
  EXPECT_EQ(named.GetLong(), 0);  // no icons
  EXPECT_EQ(ReplyLines(named), Lines{});
}

TEST_F(DialogRequests, ListBoxScriptSeesItsVariablesAndArguments) {
  XDRWRAP r = Script(RUN_LISTBOX_SCRIPT, "LBENV", {"p1"}, "APPLY", "3");
  ASSERT_EQ(r.GetLong(), 1);
  for (int i = 0; i < 4; ++i) r.GetLong();  // no updates, ",", 1, context 0
  r.GetString();
  EXPECT_EQ(r.GetLong(), 0);  // the width list: empty
  EXPECT_EQ(ReplyLines(r),
            Lines{"f1=,f2=,f4=,r=LISTBOX,c=LISTBOX,ch=3,j=LBENV,lr=APPLY,a=fixed p1"});
}

struct Refusal {
  int32_t type;
  std::string job;
  Lines params;
  std::string message;
};

TEST_F(DialogRequests, ListBoxAndFieldRefusals) {
  const Refusal cases[] = {
      {RUN_LISTBOX_SCRIPT, "NOSUCH", {}, "Could not find Program ID"},
      {RUN_LISTBOX_SCRIPT, "SECRET", {}, "Could not find Program ID"},
      {RUN_LISTBOX_SCRIPT, "PLAIN", {}, "No ListBox Script"},
      {RUN_LISTBOX_SCRIPT, "LBMISSING", {}, "ListBoxScript failed to run"},
      {RUN_LISTBOX_SCRIPT, "LB", {"out\\n", "2", "broken\\n"}, "broken\n"},
      {RUN_FIELD_SCRIPT, "NOSUCH", {}, "Could not find Program ID"},
      {RUN_FIELD_SCRIPT, "PLAIN", {}, "Could not locate field values"},
  };
  for (const Refusal& c : cases) {
    XDRWRAP r = Script(c.type, c.job, c.params, "", "1");
    EXPECT_EQ(r.GetLong(), 0) << c.job;
    EXPECT_EQ(r.GetString(), c.message) << c.job;
  }
  EXPECT_TRUE(
      LogHas("ann@pc1 ListBoxScript \"" + home_->path() + "/missing.sh\" failed to execute."));
}

TEST_F(DialogRequests, FieldScriptOutcomes) {
  for (const char* bad : {"0", "x", "6", "-1", "2x", ""}) {
    XDRWRAP r = Script(RUN_FIELD_SCRIPT, "FLD", {}, "1", bad);
    EXPECT_EQ(r.GetLong(), 0) << bad;
    EXPECT_EQ(r.GetString(), "Invalid Field Number specified") << bad;
  }
  XDRWRAP none = Script(RUN_FIELD_SCRIPT, "FLD", {}, "2", "1");
  EXPECT_EQ((Lines{std::to_string(none.GetLong()), std::to_string(none.GetLong()),
                   std::to_string(none.GetLong()), std::to_string(none.GetLong())}),
            (Lines{"1", "0", "1", "0"}));
  EXPECT_TRUE(LogHas("ann@pc1 Failed to find field populate script for field 1 (job FLD)"));

  XDRWRAP ok = Script(RUN_FIELD_SCRIPT, "fld", {"x\\ny\\n"}, "1", "2");
  EXPECT_EQ(ok.GetLong(), 1);
  EXPECT_EQ(ReplyLines(ok), (Lines{"x", "y"}));
  EXPECT_EQ(ok.GetLong(), 0);

  XDRWRAP failed = Script(RUN_FIELD_SCRIPT, "FLD", {"x\\n", "4", "why\\n"}, "1", "2");
  EXPECT_EQ(failed.GetLong(), 1);
  EXPECT_EQ(ReplyLines(failed), Lines{"x"});
  EXPECT_EQ(failed.GetLong(), 1);
  EXPECT_EQ(failed.GetLong(), 4);
  EXPECT_EQ(failed.GetString(), "why\n");

  XDRWRAP env = Script(RUN_FIELD_SCRIPT, "FLD", {}, "1", "3");
  EXPECT_EQ(env.GetLong(), 1);
  EXPECT_EQ(ReplyLines(env), Lines{"f1=,f2=,f4=,r=POPULATE,c=3,ch=1,j=FLD,lr=,a="});

  XDRWRAP missing = Script(RUN_FIELD_SCRIPT, "FLD", {}, "1", "4");
  EXPECT_EQ(missing.GetLong(), 0);
  EXPECT_EQ(missing.GetString(), "PopulateFieldScript failed to run: No such file or directory");
  EXPECT_TRUE(LogHas("ann@pc1 Running Field Populate Script \"" + home_->path() +
                     "/env.sh\" KESREASON=POPULATE, KESCURRENTFIELD=3 KESCHANGEDFIELD=1"));
}

TEST_F(DialogRequests, ValidationOutcomes) {
  struct Case {
    std::string job;
    Lines params;
    int32_t status;
    std::string message;
  } const cases[] = {
      {"NOSUCH", {}, 1, ""},
      {"PLAIN", {}, 1, ""},
      {"VAL", {"", "0"}, 1, ""},
      {"VAL", {"", "3", "field 2 is empty\\r\\n"}, 0, "field 2 is empty\r\n"},
      {"VALMISSING", {}, 0, "Validation Script failed to execute"},
  };
  for (const Case& c : cases) {
    XDRWRAP r = Validate(c.job, c.params);
    EXPECT_EQ(r.GetLong(), c.status) << c.job;
    if (c.status == 0) {
      EXPECT_EQ(r.GetString(), c.message) << c.job;
    }
  }
  EXPECT_TRUE(
      LogHas("ann@pc1 Validation Script \"" + home_->path() + "/emit.sh\" exited with code 3"));
}

// The six fields of the stream-handling block.
struct StreamBlock {
  int32_t in, err, out;
  std::string inFile, errFile, outFile;
  bool operator==(const StreamBlock&) const = default;
};
StreamBlock ReadBlock(XDRWRAP& r) {
  StreamBlock b{r.GetEnum(), r.GetEnum(), r.GetEnum(), "", "", ""};
  b.inFile = r.GetString();
  b.errFile = r.GetString();
  b.outFile = r.GetString();
  return b;
}
const StreamBlock kDefaultBlock{1, 2, 1, "", "", ""};

TEST_F(DialogRequests, DialogFailures) {
  struct Case {
    std::string job;
    bool noDialog;
    std::string user;
    int32_t failure;
    std::string message;  // failures 10 and 6
    StreamBlock block;    // failures 1, 2, 3 and 6
  } const cases[] = {
      {"NOSUCH", false, "ann", 0, "", {}},
      {"SECRET", false, "ann", 0, "", {}},
      {"CHOOSER", true, "ann", 10, "Job contains UI and -nd option specified", {}},
      {"DLG", true, "ann", 10, "Job contains UI and -nd option specified", {}},
      {"INFILE", true, "ann", 1, "", {5, 1, 1, "/tmp/in", "", ""}},
      {"NEEDS", false, "ann", 10, "Cannot run NEEDS - job OTHER is not running", {}},
      {"PREBAD", false, "ann", 6, "not today\n", {1, 5, 1, "", "/tmp/e", ""}},
      {"PREMISSING", false, "ann", 6, "Prevalidate Script failed to run: No such file or directory",
       kDefaultBlock},
      {"NODLGFILE", false, "ann", 2, "", kDefaultBlock},
      {"PLAIN", false, "ann", 1, "", kDefaultBlock},
      {"EMPTYDS", false, "ann", 3, "", kDefaultBlock},
      {"TCLMISSING", false, "ann", 3, "", kDefaultBlock},
  };
  for (const Case& c : cases) {
    XDRWRAP r = Dialog(c.job, c.noDialog, c.user);
    EXPECT_EQ(r.GetEnum(), 0) << c.job;
    EXPECT_EQ(r.GetEnum(), c.failure) << c.job;
    if (c.failure == 10) {
      EXPECT_EQ(r.GetString(), c.message) << c.job;
    } else if (c.failure != 0) {
      EXPECT_EQ(ReadBlock(r), c.block) << c.job;
      if (c.failure == 6) {
        EXPECT_EQ(r.GetString(), c.message) << c.job;
      }
    }
  }
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

std::string DialogScript(XDRWRAP r, StreamBlock* block = nullptr) {
  EXPECT_EQ(r.GetEnum(), 1);
  const StreamBlock b = ReadBlock(r);
  if (block) *block = b;
  return r.GetString();
}

TEST_F(DialogRequests, DialogWithPopulatedFields) {
  StreamBlock block;
  const std::string script = DialogScript(Dialog("dlg"), &block);
  EXPECT_EQ(block, (StreamBlock{1, 2, 5, "", "", "DLG.out"}));
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
  XDRWRAP huge = Dialog("HUGE");
  EXPECT_LE(huge.BufferCount(), kMaxBuffers);
  EXPECT_NE(DialogScript(std::move(huge)).find("Label 9999"), std::string::npos);
}

TEST_F(DialogRequests, ScriptBeyondTheMessageLimitsIsRefused) {
  const size_t size = size_t{kMaxBuffers} * kMaxBufferSize + 1;
  home_->WriteFile("huge.tcl", std::string(size, 'x'));
  XDRWRAP r = Dialog("TCLHUGE");
  EXPECT_EQ(r.GetEnum(), 0);
  EXPECT_EQ(r.GetEnum(), 3);
  EXPECT_EQ(ReadBlock(r), kDefaultBlock);
  EXPECT_TRUE(LogHas("ann@pc1 - dialog script of job \"TCLHUGE\" too long to send (" +
                     std::to_string(size) + " bytes)"));
}

// A list box of 200,000 lines (1,000-byte buffers once made 3,200 of them)
// arrives whole within the limits; 1,700,000 lines cannot fit and are refused.
TEST_F(DialogRequests, ListBoxOfManyLinesStaysWithinTheLimits) {
  XDRWRAP many = Script(RUN_LISTBOX_SCRIPT, "LBMANY", {}, "", "");
  EXPECT_LE(many.BufferCount(), kMaxBuffers);
  ASSERT_EQ(many.GetLong(), 1);
  EXPECT_EQ(many.GetLong(), 0);  // no updates
  EXPECT_EQ(many.GetString(), ",");
  EXPECT_EQ(many.GetLong(), 1);  // no column names
  EXPECT_EQ(many.GetLong(), 0);  // context column
  EXPECT_EQ(many.GetLong(), 0);  // no widths
  const Lines lines = ReplyLines(many);
  ASSERT_EQ(lines.size(), 200000u);
  EXPECT_EQ(lines.back(), "200000");

  XDRWRAP tooMany = Script(RUN_LISTBOX_SCRIPT, "LBTOOMANY", {}, "", "");
  EXPECT_EQ(tooMany.GetLong(), 0);
  const std::string message = tooMany.GetString();
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
  XDRWRAP r = Dialog("self");
  EXPECT_EQ(r.GetEnum(), 0);
  EXPECT_EQ(r.GetEnum(), 10);
  EXPECT_EQ(r.GetString(), "Cannot run SELF - it is already running");
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
  XDRWRAP r = Send([](XDRWRAP& m) {
    m.AddEnum(CANCEL_DIALOG);
    m.AddString("DLG");
    m.AddString("ann");
    m.AddString("pc1");
    m.AddLong(77);
  });
  EXPECT_TRUE(LogHas("ann@pc1 cancels dialog for job DLG"));
  EXPECT_THROW(r.GetLong(), DecodeFailure);
}

}  // namespace
}  // namespace kestrun::test
