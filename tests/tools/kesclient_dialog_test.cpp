// `kesclient dialog` against the built server under a private Xvfb display:
// the dialog is driven through -eval as a user would drive it, and the job's
// output shows what reached it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/server_home.h"
#include "tests/support/waiting.h"

namespace kestrun::test {
namespace {

using namespace std::chrono_literals;

// A dialog with an entry, a combobox whose change recomputes field 3 and
// the list box, field 3 itself, and a list box of three rows.
const char kDefinition[] =
    "Name:    [__________]\n"
    "Format:  {______}\n"
    "Derived: [______________]\n";

struct Script {
  const char* name;
  const char* text;
};

const Script kScripts[] = {
    {"derive.sh", "#!/bin/sh\necho \"derived-$KESFIELD2\"\n"},
    {"rows.sh",
     "#!/bin/sh\necho \"${KESLISTBOXREASON:-BUILD}\" >> \"$KESTRUNHOME/reasons\"\n"
     "printf 'a,1\\nb,2\\nc,3\\n'\n"},
    {"named.sh", "#!/bin/sh\nprintf 'Name;Size\\nx;9\\n'\n"},
    {"validate.sh",
     "#!/bin/sh\n[ \"$KESFIELD1\" = bad ] && { echo 'Name may not be bad' >&2; exit 1; }\nexit "
     "0\n"},
    {"show.sh",
     "#!/bin/sh\nenv | grep -E '^(KESFIELD|KESLISTBOX|KESHEADING_|NAME_|SIZE_|KESPASSED)' | "
     "sort\n"},
};

// The jobs, their scripts found through the home the server sets.
const char kDialogJobs[] = R"(
DLG:
  program = $KESTRUNHOME/show.sh
  dialog = $KESTRUNHOME/dlg.dlg
  stderr = display
  usetty = off
  populatefield2with = {tar,zip}
  populatefield3with = $KESTRUNHOME/derive.sh
  onfieldchange2update = {3,LB}
  listbox = on
  listboxscript = $KESTRUNHOME/rows.sh
  columnnames = {Name,Size}
  validatewith = $KESTRUNHOME/validate.sh
  banner = on
  listboxicons = on
  contextcolumn = 1
  icona = $KESTRUNHOME/a.gif
  onrightclicka = {plain}

PLAIN:
  program = $KESTRUNHOME/show.sh
  stderr = display
  usetty = off

NOCOLS:
  program = $KESTRUNHOME/show.sh
  dialog = $KESTRUNHOME/dlg.dlg
  usetty = off
  listbox = on
  listboxsep = ;
  listboxscript = $KESTRUNHOME/named.sh

TOFILE:
  program = /bin/cat
  usetty = off
  stdin = file:$KESTRUNHOME/in.txt
  stdout = file:$KESTRUNHOME/out.txt

ASKS:
  program = $KESTRUNHOME/show.sh
  stdin = filechooser

DLGFILE:
  program = $KESTRUNHOME/show.sh
  dialog = $KESTRUNHOME/dlg.dlg
  usetty = off
  stdout = file:$KESTRUNHOME/dlgout.txt

HOSTILE:
  program = $KESTRUNHOME/show.sh
  dialog = $KESTRUNHOME/dlg.dlg
  usetclfile = $KESTRUNHOME/hostile.tcl
)";

// A dialog script from a server that tries to run a program and to write
// a file in `dir` on the user's machine, then cancels.
std::string HostileScript(const std::string& dir) {
  return "catch {exec touch " + dir + "/exec-ran}\n" + "catch {close [open " + dir +
         "/open-ran w]}\n" + "set button cancel\n";
}

// A 1 x 1 GIF: the icon of the list box rows whose first cell is "a".
const char kGif[] =
    "GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00!\xf9\x04\x01\x00\x00"
    "\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;";

class KesclientDialog : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = std::make_unique<TestHome>();
    home_->WriteFile("dlg.dlg", kDefinition);
    home_->WriteFile("hostile.tcl", HostileScript(home_->path()));
    home_->WriteFile("a.gif", std::string(kGif, sizeof kGif - 1));
    for (const Script& s : kScripts) {
      home_->WriteFile(s.name, s.text);
      ::chmod((home_->path() + "/" + s.name).c_str(), 0755);
    }
    server_ = std::make_unique<RunningServer>(*home_, std::vector<EnvChange>{}, kDialogJobs);
    StartDisplay();
  }
  static void TearDownTestSuite() {
    StopServerChecked(server_.get());
    server_.reset();
    xvfb_.reset();
    home_.reset();
  }
  void SetUp() override {
    ASSERT_TRUE(server_->ready());
    if (display_.empty()) GTEST_SKIP() << "no Xvfb display (scripts/setup.sh installs xvfb)";
  }

  // Xvfb picks a free display itself and writes its number to our pipe, so
  // that test processes running side by side never share one.
  static void StartDisplay() {
    if (::access("/usr/bin/Xvfb", X_OK) != 0) return;
    xvfb_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    if (xvfb_->WaitForStdout("\n", 10s))
      display_ = ":" + xvfb_->Stdout().substr(0, xvfb_->Stdout().find('\n'));
  }

  // kesclient as user ann on node pcK; `display` false runs it without one.
  struct Run {
    int status = -1;
    std::string out, err;
  };
  static Run Kesclient(const std::vector<std::string>& args, bool display = true) {
    std::vector<std::string> argv{BinDirectory() + "/kesclient",
                                  "-s",
                                  "127.0.0.1",
                                  "-p",
                                  std::to_string(server_->port()),
                                  "-u",
                                  "ann",
                                  "-n",
                                  "pcK"};
    argv.insert(argv.end(), args.begin(), args.end());
    // Tcl and Tk keep their allocations until the process ends.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::vector<EnvChange> env{
        {"DISPLAY", display ? std::optional<std::string>(display_) : std::nullopt},
        {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0"}};
    ChildProcess client(argv, env);
    Run run;
    run.status = client.WaitExit(60s).value_or(-1);
    run.out = client.Stdout();
    run.err = client.Stderr();
    ExpectNoSanitizerFindings(run.err);
    return run;
  }

  static std::unique_ptr<TestHome> home_;
  static std::unique_ptr<RunningServer> server_;
  static std::unique_ptr<ChildProcess> xvfb_;
  static std::string display_;
};

std::unique_ptr<TestHome> KesclientDialog::home_;
std::unique_ptr<RunningServer> KesclientDialog::server_;
std::unique_ptr<ChildProcess> KesclientDialog::xvfb_;
std::string KesclientDialog::display_;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(KesclientDialog, FieldsComboboxChangeAndSelectedRowsReachTheJob) {
  // Field 3 starts from its populate script with the fields blanked; picking
  // "zip" asks for field 3 again and refills the list box.
  const Run run = Kesclient({"dialog", "-eval",
                             "puts \"before: $name3\"\n"
                             "puts \"images: [image type bi] [image width icona]\"\n"
                             "puts \"icon: [.lb.c1.tvf.tv item c0001 -image]\"\n"
                             "set name1 World\n"
                             "set name2 zip\n"
                             "event generate $wn2 <<ComboboxSelected>>\n"
                             "update\n"
                             ".lb.c1.tvf.tv selection set {c0001 c0003}\n"
                             ".bb.okbutton invoke",
                             "dlg"});
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* line :
       {"before: derived-\n", "images: photo 1\n", "icon: icona\n", "KESFIELD1=World\n",
        "KESFIELD2=zip\n", "KESFIELD3=derived-zip\n", "KESLISTBOXSELECTIONS=2\n",
        "KESLISTBOXCOLUMNS=2\n", "KESHEADING_1=Name\n", "KESHEADING_2=Size\n", "NAME_1=a\n",
        "SIZE_1=1\n", "NAME_2=c\n", "SIZE_2=3\n", "KESLISTBOXVARIABLES=NAME SIZE\n"}) {
    EXPECT_TRUE(Has(run.out, line)) << line << " missing from\n" << run.out;
  }
  const std::string log = home_->Log();
  EXPECT_TRUE(Has(log, "Field Populate Script \"" + home_->path() + "/derive.sh\" exits code 0"));
  EXPECT_TRUE(Has(home_->ReadFile("reasons"), "FIELDCHANGE\n"));
}

TEST_F(KesclientDialog, ApplyRefillsTheListBoxAndADoubleClickPressesOk) {
  const Run run = Kesclient({"dialog", "-eval", "apply\ndblclick", "dlg"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Has(run.out, "KESLISTBOXSELECTIONS=0\n")) << run.out;
  EXPECT_TRUE(Has(home_->ReadFile("reasons"), "APPLY\n"));
}

TEST_F(KesclientDialog, ARefusingValidationScriptKeepsTheDialogOpenWithItsMessage) {
  const Run run = Kesclient({"dialog", "-eval",
                             "set name1 bad\n"
                             ".bb.okbutton invoke\n"
                             "after 200 {\n"
                             "  puts \"shown: [.bb.kesmessage cget -text]\"\n"
                             "  set name1 good\n"
                             "  .bb.okbutton invoke\n"
                             "}",
                             "dlg"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Has(run.out, "shown: Name may not be bad\n")) << run.out;
  EXPECT_TRUE(Has(run.out, "KESFIELD1=good\n")) << run.out;
  EXPECT_FALSE(Has(run.out, "KESFIELD1=bad\n")) << run.out;
}

struct Outcome {
  std::vector<std::string> args;
  bool display;
  int status;
  std::string inOut;  // expected in standard output
  std::string inErr;  // expected in standard error
  std::string inLog;  // expected in the server log
};

TEST_F(KesclientDialog, OutcomesOtherThanOk) {
  const Outcome cases[] = {
      {{"dialog", "-eval", ".bb.cancelbutton invoke", "dlg"},
       true,
       255,
       "",
       "kesclient: the dialog of job dlg was cancelled\n",
       "ann@pcK cancels dialog for job dlg"},
      {{"dialog", "dlg"},
       false,
       255,
       "",
       "kesclient: the dialog of job dlg needs an X display (DISPLAY is not set)\n",
       "cancels dialog for job dlg"},
      {{"dialog", "-nd", "dlg"}, false, 255, "", "Job contains UI and -nd option specified", ""},
      // A job without a dialog runs at once, with or without a display.
      {{"dialog", "-nd", "plain", "x"}, false, 0, "KESLISTBOXSELECTIONS=0", "", ""},
      {{"dialog", "plain"}, false, 0, "KESLISTBOXSELECTIONS=0", "", ""},
      // Another job's dialog opened from this one gets this one's values.
      {{"dialog", "-eval", "set name1 World\n.lb.c1.tvf.tv.menuA invoke 0\n.bb.cancelbutton invoke",
        "dlg"},
       true,
       255,
       "KESPASSEDFIELD1=World",
       "",
       ""},
      {{"dialog", "nosuch"},
       true,
       255,
       "",
       "job nosuch does not exist or you may not use it",
       "could not open dialog - job \"NOSUCH\", does not exist"},
      {{"dialog", "-x", "dlg"}, true, 255, "", "dialog: unknown option -x", ""},
      // A standard input chosen by the user is user interface.
      {{"dialog", "-nd", "asks"}, true, 255, "", "Job contains UI", ""},
  };
  for (const Outcome& c : cases) {
    SCOPED_TRACE(c.args.back());
    const Run run = Kesclient(c.args, c.display);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(Has(run.out, c.inOut)) << run.out;
    EXPECT_TRUE(Has(run.err, c.inErr)) << run.err;
    EXPECT_TRUE(WaitUntil([&] { return Has(home_->Log(), c.inLog); }, 5s)) << c.inLog;
  }
}

// Without column names the script's first line names the columns, when the
// dialog is built and when the client refills the list box.
TEST_F(KesclientDialog, ARefilledListBoxTakesItsHeadingsFromTheFirstLine) {
  const Run run =
      Kesclient({"dialog", "-eval", "apply\n.lb.c1.tvf.tv selection set c0001\n.bb.okbutton invoke",
                 "nocols"});
  EXPECT_EQ(run.status, 0) << run.err;
  for (const char* line : {"KESLISTBOXCOLUMNS=2\n", "KESHEADING_1=Name\n", "NAME_1=x\n",
                           "SIZE_1=9\n", "KESLISTBOXSELECTIONS=1\n"}) {
    EXPECT_TRUE(Has(run.out, line)) << line << " missing from\n" << run.out;
  }
}

// The server's dialog script runs in a safe interpreter: no programs, no
// files. Only --trust-server gives it the user's rights.
TEST_F(KesclientDialog, TheDialogScriptReachesTheMachineOnlyWhenTheServerIsTrusted) {
  const std::string ran[] = {home_->path() + "/exec-ran", home_->path() + "/open-ran"};
  Run run = Kesclient({"dialog", "hostile"});
  EXPECT_EQ(run.status, 255) << run.err;
  for (const std::string& file : ran) EXPECT_NE(::access(file.c_str(), F_OK), 0) << file;
  run = Kesclient({"dialog", "--trust-server", "hostile"});
  EXPECT_EQ(run.status, 255) << run.err;
  for (const std::string& file : ran) EXPECT_EQ(::access(file.c_str(), F_OK), 0) << file;
}

TEST_F(KesclientDialog, StreamsGoWhereTheJobSays) {
  home_->WriteFile("in.txt", "line one\nline two\n");
  // -y: the files the job names are opened without asking.
  const Run run = Kesclient({"dialog", "-y", "tofile"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(home_->ReadFile("out.txt"), "line one\nline two\n");
}

// A file the job names is opened only once the user said yes in the
// question the dialog's display shows after OK. The question belongs to
// kesclient, out of the safe interpreter's reach: only a trusted dialog's
// -eval code can press its buttons, as the test does.
TEST_F(KesclientDialog, AFileTheJobNamesWaitsForTheUsersAnswer) {
  const struct {
    const char* answer;
    int status;
    bool written;
  } cases[] = {{"no", 255, false}, {"yes", 0, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    ::unlink((home_->path() + "/dlgout.txt").c_str());
    const Run run = Kesclient({"dialog", "--trust-server", "-eval",
                               std::string("proc answer {} {\n"
                                           "  set b .__tk__messagebox.") +
                                   c.answer +
                                   "\n"
                                   "  if {[winfo exists $b]} {$b invoke} else {after 20 answer}\n"
                                   "}\n"
                                   "answer\n"
                                   ".bb.okbutton invoke",
                               "dlgfile"});
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(::access((home_->path() + "/dlgout.txt").c_str(), F_OK) == 0, c.written);
    if (c.written) {
      EXPECT_TRUE(Has(home_->ReadFile("dlgout.txt"), "KESFIELD1="));
    }
  }
}

}  // namespace
}  // namespace kestrun::test
