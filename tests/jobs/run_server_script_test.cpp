// RUN_SERVER_SCRIPT against the built KestrunServer in a temporary home,
// spoken to over loopback with the protocol library: the bytes of the run,
// the replies, the log lines and what the job itself was given.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "protocol/messages/dialog_scripts.h"
#include "protocol/request_types.h"

#include "tests/jobs/run_client.h"
#include "tests/support/ask.h"
#include "tests/support/server_home.h"
#include "tests/support/waiting.h"

namespace kestrun::test {
namespace {

using namespace std::chrono_literals;

const std::string kChild = KES_JOB_CHILD;
const std::string kZeros24(24, '\0');

// Client-sent variable names that a run must refuse: what interpreters,
// loaders and shells read, and the server's own names.
const std::vector<std::string> kRefusedNames = {"PYTHONWARNINGS",    "BROWSER",
                                                "NODE_OPTIONS",      "GIT_CONFIG_COUNT",
                                                "GIT_CONFIG_KEY_0",  "GIT_CONFIG_VALUE_0",
                                                "PERL5LIB",          "PYTHONPATH",
                                                "JAVA_TOOL_OPTIONS", "OPENSSL_CONF",
                                                "LESSOPEN",          "LD_PRELOAD1",
                                                "BASH_FUNC_x1",      "PS4",
                                                "KESFIELD1"};
// Names of list-box rows, which it takes.
const std::vector<std::string> kAcceptedNames = {"HOST_1", "CUSTOMER2", "ORDER_1"};

// "  param = NAME" for every name of both tables, refused ones first.
std::string NameParams() {
  std::string params;
  for (const auto* names : {&kRefusedNames, &kAcceptedNames})
    for (const std::string& name : *names) params += "  param = " + name + "\n";
  return params;
}

std::string Jobs(const std::string& home) {
  const std::string child = "  program = " + kChild + "\n";
  return "environment = " + home +
         "/global.env\n"
         "groupprocessor = " KES_GROUP_PLUGIN
         "\n\n"
         "ARGS:\n" +
         child +
         "  param = args\n  param = $KESCLIENTUSERNAME\n"
         "  title = Arguments\n  usetty = off\n\n"
         "CAT:\n" +
         child +
         "  param = cat\n  usetty = off\n\n"
         "CHOOSER:\n" +
         child + "  param = exit\n  param = 0\n  stdout = filechooser\n  stderr = file:" + home +
         "/err.txt\n  allowstop = off\n\n"
         "REPORTED:\n" +
         child +
         "  param = exit\n  param = 0\n  stdout = report\n"
         "  stderr = discard\n  allowstop = off\n\n"
         "TRAY:\n" +
         child + "  param = both\n  stdout = popup\n  stderr = file:" + home +
         "/tray.txt\n  allowstop = off\n  systemtray = hold\n  usetty = off\n\n"
         "TRAYNOHOLD:\n" +
         child +
         "  param = exit\n  param = 0\n  systemtray = on\n\n"
         "EXIT7:\n" +
         child +
         "  param = exit\n  param = 7\n  usetty = off\n\n"
         "SINGLE:\n" +
         child +
         "  param = cat\n  usetty = off\n  denyifjobrunning = {single}\n\n"
         "FOLLOWER:\n" +
         child +
         "  param = exit\n  param = 0\n  denyifjobrunning = {SINGLE}\n\n"
         "NEEDSSINGLE:\n" +
         child +
         "  param = exit\n  param = 0\n"
         "  allowifjobrunning = {SINGLE}\n\n"
         "NEVER:\n" +
         child +
         "  param = exit\n  param = 0\n  allowifjobrunning = {}\n\n"
         "LOCKED:\n" +
         child +
         "  param = cat\n  usetty = off\n  lockparameter = 2\n"
         "  denyifjobrunning = {LOCKED:2}\n\n"
         "NOPROGRAM:\n  title = Empty Job\n\n"
         "NOPROGRAMNOTITLE:\n  helptext = nothing to run\n\n"
         "MISSING:\n  program = " +
         home +
         "/no-such-program\n  usetty = off\n\n"
         "MISSINGTTY:\n  program = " +
         home +
         "/no-such-program\n\n"
         "SECRET:\n" +
         child +
         "  param = exit\n  param = 0\n  group = Admins\n\n"
         "TTY:\n" +
         child +
         "  param = tty\n\n"
         "TTYPOPUP:\n" +
         child +
         "  param = tty\n  stdout = popup\n  stderr = popup\n\n"
         "ENVIRONMENT:\n" +
         child + "  usetty = off\n  environment = " + home +
         "/job.env\n"
         "  param = env\n  param = KESJOBNAME\n  param = KESDIALOGNAME\n  param = KESREASON\n"
         "  param = KESCLIENTNODENAME\n  param = KESCLIENTUSERNAME\n  param = KESSTDINFILENAME\n"
         "  param = KESCURRENTFIELD\n  param = KESCHANGEDFIELD\n  param = KESFIELD1\n"
         "  param = KESFIELD2\n  param = KESLISTBOXSELECTIONS\n  param = KESLISTBOXCOLUMNS\n"
         "  param = KESHEADING_1\n  param = CUSTOMER1\n  param = CUSTOMER2\n  param = ORDER_1\n"
         "  param = KESLISTBOXVARIABLES\n  param = KESPASSEDFIELD1\n"
         "  param = KESPASSEDLISTBOXSELECTIONS\n  param = KESPASSEDLISTBOXVARIABLES\n"
         "  param = SHARED\n  param = GLOBALONLY\n  param = KESTRUNHOME\n\n"
         "NAMES:\n" +
         child + "  usetty = off\n  param = env\n" + NameParams() +
         "\n"
         "LBNAMES:\n  listboxscript = " +
         kChild + "\n  param = env\n" + NameParams() +
         "\n"
         "BASHJOB:\n  program = " +
         home +
         "/job.sh\n  usetty = off\n\n"
         "HOLD:\n" +
         child + "  usetty = off\n  param = hold\n  param = " + home +
         "/in.marker\n  param = " + home + "/release.fifo\n  param = " + home + "/done.marker\n";
}

class RunServerScript : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = std::make_unique<TestHome>();
    home_->CopyProgram("kestrunTTY");
    home_->WriteFile("global.env", "SHARED=global\nGLOBALONLY=1\n");
    home_->WriteFile("job.env", "SHARED=job # the job's own file wins\n");
    home_->WriteFile("groups.txt", "Admins:bob\n");
    home_->WriteFile("job.sh", "#!/bin/bash\ncat >/dev/null\necho ran\n");
    ::chmod((home_->path() + "/job.sh").c_str(), 0755);
    server_ = std::make_unique<RunningServer>(
        *home_, std::vector<EnvChange>{{"KESGP_FILE", home_->path() + "/groups.txt"}},
        Jobs(home_->path()));
  }
  static void TearDownTestSuite() {
    StopServerChecked(server_.get());
    server_.reset();
    home_.reset();
  }
  void SetUp() override { ASSERT_TRUE(server_->ready()) << server_->process().Stderr(); }

  static int port() { return server_->port(); }
  static std::string Log() { return home_->Log(); }
  static bool LogHas(const std::string& text) {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; });
  }

  static std::unique_ptr<TestHome> home_;
  static std::unique_ptr<RunningServer> server_;
};

std::unique_ptr<TestHome> RunServerScript::home_;
std::unique_ptr<RunningServer> RunServerScript::server_;

bool IsServerThread(pid_t server, uint32_t tid) {
  return std::filesystem::exists("/proc/" + std::to_string(server) + "/task/" +
                                 std::to_string(tid));
}

std::string Words(std::initializer_list<uint32_t> words) {
  std::string bytes;
  for (uint32_t w : words)
    for (int shift : {24, 16, 8, 0}) bytes += static_cast<char>(w >> shift);
  return bytes;
}

TEST_F(RunServerScript, StartHeaderCarriesDisplayOptionsAndTheRequestThreadAsStopId) {
  RunClient run(port(), RunFields("cat"));
  const std::string h = run.ReadRaw(20);
  ASSERT_EQ(h.size(), 20u);
  // display, popup (the defaults), stop id, no tray
  EXPECT_EQ(h.substr(0, 8), Words({1, 2}));
  EXPECT_EQ(h.substr(12), Words({0, 0}));
  // The stop id is the id of the thread that serves this run, alive until
  // the run ends.
  const uint32_t stopId = WordAt(h, 8);
  EXPECT_NE(stopId, 0u);
  EXPECT_TRUE(IsServerThread(server_->process().pid(), stopId));
  run.SendChunk("hello");
  run.SendEndOfInput();
  const RunOutput out = run.ReadOutput();
  EXPECT_EQ(out.out, "hello");
  EXPECT_TRUE(out.endWord);
  const RunReply reply = run.Reply();
  EXPECT_EQ(reply.status, 1);
  EXPECT_EQ(reply.exitCode, 0);
}

TEST_F(RunServerScript, StartHeaderOfEveryDisplayOptionWithoutStop) {
  RunClient reported(port(), RunFields("REPORTED"));  // report, discard
  EXPECT_EQ(reported.ReadRaw(20), Words({3, 0, 0, 0, 0}));
  const RunOutput out = reported.ReadOutput();
  EXPECT_EQ(out.frames, 0u);
  EXPECT_TRUE(out.endWord);
  EXPECT_EQ(reported.Reply().status, 1);

  RunClient chooser(port(), RunFields("CHOOSER"));  // filechooser, file
  EXPECT_EQ(chooser.ReadRaw(20), Words({4, 5, 0, 0, 0}));
  EXPECT_TRUE(chooser.ReadOutput().endWord);
  EXPECT_EQ(chooser.Reply().status, 1);
}

TEST_F(RunServerScript, SystemTrayJobsStartAfterFourBytesFromTheClient) {
  RunClient tray(port(), RunFields("TRAY"));
  EXPECT_EQ(tray.ReadRaw(20), Words({2, 5, 0, 1, 1}));
  tray.SendRaw(std::string("\0\0\0\1", 4));
  const RunOutput out = tray.ReadOutput();
  EXPECT_EQ(out.out, "out\n");
  EXPECT_EQ(out.err, "err\n");
  const RunReply reply = tray.Reply();
  EXPECT_EQ(reply.status, 1);
  EXPECT_EQ(reply.text, "Kestrun");

  RunClient noHold(port(), RunFields("TRAYNOHOLD"));
  const auto h = noHold.Header();
  EXPECT_EQ(h[0], 1u);
  EXPECT_EQ(h[1], 2u);
  EXPECT_NE(h[2], 0u);
  EXPECT_EQ(h[3], 1u);
  EXPECT_EQ(h[4], 0u);
  noHold.SendRaw("abcd");
  EXPECT_TRUE(noHold.ReadOutput().endWord);
  EXPECT_EQ(noHold.Reply().status, 1);

  // A tray client that goes away before it is ready: the job is not started.
  RunClient gone(port(), RunFields("TRAYNOHOLD").Node("pcT"));
  EXPECT_EQ(gone.Header()[3], 1u);
  gone.Close();
  EXPECT_TRUE(LogHas(" ann@pcT - Communication failure with client\n"));
  EXPECT_EQ(Log().find("ann@pcT Executing Script"), std::string::npos);
}

// Input that arrives after the job ended is never read by the run; the
// server reads it away before closing, so the client gets the whole reply and
// a clean end rather than a reset.
TEST_F(RunServerScript, InputAfterTheJobEndedStillGivesTheReplyAndACleanEnd) {
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    RunClient run(port(), RunFields("EXIT7"));
    ASSERT_EQ(run.Header()[0], 1u);
    ASSERT_TRUE(run.ReadOutput().endWord);
    run.SendChunk(std::string(2000, 'x'));
    run.SendEndOfInput();
    const RunReply reply = run.Reply();
    EXPECT_EQ(reply.status, 1);
    EXPECT_EQ(reply.exitCode, 7);
    EXPECT_EQ(run.ReadToEnd(), 0);
  }
}

TEST_F(RunServerScript, UnknownJobAndGroupDenialGiveOneReplyAndDifferentLogLines) {
  RunClient unknown(port(), RunFields("nosuch").User("ann").Node("pc7"));
  EXPECT_EQ(unknown.ReadRaw(24), kZeros24);
  RunReply reply = unknown.Reply();
  EXPECT_EQ(reply.status, 0);
  EXPECT_EQ(reply.text, "Kestrun Job not found");
  EXPECT_EQ(unknown.ReadRaw(1), "");  // nothing after the reply

  RunClient secret(port(), RunFields("Secret").User("ann").Node("pc7"));
  EXPECT_EQ(secret.ReadRaw(24), kZeros24);
  reply = secret.Reply();
  EXPECT_EQ(reply.status, 0);
  EXPECT_EQ(reply.text, "Kestrun Job not found");
  EXPECT_EQ(secret.ReadRaw(1), "");

  // The group processor answers: a member of the job's group runs it.
  RunClient member(port(), RunFields("SECRET").User("bob").Node("pc7"));
  EXPECT_EQ(member.Header()[0], 1u);
  EXPECT_TRUE(member.ReadOutput().endWord);
  EXPECT_EQ(member.Reply().status, 1);

  const std::string log = Log();
  EXPECT_EQ(CountOf(log, " ann@pc7 attempts to invoke job \"NOSUCH\" - job does not exist\n"), 1u);
  EXPECT_EQ(CountOf(log, " ann@pc7 could not invoke job \"SECRET\" - denied by group permission\n"),
            1u);
  EXPECT_EQ(CountOf(log, "ann@pc7 "), 2u);
  EXPECT_EQ(CountOf(log, " bob@pc7 invoking job \"SECRET\"\n"), 1u);
}

TEST_F(RunServerScript, DenyAndAllowRulesAgainstARunningJob) {
  RunClient first(port(), RunFields("SINGLE"));
  first.Header();
  first.SendChunk("x");
  RunOutput firstOut;
  ASSERT_TRUE(first.ReadOutputUntil("x", firstOut));  // running and in the table

  RunClient again(port(), RunFields("single").User("bob").Node("pc2"));
  EXPECT_EQ(again.ReadRaw(24), kZeros24);
  RunReply reply = again.Reply();
  EXPECT_EQ(reply.status, 0);
  EXPECT_EQ(reply.text, "bob@pc2 Cannot run SINGLE - it is already running");

  RunClient follower(port(), RunFields("FOLLOWER").User("bob").Node("pc2"));
  EXPECT_EQ(follower.ReadRaw(24), kZeros24);
  EXPECT_EQ(follower.Reply().text, "bob@pc2 Cannot run FOLLOWER - job SINGLE is running");

  RunClient allowed(port(), RunFields("NEEDSSINGLE").User("bob").Node("pc2"));
  allowed.Header();
  EXPECT_TRUE(allowed.ReadOutput().endWord);
  EXPECT_EQ(allowed.Reply().status, 1);

  first.SendEndOfInput();
  EXPECT_TRUE(first.ReadOutput().endWord);
  EXPECT_EQ(first.Reply().status, 1);

  RunClient refused(port(), RunFields("NEEDSSINGLE").User("bob").Node("pc2"));
  EXPECT_EQ(refused.ReadRaw(24), kZeros24);
  EXPECT_EQ(refused.Reply().text, "bob@pc2 Cannot run NEEDSSINGLE - job SINGLE is not running");

  const std::string log = Log();
  EXPECT_EQ(
      CountOf(log, " bob@pc2 could not invoke job \"SINGLE\" - denied due to Deny/Allow job\n"),
      1u);
  EXPECT_EQ(
      CountOf(log,
              " bob@pc2 could not invoke job \"NEEDSSINGLE\" - denied due to Deny/Allow job\n"),
      1u);
}

TEST_F(RunServerScript, AnEmptyAllowListRefusesEveryRequest) {
  RunClient never(port(), RunFields("NEVER").Node("pc3"));
  EXPECT_EQ(never.ReadRaw(24), kZeros24);
  const RunReply reply = never.Reply();
  EXPECT_EQ(reply.status, 0);
  EXPECT_EQ(reply.text, "ann@pc3 Cannot run NEVER - job  is not running");
}

TEST_F(RunServerScript, LockParameterRefusesOnlyTheSameLockValue) {
  RunClient eu(port(), RunFields("LOCKED").Params({"EU"}));
  eu.Header();
  eu.SendChunk("eu");
  RunOutput euOut;
  ASSERT_TRUE(eu.ReadOutputUntil("eu", euOut));

  RunClient eu2(port(), RunFields("LOCKED").Params({"EU"}).Node("pc4"));
  EXPECT_EQ(eu2.ReadRaw(24), kZeros24);
  EXPECT_EQ(eu2.Reply().text, "ann@pc4 Cannot run LOCKED - it is already running");

  RunClient us(port(), RunFields("LOCKED").Params({"US"}).Node("pc4"));
  EXPECT_EQ(us.Header()[0], 1u);
  us.SendEndOfInput();
  EXPECT_TRUE(us.ReadOutput().endWord);
  EXPECT_EQ(us.Reply().status, 1);

  eu.SendEndOfInput();
  EXPECT_TRUE(eu.ReadOutput().endWord);
  EXPECT_EQ(eu.Reply().status, 1);
}

TEST_F(RunServerScript, AJobWithoutProgramAnswersDoneWithItsTitle) {
  RunClient titled(port(), RunFields("NOPROGRAM").Node("pc5"));
  EXPECT_EQ(titled.ReadRaw(24), kZeros24);
  RunReply reply = titled.Reply();
  EXPECT_EQ(reply.status, 1);
  EXPECT_EQ(reply.exitCode, 0);
  EXPECT_EQ(reply.text, "Empty Job");

  RunClient untitled(port(), RunFields("NOPROGRAMNOTITLE").Node("pc5"));
  EXPECT_EQ(untitled.ReadRaw(24), kZeros24);
  reply = untitled.Reply();
  EXPECT_EQ(reply.status, 1);
  EXPECT_EQ(reply.text, "");
  EXPECT_EQ(CountOf(Log(), " ann@pc5 No Program directive for Job \"NOPROGRAM\" in kestrun.conf\n"),
            1u);
}

TEST_F(RunServerScript, ExitCodeAndTitleOrKestrunAndTheLogOfARun) {
  RunClient run(port(), RunFields("EXIT7").Node("pc6"));
  run.Header();
  const RunOutput out = run.ReadOutput();
  EXPECT_EQ(out.frames, 0u);
  EXPECT_TRUE(out.endWord);
  const RunReply reply = run.Reply();
  EXPECT_EQ(reply.status, 1);
  EXPECT_EQ(reply.exitCode, 7);
  EXPECT_EQ(reply.text, "Kestrun");
  const std::string log = Log();
  const size_t invoking = log.find(" ann@pc6 invoking job \"EXIT7\"\n");
  const size_t executing = log.find(" ann@pc6 Executing Script \"" + kChild + "\"\n");
  const size_t exits = log.find(" ann@pc6 Script \"" + kChild + "\" exits code 7\n");
  ASSERT_NE(invoking, std::string::npos);
  ASSERT_NE(executing, std::string::npos);
  ASSERT_NE(exits, std::string::npos);
  EXPECT_LT(invoking, executing);
  EXPECT_LT(executing, exits);

  RunClient titled(port(), RunFields("ARGS"));
  titled.Header();
  titled.ReadOutput();
  EXPECT_EQ(titled.Reply().text, "Arguments");
}

TEST_F(RunServerScript, AProgramThatCannotBeStartedGetsTheSystemsErrorText) {
  for (const char* job : {"MISSING", "MISSINGTTY"}) {
    SCOPED_TRACE(job);
    RunClient run(port(), RunFields(job).Node("pc8"));
    EXPECT_EQ(run.Header()[0], 1u);
    const RunOutput out = run.ReadOutput();
    EXPECT_EQ(out.frames, 0u);
    EXPECT_TRUE(out.endWord);
    const RunReply reply = run.Reply();
    EXPECT_EQ(reply.status, 0);
    EXPECT_EQ(reply.text, "Could not execute server-side script: No such file or directory");
  }
  EXPECT_EQ(CountOf(Log(), " ann@pc8 - failed to execute script \"" + home_->path() +
                               "/no-such-program\" - No such file or directory\n"),
            2u);
}

TEST_F(RunServerScript, ParameterCountAbove65535MeansItsLow16BitsAndNoTerminal) {
  RunClient tty(port(), RunFields("TTY").Params({"a", "b"}));
  tty.Header();
  EXPECT_EQ(tty.ReadOutput().out, "tty a b\n");
  EXPECT_EQ(tty.Reply().status, 1);

  // 65538: two parameters, and the request goes on with the blocks after them.
  RunClient pipe(port(), RunFields("TTY").Params({"a", "b"}).NoTerminal().StdinFileName("f"));
  pipe.Header();
  EXPECT_EQ(pipe.ReadOutput().out, "pipe a b\n");
  EXPECT_EQ(pipe.Reply().status, 1);
  EXPECT_TRUE(server_->process().WaitForStdout("NumParams=2\nParam=[a]\nParam=[b]\n",
                                               std::chrono::seconds(30)));

  // Popup output never goes through the terminal wrapper, `usetty` or not.
  RunClient popup(port(), RunFields("TTYPOPUP"));
  EXPECT_EQ(popup.Header()[0], 2u);
  EXPECT_EQ(popup.ReadOutput().out, "pipe\n");
  EXPECT_EQ(popup.Reply().status, 1);
}

TEST_F(RunServerScript, ArgumentsAreTheJobsParametersThenTheClientsExpanded) {
  RunClient run(port(), RunFields("args")
                            .Params({"$KESJOBNAME", "two words", "$$KESREASON"})
                            .Node("pcA")
                            .StdinFileName("input.txt"));
  run.Header();
  EXPECT_EQ(run.ReadOutput().out, "[ann]\n[ARGS]\n[two words]\n[SCRIPT]\n");
  EXPECT_EQ(run.Reply().status, 1);
  const std::string console = server_->process().Stdout();
  const std::string expected =
      "In RunServerScript\nProgramID=[ARGS] ClientUserName=[ann]\nNumParams=3\n"
      "Param=[$KESJOBNAME]\nParam=[two words]\nParam=[$$KESREASON]\n"
      "Doing the KESFIELD and Passed Stuff\n"
      "Done all that, looking for Node Name and what not\n"
      "NodeName=[pcA] ClientPID=4242\nStandardInFileName=[input.txt]\n";
  EXPECT_NE(console.find(expected), std::string::npos) << console;
}

const messages::DialogBlocks kEnvironmentBlocks{
    {{"first", "second value"}},
    {2,
     {"Customer"},
     {{"CUSTOMER1", "Smith"}, {"CUSTOMER2", "Jones"}, {"ORDER_1", "77"}, {"KESREASON", "X"}}},
    {{{"passed"}}, {9, {{"KESJOBNAME", "OTHER"}}}}};

TEST_F(RunServerScript, TheRunsEnvironmentHoldsFilesBlocksAndItsOwnVariablesLast) {
  RunClient run(
      port(),
      RunFields("Environment").Blocks(kEnvironmentBlocks).Node("pcB").StdinFileName("in.txt"));
  run.Header();
  const std::string out = run.ReadOutput().out;
  EXPECT_EQ(run.Reply().status, 1);
  EXPECT_EQ(out,
            "KESJOBNAME=ENVIRONMENT\nKESDIALOGNAME=ENVIRONMENT\nKESREASON=SCRIPT\n"
            "KESCLIENTNODENAME=pcB\nKESCLIENTUSERNAME=ann\nKESSTDINFILENAME=in.txt\n"
            "KESCURRENTFIELD=\nKESCHANGEDFIELD=\nKESFIELD1=first\nKESFIELD2=second value\n"
            "KESLISTBOXSELECTIONS=2\nKESLISTBOXCOLUMNS=1\nKESHEADING_1=Customer\n"
            "CUSTOMER1=Smith\nCUSTOMER2=Jones\nORDER_1=77\n"
            "KESLISTBOXVARIABLES=CUSTOMER ORDER\nKESPASSEDFIELD1=passed\n"
            "KESPASSEDLISTBOXSELECTIONS=9\nKESPASSEDLISTBOXVARIABLES unset\n"
            "SHARED=job \nGLOBALONLY=1\nKESTRUNHOME=" +
                home_->path() + "\n");
}

// A bash job reads BASH_ENV before its script: a client that could set it
// would run its own commands as the server's user.
TEST_F(RunServerScript, ClientVariablesThatAShellActsOnAreRefusedAndLogged) {
  const std::string pwned = home_->path() + "/pwned";
  RunClient run(
      port(),
      RunFields("BASHJOB").User("eve").Node("pcE").Blocks(
          {{},
           {0, {}, {{"BASH_ENV", "/dev/stdin"}, {"LD_PRELOAD", "/tmp/x.so"}, {"ROW_1", "ok"}}},
           {{}, {0, {{"PATH", "/tmp/evilbin"}}}}}));
  run.Header();
  run.SendChunk("touch " + pwned + "\n");
  run.SendEndOfInput();
  EXPECT_EQ(run.ReadOutput().out, "ran\n");
  EXPECT_EQ(run.Reply().status, 1);
  EXPECT_FALSE(std::filesystem::exists(pwned));
  const std::string log = home_->Log();
  for (const char* name : {"BASH_ENV", "LD_PRELOAD", "PATH"}) {
    EXPECT_NE(log.find(std::string(" eve@pcE - list-box variable ") + name + " refused\n"),
              std::string::npos)
        << name;
  }
  EXPECT_EQ(log.find("list-box variable ROW_1"), std::string::npos);
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

// Empty field blocks, and these variables in the list-box block and the
// passed list-box block.
messages::DialogBlocks Variables(Pairs listBox, Pairs passed = {}) {
  return {{}, {1, {}, std::move(listBox)}, {{}, {1, std::move(passed)}}};
}

// Every name of both tables, refused ones first, with the value "client!".
Pairs AllNames() {
  Pairs pairs;
  for (const auto* names : {&kRefusedNames, &kAcceptedNames})
    for (const std::string& name : *names) pairs.emplace_back(name, "client!");
  return pairs;
}

// `count` rows ROW<k>=v from k = `first` on.
Pairs Rows(int first, int count) {
  Pairs rows;
  for (int k = first; k < first + count; ++k) rows.emplace_back("ROW" + std::to_string(k), "v");
  return rows;
}

// RUN_LISTBOX_SCRIPT for LBNAMES with `blocks`.
messages::ListBoxScriptReply ListBoxScript(int port, const std::string& node,
                                           const messages::DialogBlocks& blocks) {
  XDRWRAP m;
  messages::EncodeRequest(
      m, messages::RunListBoxScriptRequest{"LBNAMES", "eve", {}, blocks, node, 77, "REFRESH", ""});
  std::optional<XDRWRAP> reply = Exchange(port, m);
  if (!reply) return messages::ScriptRefused{"no reply"};
  return messages::DecodeListBoxScriptReply(*reply);
}

// The client's value reached the job (which printed one line per name) for
// exactly the accepted names, and each refused one was logged.
void ExpectOnlyAcceptedNamesSet(const std::vector<std::string>& lines, const std::string& log,
                                const std::string& node) {
  const Pairs names = AllNames();
  ASSERT_EQ(lines.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i].first;
    const bool accepted = i >= kRefusedNames.size();
    EXPECT_EQ(lines[i] == name + "=client!", accepted) << node << ": " << lines[i];
    EXPECT_EQ(CountOf(log, " eve@" + node + " - list-box variable " + name + " refused\n"),
              accepted ? 0u : 1u)
        << node << ": " << name;
  }
}

TEST_F(RunServerScript, ClientVariablesAreTakenOnlyUnderRowNamesInEveryBlockAndRequest) {
  for (const bool passed : {false, true}) {
    const std::string node = passed ? "pcP" : "pcL";
    RunClient run(port(), RunFields("NAMES").User("eve").Node(node).Blocks(
                              passed ? Variables({}, AllNames()) : Variables(AllNames())));
    run.Header();
    std::vector<std::string> lines;
    std::istringstream out(run.ReadOutput().out);
    for (std::string line; std::getline(out, line);) lines.push_back(line);
    EXPECT_EQ(run.Reply().status, 1);
    ExpectOnlyAcceptedNamesSet(lines, Log(), node);
  }
  const messages::ListBoxScriptReply reply = ListBoxScript(port(), "pcD", Variables(AllNames()));
  ASSERT_TRUE(std::holds_alternative<messages::ListBoxFilled>(reply));
  ExpectOnlyAcceptedNamesSet(std::get<messages::ListBoxFilled>(reply).lines, Log(), "pcD");
}

TEST_F(RunServerScript, MoreThan1000ListBoxVariablesRefuseTheRequest) {
  const char* kTooMany = "Too many list-box variables (more than 1000)";
  RunClient full(port(),
                 RunFields("EXIT7").Node("pcM").Blocks(Variables(Rows(0, 600), Rows(600, 400))));
  full.Header();
  EXPECT_TRUE(full.ReadOutput().endWord);
  EXPECT_EQ(full.Reply().exitCode, 7);

  RunClient over(port(),
                 RunFields("EXIT7").Node("pcM").Blocks(Variables(Rows(0, 600), Rows(600, 401))));
  EXPECT_EQ(over.ReadRaw(24), kZeros24);
  const RunReply reply = over.Reply();
  EXPECT_EQ(reply.status, 0);
  EXPECT_EQ(reply.text, kTooMany);
  EXPECT_EQ(CountOf(Log(), " ann@pcM could not invoke job \"EXIT7\" - " + std::string(kTooMany)),
            1u);

  EXPECT_EQ(ListBoxScript(port(), "pcM", Variables(Rows(0, 1001))),
            messages::ListBoxScriptReply(messages::ScriptRefused{kTooMany}));
  EXPECT_EQ(CountOf(Log(), " eve@pcM - ListBoxScript for job \"LBNAMES\": " +
                               std::string(kTooMany) + "\n"),
            1u);
}

bool AnswersEcho(int port) {
  return test::Echoes(port, 31);
}

// A parameter naming a long variable many times: expanded in full it would
// take gigabytes. The expansion stops at the kernel's limit for a program's
// arguments and environment, and the server goes on.
TEST_F(RunServerScript, AnExpansionPastTheArgumentLimitIsRefusedAndTheServerGoesOn) {
  const std::string kTooLong = "Could not execute server-side script: Argument list too long";
  std::string references;
  for (int k = 0; k < 4000; ++k) references += "$X1";
  RunClient run(port(), RunFields("ARGS")
                            .Node("pcX")
                            .Params({references})
                            .Blocks(Variables({{"X1", std::string(1 << 20, 'x')}})));
  EXPECT_EQ(run.ReadRaw(24), kZeros24);
  RunReply reply = run.Reply();
  EXPECT_EQ(reply.status, 0);
  EXPECT_EQ(reply.text, kTooLong);
  EXPECT_EQ(CountOf(Log(), " ann@pcX could not invoke job \"ARGS\" - Argument list too long\n"),
            1u);
  EXPECT_TRUE(AnswersEcho(port()));

  // The value of X1 names Y1 over and over: the request's own expansion fits,
  // the second one at the launch does not.
  const size_t limit = static_cast<size_t>(::sysconf(_SC_ARG_MAX));
  std::string named;
  while (named.size() < limit / 6) named += "$Y1";
  RunClient launch(port(), RunFields("ARGS").Node("pcY").Params({"$X1"}).Blocks(
                               Variables({{"X1", named}, {"Y1", std::string(limit / 8, 'y')}})));
  launch.Header();
  EXPECT_TRUE(launch.ReadOutput().endWord);
  reply = launch.Reply();
  EXPECT_EQ(reply.status, 0);
  EXPECT_EQ(reply.text, kTooLong);
  EXPECT_EQ(CountOf(Log(), " ann@pcY - failed to execute script \"" + kChild +
                               "\" - Argument list too long\n"),
            1u);
  EXPECT_TRUE(AnswersEcho(port()));
}

// A server started without PATH: its jobs get a fixed search path, never
// one a client sends.
TEST(RunServerScriptWithoutPath, JobsGetTheDefaultSearchPath) {
  TestHome home;
  RunningServer server(home, {{"PATH", std::nullopt}},
                       "P:\n  program = " + kChild +
                           "\n  usetty = off\n  param = env\n"
                           "  param = PATH\n");
  ASSERT_TRUE(server.ready()) << server.process().Stderr();
  RunClient run(server.port(), RunFields("P").Blocks(Variables({{"PATH", "/tmp/evil"}})));
  run.Header();
  EXPECT_EQ(run.ReadOutput().out, "PATH=/usr/local/bin:/usr/bin:/bin\n");
  EXPECT_EQ(run.Reply().status, 1);
  EXPECT_NE(home.Log().find(" ann@pc1 - list-box variable PATH refused\n"), std::string::npos);
  StopServerChecked(&server);
}

TEST_F(RunServerScript, AUserNameWithALineFeedCannotForgeALogLine) {
  RunClient run(
      port(),
      RunFields("NOSUCHJOB").User("eve\n2099-01-01 00:00:00 root@admin invoking job \"X\""));
  run.ReadRaw(kZeros24.size());
  EXPECT_EQ(run.Reply().status, 0);
  const std::string log = home_->Log();
  EXPECT_EQ(log.find("\n2099-01-01"), std::string::npos) << log;
  EXPECT_NE(
      log.find("eve\\n2099-01-01 00:00:00 root@admin invoking job \"X\"@pc1 attempts to invoke"),
      std::string::npos)
      << log;
}

TEST_F(RunServerScript, AClientThatGoesAwayLeavesTheJobRunningToItsEnd) {
  const std::string fifo = home_->path() + "/release.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  RunClient run(port(), RunFields("HOLD").Node("pc9"));
  run.Header();
  run.Close();
  // The job's input ends once the server has seen the client go.
  const std::string inMarker = home_->path() + "/in.marker";
  ASSERT_TRUE(WaitUntil([&] { return !home_->ReadFile("in.marker").empty(); }));
  const pid_t job = std::stoi(home_->ReadFile("in.marker"));
  EXPECT_EQ(::kill(job, 0), 0);                                   // still running
  const int writer = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);  // waits for the job's open
  ASSERT_GE(writer, 0);
  ::close(writer);
  EXPECT_TRUE(WaitUntil([&] { return home_->ReadFile("done.marker") == "done"; }));
  EXPECT_TRUE(LogHas(" ann@pc9 - Communication failure with client\n"));
  EXPECT_EQ(Log().find("ann@pc9 Script"), std::string::npos);
}

}  // namespace
}  // namespace kestrun::test
