// The administrative command line against a stand-in server: the requests it
// sends, field by field, and its exact output and status.
#include "server/admin_command.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/messages/jobs_admin.h"
#include "server/dispatcher.h"
#include "tests/server/fake_server.h"
#include "tests/support/ask.h"
#include "tests/support/server_home.h"

namespace kestrun {
namespace {

using namespace messages;
using test::Encoded;
using test::FakeServer;
using test::IsRequest;
using test::Reply;

constexpr std::time_t kNow = 1'750'000'000;

struct Captured {
  int status = -1;
  std::string out, err;
  std::vector<std::string> log;
};

Captured RunAdmin(int port, std::vector<std::string> args, bool listBox = false) {
  Captured c;
  char* outText = nullptr;
  char* errText = nullptr;
  size_t outSize = 0, errSize = 0;
  AdminEnvironment env;
  env.listBoxMode = listBox;
  env.clock = [] { return kNow; };
  env.log = [&](const std::string& line) { c.log.push_back(line); };
  env.out = open_memstream(&outText, &outSize);
  env.err = open_memstream(&errText, &errSize);
  args.insert(args.begin(), "KestrunServer");
  c.status = RunAdminCommand(port, args, env);
  std::fclose(env.out);
  std::fclose(env.err);
  c.out.assign(outText, outSize);
  c.err.assign(errText, errSize);
  std::free(outText);
  std::free(errText);
  return c;
}

// The start time of a job that started `ago` seconds before kNow.
uint32_t Ago(std::time_t ago) {
  return static_cast<uint32_t>(kNow - ago);
}

// A reply listing jobs: (name, lock, user, pid, start).
FakeServer::Answer JobsAnswer(std::vector<ActiveJobEntry> jobs) {
  return [jobs](XDRWRAP& request) -> std::optional<XDRWRAP> {
    EXPECT_TRUE(IsRequest(request, GetActiveJobsRequest{}));  // no fields
    return Encoded(GetActiveJobsReply{jobs});
  };
}

TEST(ShowJobs, NoJobsPrintsNoActiveJobsAndNothingInListBoxMode) {
  {
    FakeServer server(JobsAnswer({}));
    const Captured c = RunAdmin(server.port(), {"-showjobs"});
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out, "No Active Jobs\n");
    EXPECT_EQ(c.err, "");
  }
  FakeServer server(JobsAnswer({}));
  const Captured c = RunAdmin(server.port(), {"-showjobs"}, true);
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.out, "");
}

TEST(ShowJobs, TableWithHeadingsAndRunTimes) {
  FakeServer server(JobsAnswer({{"BACKUP", "disk1", "alice", 4242, Ago(3725)},
                                {"NIGHTLY", "", "SCHEDULER", 77, Ago(100 * 3600)}}));
  const Captured c = RunAdmin(server.port(), {"-SHOWJOBS"});
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.out,
            "Active Job(s)...\n"
            "Job Name                 Lock Value          User           Run Time Process ID\n"
            "--------                 ----------          ----           -------- ----------\n"
            "BACKUP                   disk1               alice          01:02:05 4242\n"
            "NIGHTLY                                      SCHEDULER      100:00:00 77\n");
}

TEST(ShowJobs, ListBoxRowsAreCommaSeparatedWithEmptyLockValue) {
  FakeServer server(JobsAnswer({{"NIGHTLY", "", "SCHEDULER", 77, Ago(3725)}}));
  const Captured c = RunAdmin(server.port(), {"-showjobs"}, true);
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.out, "NIGHTLY,,SCHEDULER,01:02:05,77\n");
}

TEST(ShowJobs, ReplyCutShortEndsWithStatusOneAfterTheRowsRead) {
  FakeServer server([](XDRWRAP&) -> std::optional<XDRWRAP> {
    return Reply([](XDRWRAP& m) {  // malformed on purpose
      m.AddString("A");
      m.AddString("");
      m.AddString("bob");
      m.AddLong(1);
      m.AddLong(static_cast<int32_t>(kNow));
      m.AddString("B");  // then nothing
    });
  });
  const Captured c = RunAdmin(server.port(), {"-showjobs"}, true);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, "A,,bob,00:00:00,1\n");
  EXPECT_EQ(c.err, "");
}

FakeServer::Answer DockedAnswer(bool withClients) {
  return [withClients](XDRWRAP& request) -> std::optional<XDRWRAP> {
    EXPECT_TRUE(IsRequest(request, DumpClientNodeNamesRequest{1}));
    DumpClientNodeNamesReply reply;
    if (withClients)
      reply.clients = {{"PC1", "alice", 0x0A010203, 5000}, {"laptop-22", "bob", 0xC0A80A14, 41000}};
    return Encoded(reply);
  };
}

TEST(ShowDocked, TableOfClientsWithDottedAddresses) {
  FakeServer server(DockedAnswer(true));
  const Captured c = RunAdmin(server.port(), {"-ShowDocked"});
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.out,
            "Docked Client(s):\n"
            "-----------------\n"
            "\n"
            "Username             Client Hostname           IP Address       UDP Port\n"
            "--------             ---------------           ----------       --------\n"
            "alice                PC1                       10.1.2.3         5000\n"
            "bob                  laptop-22                 192.168.10.20    41000\n");
}

TEST(ShowDocked, ListBoxRows) {
  FakeServer server(DockedAnswer(true));
  const Captured c = RunAdmin(server.port(), {"-showdocked"}, true);
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.out, "alice,PC1,10.1.2.3,5000\nbob,laptop-22,192.168.10.20,41000\n");
}

TEST(ShowDocked, EmptyRegistry) {
  {
    FakeServer server(DockedAnswer(false));
    const Captured c = RunAdmin(server.port(), {"-showdocked"});
    EXPECT_EQ(c.out, "No Docked Clients registered\n");
    EXPECT_EQ(c.status, 0);
  }
  FakeServer server(DockedAnswer(false));
  const Captured c = RunAdmin(server.port(), {"-showdocked"}, true);
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(c.status, 0);
}

FakeServer::Answer KillAnswer(int32_t expectedPid, bool killed) {
  return [=](XDRWRAP& request) -> std::optional<XDRWRAP> {
    EXPECT_TRUE(IsRequest(request, KillJobRequest{expectedPid}));
    return killed ? Encoded(KillJobKilled{"BACKUP"}) : Encoded(KillJobRefused{});
  };
}

TEST(KillJob, LeadingDigitsNameTheProcess) {
  FakeServer server(KillAnswer(12, true));
  const Captured c = RunAdmin(server.port(), {"-KILLJOB", "12ab"});
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.out, "Process ID 12 (BACKUP) Killed\n");
  EXPECT_EQ(c.err, "");
}

TEST(KillJob, RefusedKill) {
  FakeServer server(KillAnswer(4242, false));
  const Captured c = RunAdmin(server.port(), {"-killjob", "4242"});
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(c.err, "Could not kill process ID 4242\n");
}

TEST(KillJob, ArgumentErrorsNeverConnect) {
  const int port = test::FreePort();  // nothing listens there
  for (const char* bad : {"abc", "0", "", "99999999999"}) {
    const Captured c = RunAdmin(port, {"-killjob", bad});
    EXPECT_EQ(c.status, 1) << bad;
    EXPECT_EQ(c.err, "Invalid Process Id\n") << bad;
  }
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-killjob"}, {"-killjob", "12", "extra"}}) {
    const Captured c = RunAdmin(port, args);
    EXPECT_EQ(c.status, 1);
    EXPECT_EQ(c.err, "USAGE: -killjob <process id>\n\n");
    EXPECT_EQ(c.out, "");
  }
}

TEST(Shutdown, AcknowledgedShutdownIsLoggedAndPrinted) {
  FakeServer server([](XDRWRAP& request) -> std::optional<XDRWRAP> {
    EXPECT_TRUE(IsRequest(request, ShutdownRequest{}));
    return Encoded(ShutdownReply{});
  });
  const Captured c = RunAdmin(server.port(), {"-shutdown"});
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.out, "Kestrun Server shutdown\n");
  EXPECT_EQ(c.log, std::vector<std::string>{"Kestrun Server shutdown"});
}

TEST(Shutdown, NotAcknowledgedFailsSilently) {
  for (bool replies : {true, false}) {
    FakeServer server([replies](XDRWRAP&) -> std::optional<XDRWRAP> {
      if (!replies) return std::nullopt;
      return Encoded(KillJobRefused{});  // a result other than shutting down
    });
    const Captured c = RunAdmin(server.port(), {"-shutdown"});
    EXPECT_EQ(c.status, 1);
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "");
    EXPECT_TRUE(c.log.empty());
  }
}

TEST(Connecting, NoServerListening) {
  const int port = test::FreePort();
  for (const char* option : {"-showjobs", "-showdocked", "-shutdown"}) {
    const Captured c = RunAdmin(port, {option});
    EXPECT_EQ(c.status, 1);
    EXPECT_EQ(c.err, "Could not connect to Kestrun Server\n");
  }
  const Captured c = RunAdmin(port, {"-killjob", "5"});
  EXPECT_EQ(c.err, "Could not connect to Kestrun Server\n");
}

TEST(Options, UnknownOptionIsNamed) {
  const Captured c = RunAdmin(test::FreePort(), {"-startservice"});
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.err, std::string("Unknown option -startservice\n") + kServerOptions);
  EXPECT_EQ(c.out, "");
  for (const char* help : {"-h", "--help"}) {
    const Captured h = RunAdmin(test::FreePort(), {help});
    EXPECT_EQ(h.status, 1);
    EXPECT_EQ(h.err, "Unknown option " + std::string(help) + "\n" + kServerOptions);
  }
}

TEST(RunTime, HoursMinutesSeconds) {
  EXPECT_EQ(FormatRunTime(0), "00:00:00");
  EXPECT_EQ(FormatRunTime(3725), "01:02:05");
  EXPECT_EQ(FormatRunTime(359999), "99:59:59");
  EXPECT_EQ(FormatRunTime(360000), "100:00:00");
  EXPECT_EQ(FormatRunTime(-3), "00:00:00");
}

TEST(ProcessIdArgument, LeadingDecimalInteger) {
  EXPECT_EQ(ParseProcessId("12ab"), 12);
  EXPECT_EQ(ParseProcessId("abc"), 0);
  EXPECT_EQ(ParseProcessId(" 42"), 42);
  EXPECT_EQ(ParseProcessId("2147483647"), 2147483647);
  EXPECT_EQ(ParseProcessId("4294968530"), 0) << "would be 1234 once cut to 32 bits";
}

}  // namespace
}  // namespace kestrun
