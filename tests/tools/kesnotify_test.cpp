// kesnotify against the built server in a temporary home: its options, usage
// and messages, its statuses and exit codes, the balloon a docked client
// receives, its reading of kestrun.conf, and SendNotification called as a
// library function.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "client/client_config.h"
#include "protocol/datagram.h"
#include "protocol/messages/notify.h"
#include "server/dispatcher.h"
#include "tests/notify/udp_listener.h"
#include "tests/support/ask.h"
#include "tests/support/server_home.h"
#include "tools/kesnotify/kesnotify.h"
#include "tools/kesnotify/tool_options.h"

namespace kestrun::test {
namespace {

const char* const kGroups = "Ops:bob\nDev:carol,bob\n";

void DockAt(int serverPort, const std::string& user, const std::string& host, int udpPort) {
  ASSERT_TRUE(Ask<messages::ClientKeepaliveReply>(
      serverPort, messages::ClientKeepaliveRequest{user, host, udpPort}));
}

struct CliCase {
  const char* name;
  std::vector<std::string> args;
  std::vector<EnvChange> env;
  int status;
  std::string out;
  std::string errStart;                  // standard error starts with this
  std::optional<kestrun::Balloon> sent;  // what bob's client receives
};

// Without -title the balloon's title is the server's host name: this
// machine's for a server on localhost.
std::string LocalHostName() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}
const std::string kHost = LocalHostName();

const std::string kUsageHead = "USAGE: kesnotify <options...>\nWhere <options> are:\n";

const CliCase kCliCases[] = {
    {"GroupsThenUserInOrder",
     {"-text", "hello", "-group", "Ops,Dev", "-user", "bob"},
     {},
     0,
     "Group Ops: okay\nGroup Dev: okay\nUser bob: okay\n",
     "",
     kestrun::Balloon{kHost, "hello", 0, false}},
    {"JobEnvironmentNamesTheUser",
     {"-text", "hello"},
     {{"KESCLIENTUSERNAME", "bob"}},
     0,
     "User bob: okay\n",
     "",
     kestrun::Balloon{kHost, "hello", 0, false}},
    {"IconTitleAndNow",
     {"-icon", "Warning", "-text", "hi", "-user", "bob", "-now", "-title", "T"},
     {},
     0,
     "User bob: okay\n",
     "",
     kestrun::Balloon{"T", "hi", 2, true}},
    {"ServerOptionWithTheConfigPort",
     {"-b", "127.0.0.1", "-text", "hi", "-user", "bob"},
     {},
     0,
     "User bob: okay\n",
     "",
     kestrun::Balloon{kHost, "hi", 0, false}},
    {"EmptyGroupItemsSkipped",
     {"-group", ",Ops,,Dev,", "-text", "hi"},
     {},
     0,
     "Group Ops: okay\nGroup Dev: okay\n",
     "",
     kestrun::Balloon{kHost, "hi", 0, false}},
    // No target reached anyone: status 2, so that scripts see it.
    {"NobodyFound",
     {"-group", "Nope", "-client", "PC9", "-user", "zed", "-text", "x"},
     {},
     2,
     "Group Nope: Group does not exist or has no members\nClient PC9: Not processed\nUser zed: "
     "user not found\n",
     "",
     std::nullopt},
    // One target reached is enough.
    {"OneOfTwoUsersReached",
     {"-user", "zed,bob", "-text", "x"},
     {},
     0,
     "User zed: user not found\nUser bob: okay\n",
     "",
     kestrun::Balloon{kHost, "x", 0, false}},
    {"TextWithoutArgument",
     {"-group", "Ops", "-text"},
     {},
     1,
     "",
     "Parameter -text requires an argument\n",
     std::nullopt},
    {"ArgumentCannotStartWithDash",
     {"-text", "-5C", "-group", "Ops"},
     {},
     1,
     "",
     "Parameter -text requires an argument\n",
     std::nullopt},
    {"OptionNamesAreCaseSensitive",
     {"-Text", "hi", "-group", "Ops"},
     {},
     1,
     "",
     "Invalid option -Text specified\n",
     std::nullopt},
    {"UnknownIcon",
     {"-icon", "big", "-text", "hi", "-group", "Ops"},
     {},
     1,
     "",
     "-icon must be one of none, warning, info or error\n" + kUsageHead,
     std::nullopt},
    {"FirstNonOptionEndsTheOptions",
     {"hello", "-text", "hi"},
     {},
     1,
     "",
     "-text is a mandatory field\n" + kUsageHead,
     std::nullopt},
    {"InheritedTextDoesNotCount",
     {"-user", "bob"},
     {{"KESTEXT", "x"}},
     1,
     "",
     "-text is a mandatory field\n" + kUsageHead,
     std::nullopt},
    {"NoTarget",
     {"-text", "hi"},
     {},
     1,
     "",
     "One of -group, -client or -user must be specified\n" + kUsageHead,
     std::nullopt},
    {"Help", {"-h", "-text", "hi"}, {}, 1, "", "\n" + kUsageHead, std::nullopt},
};

class KesnotifyCli : public testing::TestWithParam<CliCase> {
 protected:
  static void SetUpTestSuite() {
    home_ = new TestHome;
    home_->CopyProgram("kesnotify");
    home_->CopyProgram("libkesnotify.so");
    home_->WriteFile("groups.txt", kGroups);
    server_ = new RunningServer(*home_, {{"KESGP_FILE", home_->path() + "/groups.txt"}},
                                std::string("groupprocessor=") + KESGP_FILE_PATH + "\n");
    ASSERT_TRUE(server_->ready()) << server_->process().Stderr();
  }
  static void TearDownTestSuite() {
    delete server_;
    delete home_;
  }
  static TestHome* home_;
  static RunningServer* server_;
};
TestHome* KesnotifyCli::home_ = nullptr;
RunningServer* KesnotifyCli::server_ = nullptr;

TEST_P(KesnotifyCli, PrintsAndSends) {
  const CliCase& c = GetParam();
  UdpListener bob;
  DockAt(server_->port(), "bob", "PC1", bob.port());
  std::vector<std::string> argv{home_->path() + "/kesnotify"};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  std::vector<EnvChange> env{{"KESCLIENTUSERNAME", std::nullopt},
                             {"KESCLIENTNODENAME", std::nullopt},
                             {"KESIMMEDIATE", std::nullopt},
                             {"KESSERVER", std::nullopt},
                             {"KESPORT", std::nullopt}};
  env.insert(env.end(), c.env.begin(), c.env.end());
  const ProgramResult r = RunProgram(argv, env);
  EXPECT_EQ(r.status, c.status) << r.err;
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err.substr(0, c.errStart.size()), c.errStart) << r.err;
  if (c.status == 0 || c.status == kesnotify::kExitNoneReached) {
    EXPECT_EQ(r.err, "");
  }
  const std::vector<std::string> got = bob.Queued();
  if (!c.sent) {
    EXPECT_TRUE(got.empty());
    return;
  }
  const std::vector<uint8_t> want = EncodeBalloonDatagram(*c.sent);
  EXPECT_EQ(got, std::vector<std::string>{std::string(want.begin(), want.end())});
}

INSTANTIATE_TEST_SUITE_P(Options, KesnotifyCli, testing::ValuesIn(kCliCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(KesnotifyUsage, LinesAsDocumented) {
  TestHome home;
  home.CopyProgram("kesnotify");
  home.CopyProgram("libkesnotify.so");
  home.WriteConfig("port=1\n");
  const ProgramResult r = RunProgram({home.path() + "/kesnotify", "-h"});
  EXPECT_EQ(r.status, 1);
  const std::string blanks(33, ' ');
  for (const std::string& line :
       {"\n-client <clientname> KESCLIENTNODENAME\n" + blanks + "Optional (unless -group",
        "\n" + blanks + "Server needs to have a \"Group Processor\"\n",
        std::string(
            "\n-now                             Displays the balloon immediately rather than\n"),
        "\n\n<icontype> can be one of:\n" + blanks + "none      - No Icon (default)\n",
        blanks + "info      - Information Icon\n\n"}) {
    EXPECT_NE(r.err.find(line), std::string::npos) << line;
  }
  const std::string tail = "Information Icon\n\n";  // the text's line feed and one more
  ASSERT_GT(r.err.size(), tail.size());
  EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
}

// -b and -p (or KESSERVER and KESPORT) name the server; the kestrun.conf
// beside the tool names a port where nothing listens.
TEST(KesnotifyServerChoice, ServerAndPortOptionsAreHonoured) {
  TestHome serverHome;
  RunningServer server(serverHome);
  ASSERT_TRUE(server.ready()) << server.process().Stderr();
  TestHome tool;
  tool.CopyProgram("kesnotify");
  tool.CopyProgram("libkesnotify.so");
  tool.WriteConfig("port=" + std::to_string(FreePort()) + "\n");
  const std::string port = std::to_string(server.port());
  struct Case {
    std::vector<std::string> args;
    std::vector<EnvChange> env;
    int status;
    std::string out;
    std::string errStart;
  };
  const Case cases[] = {
      {{"-b", "127.0.0.2", "-p", port}, {}, 0, "User bob: okay\n", ""},
      {{}, {{"KESSERVER", "127.0.0.2"}, {"KESPORT", port}}, 0, "User bob: okay\n", ""},
      {{"-b", "no-such-host.invalid", "-p", port},
       {},
       1,
       "",
       "Could not connect to Kestrun Server - cannot resolve hostname"},
      {{"-p", "70000"}, {}, 1, "", "-p must be a port number from 1 to 65535\n" + kUsageHead},
  };
  for (const Case& c : cases) {
    UdpListener bob;
    DockAt(server.port(), "bob", "PC1", bob.port());
    std::vector<std::string> argv{tool.path() + "/kesnotify"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    for (const char* a : {"-text", "hi", "-user", "bob"}) argv.push_back(a);
    std::vector<EnvChange> env{{"KESSERVER", std::nullopt}, {"KESPORT", std::nullopt}};
    env.insert(env.end(), c.env.begin(), c.env.end());
    const ProgramResult r = RunProgram(argv, env);
    EXPECT_EQ(r.status, c.status) << argv[2] << r.err;
    EXPECT_EQ(r.out, c.out) << argv[2];
    EXPECT_EQ(r.err.substr(0, c.errStart.size()), c.errStart) << r.err;
    EXPECT_EQ(bob.Queued().size(), c.status == 0 ? 1u : 0u) << argv[2];
  }
}

struct ConfCase {
  const char* name;
  std::string text;
  int port;  // -1: syntax error
  int errorLine;
};

const ConfCase kConfCases[] = {
    {"GlobalPort", "port=7\n", 7, 0},
    {"CommentLineClosesTheStanza", "Job:\nprogram = x\n# note\nPort = 99\n", 99, 0},
    {"StanzaPortIgnored", "Job:\nport = 5\n\nport = 6\n", 6, 0},
    {"BlanksAndComment", "  PORT  =  12  # the port\n", 12, 0},
    {"NoPort", "server = x\n", 0, 0},
    {"SyntaxErrorLine", "port=1\n\nnot a directive\n", -1, 3},
    {"LongLineRemainderReadAsALine", "x=" + std::string(1021, 'a') + "port=5\n", 5, 0},
    {"LongLineRemainderIsAnError", "port=2\nx=" + std::string(1030, 'b') + "\n", -1, 3},
};

class ToolConfig : public testing::TestWithParam<ConfCase> {};

TEST_P(ToolConfig, PortAndSyntaxErrors) {
  const ConfCase& c = GetParam();
  const client::ClientConfig r = client::ParseClientConfig(c.text);
  EXPECT_EQ(r.syntaxErrorLine, c.errorLine);
  if (c.port >= 0) EXPECT_EQ(r.port, c.port);
}

INSTANTIATE_TEST_SUITE_P(Files, ToolConfig, testing::ValuesIn(kConfCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct FailureCase {
  const char* name;
  std::optional<std::string> conf;  // none: no kestrun.conf
  std::string err;                  // exactly
};

TEST(KesnotifyFailures, MessagesAndStatusOne) {
  const int nobody = FreePort();
  const FailureCase cases[] = {
      {"NoConfig", std::nullopt, "Kestrun: Could not find or open config file\n"},
      {"SyntaxError", "port=1\nbad line\n", "Syntax error, line 2 in "},
      {"Refused", "port=" + std::to_string(nobody) + "\n",
       "Could not connect to Kestrun Server - Connected Refused (Kestrun Server running?)"},
  };
  for (const FailureCase& c : cases) {
    TestHome home;
    home.CopyProgram("kesnotify");
    home.CopyProgram("libkesnotify.so");
    if (c.conf) home.WriteConfig(*c.conf);
    const ProgramResult r = RunProgram({home.path() + "/kesnotify", "-text", "x", "-user", "bob"});
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.out, "") << c.name;
    if (std::string(c.name) == "SyntaxError") {
      EXPECT_EQ(r.err, c.err + home.path() + "/kestrun.conf\n");
    } else {
      EXPECT_EQ(r.err, c.err) << c.name;
    }
  }
}

// The library function returns instead of ending its caller, and writes the
// statuses into the caller's records.
TEST(SendNotificationLibrary, ReturnsOneWhenNoConnectionAndStatusesOnSuccess) {
  target_notification_tag user{KESNOTIFY_USER, "zed", KESNOTIFY_NOT_PROCESSED, nullptr};
  testing::internal::CaptureStderr();
  EXPECT_EQ(SendNotification("no-such-host.invalid", 1, &user, 0, "t", "x", 0), 1);
  EXPECT_EQ(SendNotification("127.0.0.1", FreePort(), &user, 0, "t", "x", 0), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Could not connect to Kestrun Server - cannot resolve hostname"
            "Could not connect to Kestrun Server - Connected Refused (Kestrun Server running?)");

  TestHome home;
  RunningServer server(home);
  ASSERT_TRUE(server.ready());
  target_notification_tag group{KESNOTIFY_GROUP, "Ops", KESNOTIFY_NOT_PROCESSED, &user};
  target_notification_tag empty{KESNOTIFY_CLIENT, "", KESNOTIFY_NOT_PROCESSED, &group};
  EXPECT_EQ(SendNotification("127.0.0.1", server.port(), &empty, 1, "t", "x", 1), 0);
  EXPECT_EQ(empty.status, KESNOTIFY_NOT_PROCESSED);  // an empty name is not sent
  EXPECT_EQ(group.status, KESNOTIFY_NO_SUCH_GROUP);  // no group processor here
  EXPECT_EQ(user.status, KESNOTIFY_USER_NOT_FOUND);
}

TEST(SendNotificationLibrary, CProgramLinksAndGetsTheStatus) {
  TestHome home;
  RunningServer server(home);
  ASSERT_TRUE(server.ready());
  UdpListener bob;
  DockAt(server.port(), "bob", "PC1", bob.port());
  const ProgramResult r = RunProgram({KES_C_CALLER, std::to_string(server.port()), "bob", "hi"});
  EXPECT_EQ(r.out, "result 0 status 1\n") << r.err;
  const std::vector<uint8_t> want = EncodeBalloonDatagram({"C", "hi", 1, false});
  EXPECT_EQ(bob.Queued(), std::vector<std::string>{std::string(want.begin(), want.end())});
}

}  // namespace
}  // namespace kestrun::test
