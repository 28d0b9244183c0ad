// The built KestrunServer running real jobs in a temporary home: the
// administrative command line listing and killing a job whose program has a
// child and a grandchild, and a job that closes its input while the client
// still sends some (the server must not die of the broken pipe).
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/messages/jobs_admin.h"
#include "server/dispatcher.h"
#include "tests/jobs/run_client.h"
#include "tests/support/ask.h"
#include "tests/support/server_home.h"
#include "tests/support/waiting.h"

namespace kestrun::test {
namespace {

using test::WaitUntil;

using namespace std::chrono_literals;

const std::string kBanner = "Kestrun Server Version 2.3\n";
const std::vector<EnvChange> kNoReason = {{"KESREASON", std::nullopt}};
const std::vector<EnvChange> kListBox = {{"KESREASON", "LISTBOX"}};

// The value of a field of /proc/<pid>/status ("Threads", "SigIgn"), or ""
// when the process is gone.
std::string StatusField(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      const size_t value = line.find_first_not_of(" \t", field.size() + 1);
      return value == std::string::npos ? "" : line.substr(value);
    }
  }
  return "";
}

// Gone: no such process, or only its zombie is left for its parent to reap.
bool ProcessGone(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return true;
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

std::vector<pid_t> Pids(const std::string& lines) {
  std::vector<pid_t> pids;
  std::istringstream in(lines);
  for (pid_t pid; in >> pid;) pids.push_back(pid);
  return pids;
}

// The data of the next standard-output frame of a run; nullopt at the end
// word or when the connection ends.
std::optional<std::string> ReadOutputFrame(RunClient& run) {
  for (;;) {
    const std::string head = run.ReadRaw(4);
    if (head.size() < 4 || WordAt(head, 0) == 0) return std::nullopt;
    const std::string stream = run.ReadRaw(4);
    const std::string data = run.ReadRaw(WordAt(head, 0));
    if (stream.size() < 4 || data.size() < WordAt(head, 0)) return std::nullopt;
    if (WordAt(stream, 0) != 1) return data;  // 1 is standard error
  }
}

// Reads the run's output until the job's program, its child and its
// grandchild (or `lines` processes) have each printed their pid on a line of
// their own.
std::vector<pid_t> ReadTreePids(RunClient& run, long lines = 3) {
  std::string out;
  while (std::count(out.begin(), out.end(), '\n') < lines) {
    const std::optional<std::string> frame = ReadOutputFrame(run);
    if (!frame) break;
    out += *frame;
  }
  return Pids(out);
}

class ServerJobs : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string jobs = "TREE:\n  program = " KES_TEST_CHILD
                             "\n  param = tree\n  usetty = off\n\n"
                             "ESCAPE:\n  program = " KES_SERVER_JOB_CHILD
                             "\n  param = escape\n  usetty = off\n\n"
                             "FLOOD:\n  program = " KES_SERVER_JOB_CHILD
                             "\n  param = flood\n  usetty = off\n  allowstop = on\n\n"
                             "CLOSEDINPUT:\n  program = " KES_SERVER_JOB_CHILD
                             "\n  param = close-input\n  param = " +
                             home_.path() + "/release.marker\n  usetty = off\n";
    server_ = std::make_unique<RunningServer>(home_, kNoReason, jobs);
    ASSERT_TRUE(server_->ready()) << server_->process().Stderr();
  }

  ProgramResult Admin(std::vector<std::string> args,
                      const std::vector<EnvChange>& env = kNoReason) {
    args.insert(args.begin(), home_.Program());
    return RunProgram(args, env);
  }

  bool ServerAlive() { return !server_->process().WaitExit(0ms).has_value(); }

  TestHome home_;
  std::unique_ptr<RunningServer> server_;
};

// -showjobs lists the running job; "-KILLJOB <pid>ab" kills it by its leading
// digits; the program, its child and its grandchild are all gone; the run
// ends with exit code 1 and the job leaves the table.
TEST_F(ServerJobs, KilljobEndsTheJobWithItsChildAndGrandchild) {
  const RunFields fields = RunFields("TREE").User("carol");
  RunClient run(server_->port(), fields);
  ASSERT_TRUE(run.connected());
  run.Header();
  const std::vector<pid_t> tree = ReadTreePids(run);
  ASSERT_EQ(tree.size(), 3u);
  const std::string pid = std::to_string(tree[0]);

  ProgramResult r = Admin({"-showjobs"}, kListBox);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(std::regex_match(r.out, std::regex("TREE,,carol,00:00:0\\d," + pid + "\n"))) << r.out;

  r = Admin({"-KILLJOB", pid + "ab"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kBanner + "Process ID " + pid + " (TREE) Killed\n");
  for (pid_t p : tree) EXPECT_TRUE(WaitUntil([&] { return ProcessGone(p); })) << p;

  const RunOutput rest = run.ReadOutput();
  EXPECT_TRUE(rest.endWord);
  const RunReply reply = run.Reply();
  EXPECT_EQ(reply.status, 1);
  EXPECT_EQ(reply.exitCode, 1) << "a job the server killed ends with exit code 1";

  r = Admin({"-showjobs"});
  EXPECT_EQ(r.out, kBanner + "No Active Jobs\n");
  const std::string log = home_.Log();
  EXPECT_NE(log.find(" Administrator requests kill of process id " + pid + "\n"),
            std::string::npos);
  EXPECT_NE(log.find(" Process ID " + pid + " (TREE) terminated successfully\n"),
            std::string::npos);
  r = Admin({"-killjob", pid});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Could not kill process ID " + pid + "\n");
}

// A grandchild that left the job's session (setsid and a double fork) and
// holds the job's standard output dies with a KILL_JOB of the job, and the
// run ends: the client gets the end word and the reply.
TEST_F(ServerJobs, KilljobKillsAGrandchildThatLeftTheSessionAndTheRunEnds) {
  RunClient run(server_->port(), RunFields("ESCAPE"));
  ASSERT_TRUE(run.connected());
  run.Header();
  const std::vector<pid_t> pids = ReadTreePids(run, 2);
  ASSERT_EQ(pids.size(), 2u);
  ProgramResult r = Admin({"-KILLJOB", std::to_string(pids[0])});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(WaitUntil([&] { return ProcessGone(pids[1]); })) << "the escaped grandchild lives";
  const RunOutput rest = run.ReadOutput();
  EXPECT_TRUE(rest.endWord);
  EXPECT_EQ(run.Reply().exitCode, 1);
  EXPECT_EQ(Admin({"-showjobs"}).out, kBanner + "No Active Jobs\n");
}

// The names of the jobs GET_ACTIVE_JOBS lists.
std::vector<std::string> ActiveJobs(int port) {
  const auto reply =
      test::Ask<messages::GetActiveJobsReply>(port, messages::GetActiveJobsRequest{});
  if (!reply) return {"(no reply)"};
  std::vector<std::string> names;
  for (const messages::ActiveJobEntry& job : reply->jobs) names.push_back(job.jobName);
  return names;
}

std::string ProcessState(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(in, stat);
  const size_t close = stat.rfind(')');
  return close == std::string::npos ? "" : stat.substr(close + 2, 1);
}

// A client that never reads while its job floods standard output: after
// STOP_REQUEST the job leaves GET_ACTIVE_JOBS within 45 seconds (the blocked
// send gives up after 30 seconds without progress).
TEST_F(ServerJobs, StoppedJobOfAClientThatNeverReadsLeavesTheActiveJobs) {
  RunClient run(server_->port(), RunFields("FLOOD"));
  ASSERT_TRUE(run.connected());
  const uint32_t stopId = run.Header()[2];
  ASSERT_NE(stopId, 0u);
  // The start header goes out just before the program is started and listed.
  ASSERT_TRUE(
      WaitUntil([&] { return ActiveJobs(server_->port()) == std::vector<std::string>{"FLOOD"}; }));
  // The flooding program sleeps only once every buffer up to the client is
  // full and the pump is stuck in its send.
  const std::string shown = Admin({"-showjobs"}, kListBox).out;
  const pid_t job = std::stoi(shown.substr(shown.rfind(',') + 1));
  ASSERT_TRUE(WaitUntil([&] { return ProcessState(job) == "S"; })) << ProcessState(job);

  ASSERT_TRUE(test::Ask<messages::StopReply>(server_->port(), messages::StopRequest{stopId}));
  EXPECT_TRUE(WaitUntil([&] { return ActiveJobs(server_->port()).empty(); }, 45s));
}

// A request whose bytes trickle in, each well within the 30 seconds allowed
// between bytes, is dropped 60 seconds after its first byte: within 70
// seconds of the connection, magic included.
TEST_F(ServerJobs, TricklingRequestIsDroppedWithinSeventySeconds) {
  std::optional<ServerConnection> c = ConnectToServer(server_->port(), "127.0.0.1");
  ASSERT_TRUE(c);
  const SocketHandle s = c->socket.get();
  const auto start = std::chrono::steady_clock::now();
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    const std::string magic("\x12\x5A\xBB\xCD", 4);
    SendPiece piece{magic.data(), magic.size()};
    net::SendAll(s, {&piece, 1});
    const char zero = 0;
    piece = {&zero, 1};
    // Bytes of a header: a sender this slow would need minutes for it.
    while (!done.load() && net::SendAll(s, {&piece, 1}) == 0) {
      for (int i = 0; i < 50 && !done.load(); ++i) std::this_thread::sleep_for(100ms);
    }
  });
  char byte = 0;
  int error = 0;
  const bool closed =
      net::WaitReadable(s, 75s) == WaitResult::Ready && net::ReceiveSome(s, &byte, 1, &error) <= 0;
  const auto took = std::chrono::steady_clock::now() - start;
  done = true;
  trickle.join();
  EXPECT_TRUE(closed);
  EXPECT_LT(took, 70s);
}

// The server ignores SIGPIPE, and a job that closed its input while the
// client still sends input costs the run its input pump, not the server.
TEST_F(ServerJobs, InputForAProgramThatClosedItsInputDoesNotEndTheServer) {
  const pid_t server = server_->process().pid();
  const unsigned long ignored = std::stoul(StatusField(server, "SigIgn"), nullptr, 16);
  EXPECT_TRUE(ignored & (1ul << (SIGPIPE - 1))) << StatusField(server, "SigIgn");

  const RunFields fields("CLOSEDINPUT");
  RunClient run(server_->port(), fields);
  ASSERT_TRUE(run.connected());
  run.Header();
  RunOutput output;
  ASSERT_TRUE(run.ReadOutputUntil("closed\n", output));
  // The input pump writes this into a pipe that has no reader any more, gets
  // EPIPE and ends; its thread going away says the write has happened.
  const int threads = std::stoi(StatusField(server, "Threads"));
  run.SendChunk(std::string(100000, 'x'));
  EXPECT_TRUE(WaitUntil([&] {
    const std::string now = StatusField(server, "Threads");
    return now.empty() || std::stoi(now) < threads;
  }));
  EXPECT_TRUE(ServerAlive());

  home_.WriteFile("release.marker", "");
  run.ReadOutput();
  run.Reply();
  EXPECT_TRUE(ServerAlive());
  EXPECT_EQ(test::Ask<messages::EchoReply>(server_->port(), messages::EchoRequest{31}),
            messages::EchoReply{31});
}

// An interrupt while a job runs: the job's whole tree is killed and logged,
// the server gives the killed processes two seconds, then ends with status 0.
TEST_F(ServerJobs, InterruptKillsRunningJobsThenWaitsBeforeEnding) {
  const RunFields fields("TREE");
  RunClient run(server_->port(), fields);
  ASSERT_TRUE(run.connected());
  run.Header();
  const std::vector<pid_t> tree = ReadTreePids(run);
  ASSERT_EQ(tree.size(), 3u);

  const auto start = std::chrono::steady_clock::now();
  server_->process().Signal(SIGINT);
  for (pid_t p : tree) EXPECT_TRUE(WaitUntil([&] { return ProcessGone(p); })) << p;
  EXPECT_EQ(server_->process().WaitExit(10s), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1900ms);
  const std::string log = home_.Log();
  const size_t down = log.find(" Shutting Down Kestrun (SIGINT)\n");
  ASSERT_NE(down, std::string::npos) << log;
  const size_t killing = log.find(" Killing Running Kestrun Job \"TREE\"\n", down);
  EXPECT_NE(killing, std::string::npos) << log;
  EXPECT_NE(log.find(" Kestrun Server Shut Down\n", killing), std::string::npos) << log;
}

// A server killed with SIGKILL leaves its job's tree running. The next server
// of the same home ends the tree at start-up and logs each process; with
// `keeporphans = on` it only logs them and leaves them running.
TEST(OrphanedRuns, NextServerOfTheHomeEndsThemUnlessKeepOrphansIsOn) {
  for (const bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "keeporphans = on" : "keeporphans off");
    TestHome home;
    const std::string config = std::string(keep ? "keeporphans = on\n" : "") +
                               "\nTREE:\n  program = " KES_TEST_CHILD
                               "\n  param = tree\n  usetty = off\n";
    std::vector<pid_t> tree;
    {
      RunningServer killed(home, kNoReason, config);
      ASSERT_TRUE(killed.ready()) << killed.process().Stderr();
      RunClient run(killed.port(), RunFields("TREE"));
      ASSERT_TRUE(run.connected());
      run.Header();
      tree = ReadTreePids(run);
      ASSERT_EQ(tree.size(), 3u);
      killed.process().Signal(SIGKILL);
      ASSERT_TRUE(killed.process().WaitExit(10s).has_value());
    }
    for (pid_t p : tree) ASSERT_FALSE(ProcessGone(p)) << p;

    RunningServer next(home, kNoReason, config);
    ASSERT_TRUE(next.ready()) << next.process().Stderr();
    const std::string log = home.Log();
    for (pid_t p : tree) {
      const std::string line =
          keep ? " Leaving process " + std::to_string(p) +
                     " of an earlier Kestrun server running (keeporphans): " KES_TEST_CHILD
                     " tree\n"
               : " Ending process " + std::to_string(p) +
                     " left running by an earlier Kestrun server: " KES_TEST_CHILD " tree\n";
      EXPECT_EQ(CountOf(log, line), 1u) << log;
      if (keep) {
        EXPECT_FALSE(ProcessGone(p)) << p;
        ::kill(p, SIGKILL);
      }
      EXPECT_TRUE(WaitUntil([&] { return ProcessGone(p); })) << p;
    }
    EXPECT_EQ(CountOf(log, "did not end on SIGTERM"), 0u) << log;
    StopServerChecked(&next);
  }
}

}  // namespace
}  // namespace kestrun::test
